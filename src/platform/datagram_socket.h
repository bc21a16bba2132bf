#pragma once
// What a sender of datagrams needs of a UDP socket. The address service answers through it, so
// its replies can be checked without a network.

#include <QByteArray>
#include <QtGlobal>

class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;
    // One datagram to address:port (IPv4, host byte order). False when the send fails.
    virtual bool send(const QByteArray& datagram, quint32 address, quint16 port) = 0;
};
