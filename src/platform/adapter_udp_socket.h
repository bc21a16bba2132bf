#pragma once
// The address service's UDP socket. Bound to the wildcard address but tied to the adapter that
// holds the given address (SO_BINDTODEVICE): only a wildcard socket hears 255.255.255.255, and
// only a socket tied to the adapter sends its broadcasts out of it whatever the routing table
// says. Plain system calls on a non-blocking descriptor; signals only from the event loop.

#include "platform/datagram_socket.h"

#include <QObject>
#include <QString>

class QSocketNotifier;

class AdapterUdpSocket : public QObject, public DatagramSocket {
    Q_OBJECT
public:
    using QObject::QObject;
    ~AdapterUdpSocket() override;

    // Binds port (0: any free one) on the adapter that holds localAddress.
    // False, and closed, when no adapter holds it or the port is taken; the reason is logged.
    bool bind(Ipv4Address localAddress, quint16 port);
    bool isOpen() const { return fd_ >= 0; }
    quint16 localPort() const;
    void close();

    bool send(const QByteArray& datagram, Ipv4Address address, quint16 port) override;

signals:
    // One whole datagram and its sender's address.
    void received(const QByteArray& datagram, Ipv4Address sender);
    // A send or receive failed, with the system's own text; emitted from the event loop, never
    // inside send().
    void failed(const QString& reason);

private:
    void onReadable();
    void reportLater(int error);

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};
