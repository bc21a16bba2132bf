#pragma once
// The LAN the gateway serves, in one place: its own address and prefix, the pool of host
// numbers it leases, and the ports of its services. Everything else asks it; tests put it on
// loopback.

#include "common/ipv4_address.h"

#include <QByteArray>
#include <optional>

struct LanNetwork {
    Ipv4Address gateway{192, 168, 11, 1};
    int prefixLength = 24;
    // Host numbers (the last byte) the address service leases.
    int firstHostNumber = 100;
    int lastHostNumber = 254;
    quint16 dhcpPort = 67;
    quint16 proxyPort = 8080;

    quint32 mask() const { return prefixLength <= 0 ? 0 : ~quint32(0) << (32 - prefixLength); }
    bool contains(Ipv4Address address) const {
        return (address.value() & mask()) == (gateway.value() & mask());
    }
    Ipv4Address hostAddress(int hostNumber) const {
        return Ipv4Address((gateway.value() & mask()) | quint32(hostNumber));
    }
    // The host number of an address of the segment; nothing for one outside it.
    std::optional<int> hostNumberOf(Ipv4Address address) const {
        if (!contains(address))
            return std::nullopt;
        return int(address.value() & ~mask());
    }
    Ipv4Address segmentBroadcast() const { return Ipv4Address(gateway.value() | ~mask()); }
    // "192.168.11.1:8080": where clients find the proxy.
    QByteArray proxyEndpoint() const {
        return gateway.text().toLatin1() + ':' + QByteArray::number(proxyPort);
    }
    // The proxy auto-discovery URL DHCP hands out (option 252).
    QByteArray proxyScriptUrl() const { return "http://" + proxyEndpoint() + "/wpad"; }
};
