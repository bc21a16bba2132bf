// TCP socket control on QTcpServer/QTcpSocket. Incoming connections are offered as raw
// descriptors through ConnectionRequest so that any element of a control array can take them.

#include "platform/tcp_socket_control.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
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

// The listener hands each new descriptor to its control instead of queueing a QTcpSocket.
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

// Error numbers as the classic socket control reported them.
int errorNumber(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10054;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10045;
    default:
        return 10050;
    }
}

QString dottedIpv4(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : QString();
}

// Lets a socket the control no longer wants finish sending what was queued, then frees it.
void retire(QTcpSocket* socket) {
    socket->setParent(nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > 0) {
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
        QTimer::singleShot(kLingerMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
        return;
    }
    socket->abort();
    socket->deleteLater();
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
    case QAbstractSocket::HostLookupState:
        return sckResolvingHost;
    case QAbstractSocket::ConnectingState:
        return sckConnecting;
    case QAbstractSocket::ConnectedState:
        return sckConnected;
    case QAbstractSocket::ClosingState:
        return sckClosing;
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
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestID)) {
        ::close(static_cast<int>(requestID));
        const QString why = socket->errorString();
        delete socket;
        fail(10050, why);
        return;
    }
    adoptSocket(socket);
    remoteIp_ = dottedIpv4(socket->peerAddress());
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
    auto* socket = new QTcpSocket(this);
    adoptSocket(socket);
    connect(socket, &QAbstractSocket::connected, this, [this] {
        if (socket_)
            remoteIp_ = dottedIpv4(socket_->peerAddress());
        emit Connected(index_);
    });
    // Upstreams are reached directly: asking the system's proxy settings for every connection
    // costs more than the connection itself.
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->connectToHost(remoteHost_, static_cast<quint16>(remotePort_));
}

void TcpSocketControl::SendData(const QByteArray& data) {
    if (data.isEmpty() || !socket_ || socket_->state() != QAbstractSocket::ConnectedState)
        return;
    socket_->write(data);
    // Handed to the kernel now rather than on the event loop's next round, so a relayed piece
    // is under way one round sooner. What the socket reports meanwhile (progress, an error,
    // the peer closing) is passed on from the event loop, never inside the caller.
    sending_ = true;
    socket_->flush();
    sending_ = false;
    if (progressDeferred_ || errorDeferred_ || closeDeferred_) {
        const quint64 generation = generation_;
        QTimer::singleShot(0, this, [this, generation] { replayDeferred(generation); });
    }
}

void TcpSocketControl::replayDeferred(quint64 generation) {
    const bool progress = progressDeferred_, error = errorDeferred_, closed = closeDeferred_;
    progressDeferred_ = errorDeferred_ = closeDeferred_ = false;
    if (generation != generation_)
        return;
    if (progress)
        reportProgress();
    if (error && generation == generation_)
        onSocketError();
    if (closed && generation == generation_)
        onDisconnected();
}

QByteArray TcpSocketControl::GetData() {
    return socket_ ? socket_->readAll() : QByteArray();
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
    progressDeferred_ = errorDeferred_ = closeDeferred_ = false;
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
        retire(socket_);
        socket_ = nullptr;
    }
}

void TcpSocketControl::adoptSocket(QTcpSocket* socket) {
    socket_ = socket;
    endReported_ = false;
    connect(socket, &QIODevice::readyRead, this, [this] {
        if (socket_)
            emit DataArrival(index_, socket_->bytesAvailable());
    });
    socket->setReadBufferSize(kReadBufferSize);
    connect(socket, &QIODevice::bytesWritten, this, [this] {
        if (sending_)
            progressDeferred_ = true;
        else
            reportProgress();
    });
    connect(socket, &QAbstractSocket::errorOccurred, this, &TcpSocketControl::onSocketError);
    connect(socket, &QAbstractSocket::disconnected, this, &TcpSocketControl::onDisconnected);
}

void TcpSocketControl::reportProgress() {
    if (!socket_)
        return;
    const qint64 queued = socket_->bytesToWrite();
    emit BytesSent(index_, queued);
    if (queued == 0 && socket_)
        emit SendComplete(index_);
}

void TcpSocketControl::onSocketError() {
    if (!socket_)
        return;
    errorLatched_ = true;
    if (sending_) {
        errorDeferred_ = true;
        return;
    }
    // The peer closing is reported as PeerClosed once Qt has delivered the last bytes.
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError || endReported_)
        return;
    endReported_ = true;
    emit Error(index_, errorNumber(socket_->error()), socket_->errorString());
}

void TcpSocketControl::onDisconnected() {
    // Qt returns the socket to the unconnected state; the gateway must see 9 until Close.
    errorLatched_ = true;
    if (sending_) {
        closeDeferred_ = true;
        return;
    }
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
