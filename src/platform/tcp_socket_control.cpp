// TCP socket control: QTcpServer listens, StreamSocket carries the connections. Incoming
// connections are offered as raw descriptors through ConnectionRequest so that any element of a
// control array can take them.

#include "platform/tcp_socket_control.h"

#include "platform/stream_socket.h"

#include <QHostAddress>
#include <QSet>
#include <QTcpServer>
#include <QTimer>
#include <arpa/inet.h>
#include <functional>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a closed socket may keep flushing queued bytes to a peer that does not read.
constexpr int kLingerMs = 30000;

// Descriptors offered by a ConnectionRequest that is still being handled. Accept takes one out;
// whatever is left after the event has been handled is closed.
QSet<qintptr>& pendingRequests() {
    static QSet<qintptr> requests;
    return requests;
}

// The listener hands each new descriptor to its control instead of queueing a socket object.
class Listener : public QTcpServer {
public:
    Listener(std::function<void(qintptr)> onIncoming, QObject* parent)
        : QTcpServer(parent), onIncoming_(std::move(onIncoming)) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        pendingRequests().insert(descriptor);
        onIncoming_(descriptor);
        if (pendingRequests().remove(descriptor))
            ::close(static_cast<int>(descriptor));
    }

private:
    std::function<void(qintptr)> onIncoming_;
};

QString dottedIpv4(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : QString();
}

} // namespace

TcpSocketControl::TcpSocketControl(int index, QObject* parent) : QObject(parent), index_(index) {}

TcpSocketControl::~TcpSocketControl() {
    releaseAll();
}

int TcpSocketControl::State() const {
    if (errorLatched_)
        return sckError;
    if (server_)
        return server_->isListening() ? sckListening : sckClosed;
    if (!socket_)
        return sckClosed;
    switch (socket_->state()) {
    case StreamSocket::State::HostLookup:
        return sckResolvingHost;
    case StreamSocket::State::Connecting:
        return sckConnecting;
    case StreamSocket::State::Connected:
        return sckConnected;
    default:
        return sckClosed;
    }
}

bool TcpSocketControl::Listen() {
    Close();
    QPointer<TcpSocketControl> self(this);
    auto* listener = new Listener(
        [self](qintptr descriptor) {
            if (self)
                emit self->ConnectionRequest(self->index_, descriptor);
        },
        this);
    server_ = listener;
    // IPv4 only: a dual-stack listener names its clients "::ffff:a.b.c.d".
    if (localPort_ < 0 || localPort_ > 65535 ||
        !listener->listen(QHostAddress::AnyIPv4, static_cast<quint16>(localPort_))) {
        errorLatched_ = true;
        return false;
    }
    // Port 0 lets the system choose; the chosen port is what callers need to know.
    localPort_ = listener->serverPort();
    return true;
}

void TcpSocketControl::Accept(qintptr requestID) {
    Close();
    if (!pendingRequests().remove(requestID)) {
        fail(10022, QStringLiteral("No connection request %1 is waiting").arg(requestID));
        return;
    }
    auto* socket = new StreamSocket(this);
    if (!socket->adopt(requestID)) {
        delete socket;
        fail(10050, QStringLiteral("Connection request %1 is no usable connection").arg(requestID));
        return;
    }
    adoptSocket(socket);
    remoteIp_ = dottedIpv4(socket->peerAddress());
}

quint32 TcpSocketControl::RequestPeerIPv4(qintptr requestID) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(static_cast<int>(requestID), reinterpret_cast<sockaddr*>(&peer), &size) !=
            0 ||
        peer.sin_family != AF_INET)
        return 0;
    return ntohl(peer.sin_addr.s_addr);
}

TcpSocketControl::Destination TcpSocketControl::RequestOriginalDestination(qintptr requestID) {
    const int fd = static_cast<int>(requestID);
    sockaddr_in original{};
    socklen_t size = sizeof original;
    sockaddr_in local{};
    socklen_t localSize = sizeof local;
    // Without connection tracking, or for a connection made to the proxy itself, the original
    // destination is missing or is the listening port.
    if (::getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &original, &size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        original.sin_family != AF_INET || original.sin_port == local.sin_port)
        return {};
    return {ntohl(original.sin_addr.s_addr), ntohs(original.sin_port)};
}

QString TcpSocketControl::RemoteHostIP() const {
    return socket_ ? remoteIp_ : QString();
}

void TcpSocketControl::Connect() {
    Close();
    if (remotePort_ < 1 || remotePort_ > 65535) {
        fail(10049, QStringLiteral("Remote port %1 is outside 1..65535").arg(remotePort_));
        return;
    }
    auto* socket = new StreamSocket(this);
    adoptSocket(socket);
    connect(socket, &StreamSocket::connected, this, [this] {
        if (socket_)
            remoteIp_ = dottedIpv4(socket_->peerAddress());
        emit Connected(index_);
    });
    socket->connectToHost(remoteHost_, static_cast<quint16>(remotePort_));
}

void TcpSocketControl::SendData(const QByteArray& data) {
    if (socket_ && socket_->state() == StreamSocket::State::Connected)
        socket_->write(data);
}

QByteArray TcpSocketControl::GetData() {
    return socket_ ? socket_->read(kReadBufferSize) : QByteArray();
}

qint64 TcpSocketControl::BytesAvailable() const {
    return socket_ ? socket_->bytesAvailable() : 0;
}

qint64 TcpSocketControl::BytesToSend() const {
    return socket_ ? socket_->bytesToWrite() : 0;
}

void TcpSocketControl::Close() {
    ++generation_;
    errorLatched_ = false;
    endReported_ = false;
    remoteIp_.clear();
    releaseAll();
}

void TcpSocketControl::releaseAll() {
    // Called from event handlers too, so nothing is deleted on the spot.
    if (server_) {
        server_->disconnect(this);
        server_->close();
        server_->deleteLater();
        server_ = nullptr;
    }
    if (socket_) {
        socket_->disconnect(this);
        // Whatever was queued still goes out, for a while; then the socket goes.
        socket_->closeWhenSent(kLingerMs);
        socket_ = nullptr;
    }
}

void TcpSocketControl::adoptSocket(StreamSocket* socket) {
    socket_ = socket;
    endReported_ = false;
    connect(socket, &StreamSocket::readyRead, this, [this] {
        if (socket_)
            emit DataArrival(index_, socket_->bytesAvailable());
    });
    connect(socket, &StreamSocket::bytesWritten, this, [this] {
        if (!socket_)
            return;
        const qint64 queued = socket_->bytesToWrite();
        emit BytesSent(index_, queued);
        if (queued == 0 && socket_)
            emit SendComplete(index_);
    });
    connect(socket, &StreamSocket::errorOccurred, this, &TcpSocketControl::onSocketError);
    connect(socket, &StreamSocket::disconnected, this, &TcpSocketControl::onDisconnected);
}

void TcpSocketControl::onSocketError(int number, const QString& description) {
    errorLatched_ = true;
    if (endReported_)
        return;
    endReported_ = true;
    emit Error(index_, number, description);
}

void TcpSocketControl::onDisconnected() {
    // The gateway must see 9 until Close.
    errorLatched_ = true;
    if (endReported_)
        return;
    endReported_ = true;
    emit PeerClosed(index_);
}

void TcpSocketControl::fail(int number, const QString& description) {
    errorLatched_ = true;
    // Reported after the call returns, like every other failure of a control.
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, generation, number, description] {
        if (generation == generation_)
            emit Error(index_, number, description);
    });
}
