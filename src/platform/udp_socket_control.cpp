// UDP socket control on QUdpSocket. The socket is made by hand so that it can be tied to one
// adapter (SO_BINDTODEVICE) while bound to the wildcard address: only a wildcard socket hears
// 255.255.255.255, and only a socket tied to the adapter sends its broadcasts out of it rather
// than along the default route.

#include "platform/udp_socket_control.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QtDebug>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A readyRead hands out at most this many datagrams; Qt raises it again for the rest.
constexpr int kDatagramsPerWakeup = 64;

// The adapter that holds an IPv4 address, if any.
QNetworkInterface adapterHolding(const QHostAddress& address) {
    const auto adapters = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& adapter : adapters) {
        const auto entries = adapter.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip() == address)
                return adapter;
        }
    }
    return {};
}

// A UDP socket on 0.0.0.0:port tied to one adapter, or -1 (errno says why).
int openAdapterSocket(const QByteArray& adapterName, quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, adapterName.constData(),
                     static_cast<socklen_t>(adapterName.size() + 1)) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int errorNumber(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10054;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::DatagramTooLargeError:
        return 10040;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    default:
        return 10050;
    }
}

} // namespace

UdpSocketControl::UdpSocketControl(int index, QObject* parent) : QObject(parent), index_(index) {}

UdpSocketControl::~UdpSocketControl() {
    Close();
}

int UdpSocketControl::State() const {
    return socket_ && socket_->state() == QAbstractSocket::BoundState ? sckOpen : sckClosed;
}

bool UdpSocketControl::Bind(int localPort, const QString& localAddress) {
    Close();
    const QHostAddress address(localAddress);
    if (address.protocol() != QAbstractSocket::IPv4Protocol || localPort < 0 || localPort > 65535) {
        qWarning("UDP bind: %s:%d is no IPv4 address and port", qPrintable(localAddress),
                 localPort);
        return false;
    }
    const QNetworkInterface adapter = adapterHolding(address);
    if (!adapter.isValid()) {
        qWarning("UDP bind: no adapter holds %s", qPrintable(localAddress));
        return false;
    }
    const int fd = openAdapterSocket(adapter.name().toLocal8Bit(), static_cast<quint16>(localPort));
    if (fd < 0) {
        qWarning("UDP bind: port %d on %s: %s", localPort, qPrintable(adapter.name()),
                 std::strerror(errno));
        return false;
    }
    auto* socket = new QUdpSocket(this);
    if (!socket->setSocketDescriptor(fd, QAbstractSocket::BoundState)) {
        qWarning("UDP bind: %s", qPrintable(socket->errorString()));
        delete socket;
        ::close(fd);
        return false;
    }
    socket_ = socket;
    interfaceIndex_ = adapter.index();
    connect(socket, &QIODevice::readyRead, this, &UdpSocketControl::onReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this, &UdpSocketControl::onSocketError);
    return true;
}

bool UdpSocketControl::SendData(const QByteArray& datagram) {
    const QHostAddress target(remoteHost_);
    if (!socket_ || target.protocol() != QAbstractSocket::IPv4Protocol || remotePort_ < 1 ||
        remotePort_ > 65535)
        return false;
    return socket_->writeDatagram(datagram, target, static_cast<quint16>(remotePort_)) ==
           datagram.size();
}

QByteArray UdpSocketControl::GetData() {
    if (!socket_ || !socket_->hasPendingDatagrams())
        return {};
    ++datagramsTaken_;
    const QNetworkDatagram datagram = socket_->receiveDatagram();
    lastSender_ = datagram.senderAddress();
    return datagram.data();
}

QString UdpSocketControl::RemoteHostIP() const {
    // Formatted only when asked: most datagrams never need their sender's text.
    return lastSender_.protocol() == QAbstractSocket::IPv4Protocol ? lastSender_.toString()
                                                                   : QString();
}

void UdpSocketControl::Close() {
    if (!socket_)
        return;
    socket_->disconnect(this);
    socket_->close();
    // Close may be called from a handler of this socket's own signal.
    socket_->deleteLater();
    socket_ = nullptr;
    interfaceIndex_ = 0;
}

void UdpSocketControl::onReadyRead() {
    // One event per datagram. A handler that leaves a datagram unread ends the round; Qt
    // raises readyRead again once something has been read.
    for (int round = 0; round < kDatagramsPerWakeup; ++round) {
        if (!socket_ || !socket_->hasPendingDatagrams())
            return;
        const quint64 taken = datagramsTaken_;
        emit DataArrival(index_, socket_->pendingDatagramSize());
        if (datagramsTaken_ == taken)
            return;
    }
}

void UdpSocketControl::onSocketError() {
    if (!socket_)
        return;
    // Qt reports a failed send from inside writeDatagram; the event waits until SendData has
    // returned, and is dropped if the socket has been closed by then.
    const QPointer<QUdpSocket> socket = socket_;
    const int number = errorNumber(socket_->error());
    const QString description = socket_->errorString();
    QTimer::singleShot(0, this, [this, socket, number, description] {
        if (socket && socket == socket_)
            emit Error(index_, number, description);
    });
}
