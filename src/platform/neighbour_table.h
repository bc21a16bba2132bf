#pragma once
// The kernel's neighbour (ARP) table: which hardware address the LAN host at an IPv4 address
// answers from. The proxy asks it once for every client connection, so that a host that took a
// paid client's address by hand is known by its own hardware address.

#include <QByteArray>

class NeighbourTable {
public:
    virtual ~NeighbourTable() = default;
    // The six bytes the table holds for ipv4 in a complete entry; empty when it holds none.
    virtual QByteArray hardwareAddressOf(quint32 ipv4) const;
};

// The same, read from the text of /proc/net/arp.
QByteArray arpTableHardwareAddress(const QByteArray& table, quint32 ipv4);
