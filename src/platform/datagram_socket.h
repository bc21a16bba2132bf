#pragma once
// What a sender of datagrams needs of a UDP socket. The address service answers through it, so
// its replies can be checked without a network.

#include "common/ipv4_address.h"

#include <QByteArray>

class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;
    // One datagram to address:port. False when the send fails.
    virtual bool send(const QByteArray& datagram, Ipv4Address address, quint16 port) = 0;
};
