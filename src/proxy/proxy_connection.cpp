#include "proxy/proxy_connection.h"

#include "common/deployment.h"
#include "proxy/portal_replies.h"

#include <QHostAddress>
#include <algorithm>
#include <utility>

ProxyConnection::ProxyConnection(Shared& shared, qintptr descriptor, quint32 peer,
                                 QByteArray peerMac, TcpListener::Destination captured,
                                 QObject* parent)
    : QObject(parent), shared_(shared), peer_(peer), peerMac_(std::move(peerMac)),
      captured_(captured), client_(new StreamSocket(this)),
      reader_(shared.access, captured, shared.pacScript) {
    lastActivity_ = headSince_ = now();
    connectWait_.setSingleShot(true);
    connectWait_.setInterval(kConnectWaitMs);
    connect(&connectWait_, &QTimer::timeout, this, [this] { reply(PortalReplies::notFound()); });
    connect(client_, &StreamSocket::readyRead, this, &ProxyConnection::readClient);
    connect(client_, &StreamSocket::bytesWritten, this, &ProxyConnection::onClientSent);
    // The client has gone: nothing more can reach it, so its upstream goes too.
    connect(client_, &StreamSocket::disconnected, this, &ProxyConnection::close);
    connect(client_, &StreamSocket::errorOccurred, this, &ProxyConnection::close);
    if (!client_->adopt(descriptor))
        QTimer::singleShot(0, this, &ProxyConnection::close);
}

ProxyConnection::~ProxyConnection() {
    if (client_) {
        unloadPipe(toClient_, client_);
        client_->closeWhenSent(kLingerMs);
    }
    if (upstream_) {
        unloadPipe(toUpstream_, upstream_);
        upstream_->closeWhenSent(kLingerMs);
    }
}

qint64 ProxyConnection::queuedBytes() const {
    return (client_ ? client_->bytesToWrite() : 0) + (upstream_ ? upstream_->bytesToWrite() : 0) +
           toClient_.held() + toUpstream_.held();
}

bool ProxyConnection::paid() {
    return shared_.registry.IsClientAllowed(Ipv4Address(peer_), peerMac_);
}

void ProxyConnection::readClient() {
    if (!client_ || (clientHeld_ && !replying_))
        return;
    if (!replying_ && spliceUp())
        return;
    const QByteArray chunk = client_->read(kReadLimit);
    if (chunk.isEmpty())
        return;
    emit clientBytes(chunk.size());
    if (replying_)
        return; // the exchange ended with our own reply: what the client still sends is dropped
    lastActivity_ = now();
    if (reader_.inTunnel() && !waiting() && reader_.buffered() == 0) {
        sendUpstream(chunk);
        return;
    }
    reader_.append(chunk);
    if (waiting()) {
        if (reader_.buffered() > kFlowLimit)
            clientHeld_ = true;
        return;
    }
    dispatch();
}

void ProxyConnection::dispatch() {
    while (!waiting() && !replying_ && !closed_) {
        RequestReader::Upstream upstream = upstreamFor_;
        upstream.connected = upstream_ && upstream_->state() == StreamSocket::State::Connected;
        const ReaderStep step = reader_.next(upstream, [this] { return paid(); });
        if (step.kind == ReaderStep::Kind::NeedMore)
            return;
        act(step);
    }
}

void ProxyConnection::act(const ReaderStep& step) {
    switch (step.kind) {
    case ReaderStep::Kind::NeedMore:
        return;
    case ReaderStep::Kind::Send:
        if (!step.method.isEmpty()) {
            framer_.expect(step.method);
            headSince_ = now();
        }
        sendUpstream(step.bytes);
        return;
    case ReaderStep::Kind::Open:
        open(step);
        return;
    case ReaderStep::Kind::Reply:
        if (step.page == ReaderStep::Page::PurchaseNotice)
            emit purchaseNoticed();
        else if (step.page == ReaderStep::Page::Refresh)
            emit refreshRequested();
        reply(step.bytes);
        return;
    case ReaderStep::Kind::Refuse:
        refuse(step.tunnel);
        return;
    }
}

// A new upstream for the request: its name is resolved and its address checked before any
// connection, and the wait holds the client's later bytes instead of blocking.
void ProxyConnection::open(const ReaderStep& step) {
    dropUpstream();
    framer_.reset();
    upstreamFor_ = {step.host, step.port, false};
    upstreamTunnel_ = step.tunnel;
    pendingRequest_ = step.bytes;
    pendingMethod_ = step.method;
    connectWait_.start();
    upstream_ = new StreamSocket(this);
    connect(upstream_, &StreamSocket::connected, this, &ProxyConnection::onUpstreamConnected);
    connect(upstream_, &StreamSocket::readyRead, this, &ProxyConnection::readUpstream);
    connect(upstream_, &StreamSocket::bytesWritten, this, &ProxyConnection::onUpstreamSent);
    connect(upstream_, &StreamSocket::disconnected, this, [this] { onUpstreamEnded(); });
    connect(upstream_, &StreamSocket::errorOccurred, this, [this] { onUpstreamEnded(); });
    const AccessPolicy& access = shared_.access;
    upstream_->connectToHost(
        QString::fromLatin1(step.host), static_cast<quint16>(step.port),
        [&access](const QHostAddress& address) { return !access.forbiddenUpstream(address); });
}

void ProxyConnection::onUpstreamConnected() {
    if (!waiting())
        return;
    connectWait_.stop();
    headSince_ = now();
    const QByteArray method = std::exchange(pendingMethod_, QByteArray());
    if (method == "CONNECT") {
        // The CONNECT head stays here; from now on every byte of the connection is tunnel data.
        framer_.passThrough();
        sendToClient(PortalReplies::tunnelOpen());
    } else {
        framer_.expect(method);
        sendUpstream(std::exchange(pendingRequest_, QByteArray()));
    }
    if (clientHeld_ && upstream_ && upstream_->bytesToWrite() < kFlowLimit) {
        clientHeld_ = false;
        readClient();
    }
    dispatch();
}

void ProxyConnection::onUpstreamEnded() {
    // Refused, or a name without an address: answered at once rather than after the wait.
    if (waiting()) {
        reply(PortalReplies::notFound());
        return;
    }
    if (replying_ || !client_)
        return;
    // What the server sent before closing has been relayed; a held response goes as it stands,
    // and the client is closed once it has all of it.
    unloadPipe(toClient_, client_);
    upstreamHeld_ = false;
    const QByteArray held = framer_.flush();
    if (!held.isEmpty())
        sendToClient(held);
    if (client_->bytesToWrite() == 0)
        close();
}

void ProxyConnection::onClientSent() {
    if (!client_)
        return;
    lastActivity_ = now();
    if (toClient_.held() > 0) {
        client_->writeFrom(toClient_);
        if (toClient_.held() > 0)
            return;
        if (framer_.passingAhead() == 0)
            toClient_.close();
    }
    const qint64 queued = client_->bytesToWrite();
    if (upstreamHeld_ && queued < kFlowResume) {
        upstreamHeld_ = false;
        readUpstream();
    }
    // A composed reply, or the last bytes of a server that has closed: the exchange is over.
    if (queued == 0 && !waiting() &&
        (!upstream_ || upstream_->state() != StreamSocket::State::Connected))
        close();
}

void ProxyConnection::onUpstreamSent() {
    lastActivity_ = now();
    if (toUpstream_.held() > 0 && upstream_) {
        upstream_->writeFrom(toUpstream_);
        if (toUpstream_.held() > 0)
            return;
        if (reader_.passingAhead() == 0)
            toUpstream_.close();
    }
    if (!clientHeld_ || waiting() || !upstream_ || upstream_->bytesToWrite() >= kFlowResume)
        return;
    clientHeld_ = false;
    if (reader_.buffered() > 0)
        dispatch();
    if (!clientHeld_ && client_ && client_->bytesAvailable() > 0)
        readClient();
}

void ProxyConnection::readUpstream() {
    if (!upstream_ || upstreamHeld_ || replying_)
        return;
    // Bytes spliced before these go out first.
    if (toClient_.held() > 0) {
        upstreamHeld_ = true;
        return;
    }
    if (spliceDown())
        return;
    const QByteArray chunk = upstream_->read(kReadLimit);
    if (chunk.isEmpty())
        return;
    emit upstreamBytes(chunk.size());
    lastActivity_ = headSince_ = now();
    const QByteArray out = framer_.take(chunk);
    if (!out.isEmpty())
        sendToClient(out);
}

// Client bytes that pass unchanged go upstream through a pipe; false when they are to be copied.
bool ProxyConnection::spliceUp() {
    if (waiting() || !upstream_ || upstream_->state() != StreamSocket::State::Connected)
        return false;
    return splice(
        client_, upstream_, toUpstream_, clientHeld_, [this] { return reader_.passingAhead(); },
        [this](qint64 moved) {
            emit clientBytes(moved);
            reader_.passed(moved);
            lastActivity_ = now();
        });
}

// The same for the server's bytes: a tunnel, a body of a declared length not held, a body that
// ends with the server's close.
bool ProxyConnection::spliceDown() {
    return splice(
        upstream_, client_, toClient_, upstreamHeld_, [this] { return framer_.passingAhead(); },
        [this](qint64 moved) {
            emit upstreamBytes(moved);
            framer_.passed(moved);
            lastActivity_ = headSince_ = now();
        });
}

// Moves the bytes ahead() allows from one socket to the other through pipe while the other
// takes them; when it does not, the pipe stays filled and from is held (not read) until the
// other's bytesWritten. False when nothing is to be spliced: the caller copies.
bool ProxyConnection::splice(StreamSocket* from, StreamSocket* to, SplicePipe& pipe, bool& fromHeld,
                             const std::function<qint64()>& ahead,
                             const std::function<void(qint64)>& passed) {
    qint64 left = ahead();
    if (left == 0 || spliceRefused_ || !to || to->bytesToWrite() > 0)
        return false;
    if (!pipe.isOpen() && (left < kSpliceStart || !pipe.open()))
        return false;
    if (pipe.held() > 0) {
        fromHeld = true;
        return true;
    }
    for (qint64 budget = kReadLimit; left > 0 && budget > 0; left = ahead()) {
        const qint64 moved = from->readInto(pipe, std::min(left, budget));
        if (moved < 0) {
            spliceRefused_ = true;
            pipe.close();
            return false;
        }
        if (moved == 0)
            return true; // none yet, or the end, which is signalled from the event loop
        passed(moved);
        budget -= moved;
        to->writeFrom(pipe);
        if (pipe.held() > 0) {
            fromHeld = true;
            return true;
        }
    }
    if (left > 0)
        return true; // more on the next wake-up, after other connections have had theirs
    // The stretch is over: what follows is framed again.
    pipe.close();
    return false;
}

// Bytes left in a pipe join the socket's queue: it is closing, or a copy must not overtake them.
void ProxyConnection::unloadPipe(SplicePipe& pipe, StreamSocket* to) {
    if (pipe.held() > 0 && to)
        to->write(pipe.takeAll());
    pipe.close();
}

void ProxyConnection::sendUpstream(const QByteArray& data) {
    if (!upstream_)
        return;
    if (toUpstream_.held() > 0)
        unloadPipe(toUpstream_, upstream_);
    upstream_->write(data);
    if (upstream_->bytesToWrite() > kFlowLimit)
        clientHeld_ = true;
}

void ProxyConnection::sendToClient(const QByteArray& data) {
    if (!client_)
        return;
    if (toClient_.held() > 0)
        unloadPipe(toClient_, client_);
    client_->write(data);
    if (client_->bytesToWrite() > kFlowLimit)
        upstreamHeld_ = true;
}

void ProxyConnection::reply(const QByteArray& response) {
    replying_ = true;
    connectWait_.stop();
    pendingMethod_.clear();
    pendingRequest_.clear();
    dropUpstream();
    if (!client_)
        return;
    unloadPipe(toClient_, client_);
    client_->write(response);
    // Taken whole, the reply is no reason for bytesWritten: the close is due anyway.
    if (client_->bytesToWrite() == 0)
        QTimer::singleShot(0, this, &ProxyConnection::close);
}

void ProxyConnection::refuse(bool tunnel) {
    const QString mac = shared_.registry.GetClientMac(Ipv4Address(peer_), peerMac_);
    if (mac.isEmpty()) {
        reply(PortalReplies::notFound());
        return;
    }
    const QString origin = Deployment::providerOrigin();
    if (captured_.port != 0) {
        reply(PortalReplies::captiveRedirect(
            PortalReplies::purchaseUrl(origin, shared_.providerId, mac)));
        return;
    }
    const QByteArray page = PortalReplies::purchasePage(origin, shared_.providerId, mac);
    reply(tunnel ? PortalReplies::networkAuthenticationRequired(page)
                 : PortalReplies::purchaseRedirect(page));
}

void ProxyConnection::sweep(qint64 idleLimitMs, qint64 headDeadlineMs) {
    if (closed_)
        return;
    if (waiting()) {
        lastActivity_ = now();
        return;
    }
    if (now() - lastActivity_ > idleLimitMs)
        close();
    else if (reader_.awaitingHead() && !replying_ && now() - headSince_ > headDeadlineMs)
        close(); // a head trickled in: a small body being gathered has no deadline
}

void ProxyConnection::dropIfWithdrawn() {
    if (closed_ || replying_ || upstreamFor_.host.isEmpty())
        return;
    const bool tunnel = reader_.inTunnel() || upstreamTunnel_;
    if (!shared_.access.mayReach(paid(), upstreamFor_.host, upstreamFor_.port, tunnel))
        close();
}

void ProxyConnection::dropUpstream() {
    if (!upstream_)
        return;
    unloadPipe(toUpstream_, upstream_);
    upstream_->closeWhenSent(kLingerMs);
    upstream_ = nullptr;
}

void ProxyConnection::close() {
    if (closed_)
        return;
    closed_ = true;
    connectWait_.stop();
    if (client_) {
        unloadPipe(toClient_, client_);
        client_->closeWhenSent(kLingerMs);
        client_ = nullptr;
    }
    dropUpstream();
    toClient_.close();
    toUpstream_.close();
    emit finished();
    deleteLater();
}
