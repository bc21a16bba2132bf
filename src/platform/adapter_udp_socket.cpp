#include "platform/adapter_udp_socket.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtDebug>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One wakeup takes at most this many datagrams; the rest wait in the kernel for the next.
constexpr int kDatagramsPerWakeup = 64;
// The largest UDP payload over IPv4.
constexpr int kMaxDatagram = 65507;

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The name of the adapter that holds an IPv4 address; empty when none does.
QByteArray adapterHolding(Ipv4Address address) {
    const QHostAddress wanted(address.value());
    const auto adapters = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& adapter : adapters) {
        const auto entries = adapter.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip() == wanted)
                return adapter.name().toLocal8Bit();
        }
    }
    return {};
}

sockaddr_in socketAddress(quint32 address, quint16 port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = htonl(address);
    return out;
}

} // namespace

AdapterUdpSocket::~AdapterUdpSocket() {
    close();
}

bool AdapterUdpSocket::bind(Ipv4Address localAddress, quint16 port) {
    close();
    const QByteArray adapter = adapterHolding(localAddress);
    if (adapter.isEmpty()) {
        qWarning("UDP bind: no adapter holds %s", qPrintable(localAddress.text()));
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    const sockaddr_in local = socketAddress(INADDR_ANY, port);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, adapter.constData(),
                     static_cast<socklen_t>(adapter.size() + 1)) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        qWarning("UDP bind: port %d on %s: %s", port, adapter.constData(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    fd_ = fd;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &AdapterUdpSocket::onReadable);
    return true;
}

quint16 AdapterUdpSocket::localPort() const {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void AdapterUdpSocket::close() {
    if (fd_ < 0)
        return;
    delete notifier_;
    notifier_ = nullptr;
    ::close(fd_);
    fd_ = -1;
}

bool AdapterUdpSocket::send(const QByteArray& datagram, Ipv4Address address, quint16 port) {
    if (fd_ < 0)
        return false;
    const sockaddr_in target = socketAddress(address.value(), port);
    const ssize_t sent = ::sendto(fd_, datagram.constData(), static_cast<size_t>(datagram.size()),
                                  0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent == datagram.size())
        return true;
    reportLater(sent < 0 ? errno : EMSGSIZE);
    return false;
}

void AdapterUdpSocket::onReadable() {
    QByteArray buffer(kMaxDatagram, Qt::Uninitialized);
    // The socket may be closed by a handler of its own signal.
    const QPointer<AdapterUdpSocket> alive(this);
    for (int round = 0; round < kDatagramsPerWakeup && alive && fd_ >= 0; ++round) {
        sockaddr_in sender{};
        socklen_t size = sizeof sender;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), static_cast<size_t>(buffer.size()), 0,
                                       reinterpret_cast<sockaddr*>(&sender), &size);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                reportLater(errno);
            return;
        }
        emit received(buffer.left(got), Ipv4Address(ntohl(sender.sin_addr.s_addr)));
    }
}

void AdapterUdpSocket::reportLater(int error) {
    const QString reason = errorText(error);
    QTimer::singleShot(0, this, [this, reason] {
        if (fd_ >= 0)
            emit failed(reason);
    });
}
