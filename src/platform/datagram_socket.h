#pragma once
// What a sender of datagrams needs of a UDP socket: a target and a send. The address service
// answers through it, so its replies can be checked without a network.

#include <QByteArray>
#include <QString>

class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;
    virtual void setRemoteHost(const QString& host) = 0;
    virtual void setRemotePort(int port) = 0;
    // One datagram to the remote host and port. False when the send fails.
    virtual bool SendData(const QByteArray& datagram) = 0;
};
