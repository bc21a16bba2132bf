#include "platform/tcp_listener.h"

#include <arpa/inet.h>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TcpListener::TcpListener(QObject* parent) : QObject(parent) {}

TcpListener::~TcpListener() = default;

bool TcpListener::listen(quint16 port) {
    server_.close();
    // Hundreds of clients that reconnect for every request overflow the toolkit's queue of 50;
    // a handshake dropped there costs its client a retransmission of 200 ms or more. The kernel
    // caps this at its own limit.
    server_.setListenBacklogSize(kListenBacklog);
    return server_.listen(QHostAddress::AnyIPv4, port);
}

void TcpListener::takeIncoming(qintptr descriptor) {
    if (handler_)
        handler_(descriptor);
    else
        ::close(static_cast<int>(descriptor));
}

quint32 TcpListener::peerIPv4(qintptr descriptor) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&peer), &size) !=
            0 ||
        peer.sin_family != AF_INET)
        return 0;
    return ntohl(peer.sin_addr.s_addr);
}

TcpListener::Destination TcpListener::originalDestination(qintptr descriptor) {
    const int fd = static_cast<int>(descriptor);
    sockaddr_in original{};
    socklen_t size = sizeof original;
    sockaddr_in local{};
    socklen_t localSize = sizeof local;
    // Without connection tracking, or for a connection made to this port itself, the original
    // destination is missing or is this port.
    if (::getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &original, &size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        original.sin_family != AF_INET || original.sin_port == local.sin_port)
        return {};
    return {ntohl(original.sin_addr.s_addr), ntohs(original.sin_port)};
}
