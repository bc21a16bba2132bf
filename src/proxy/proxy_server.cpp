#include "proxy/proxy_server.h"

#include "address/wpad_script.h"
#include "common/deployment.h"
#include "common/trace.h"
#include "proxy/head_faults.h"
#include "proxy/head_rewrite.h"
#include "proxy/portal_replies.h"
#include "proxy/request_head.h"

#include <QHostAddress>
#include <algorithm>
#include <utility>

struct ProxyServer::Slot {
    enum class Phase { Head, Body, Chunked, Tunnel };
    enum class ResponsePhase { Head, Body, Chunked, UntilClose };

    // The client, for the whole connection.
    quint32 peer = 0;   // its IPv4 address
    QByteArray peerMac; // its hardware address in the neighbour table; empty when none
    // A connection of a device without proxy settings, captured on its way to this address
    // and port; port 0 for a connection made to the proxy.
    TcpSocketControl::Destination captured;

    // Client side.
    QByteArray RequestBuffer; // client bytes not yet dealt with
    qint64 SlotTime = 0;      // last activity, monotonic milliseconds
    qint64 headSince = 0;     // since when the next request head is awaited
    Phase phase = Phase::Head;
    qint64 bodyLeft = 0;         // Body: request bytes still to stream upstream
    ChunkedBody requestChunks;   // Chunked: where the request body ends
    qsizetype headScanned = 0;   // the search for the head's end resumes here
    qsizetype headEndFound = -1; // a complete head whose body is still being gathered
    bool waiting = false;        // for the upstream connection
    bool replying = false;       // a composed reply is going out; the exchange is over
    bool clientHeld = false;     // not reading the client: the upstream is not keeping up
    QByteArray pendingRequest;   // sent once the upstream connects
    QByteArray pendingMethod;
    BodyFraming pendingFraming;
    QTimer waitTimer;
    QByteArray upstreamHost; // what the upstream connection was opened for
    int upstreamPort = 0;
    bool upstreamTunnel = false;
    quint64 generation = 0; // bumped whenever the slot starts over, so stale answers are known

    // Upstream side.
    std::deque<QByteArray> methods; // of the requests sent, oldest first, for their responses
    ResponsePhase responsePhase = ResponsePhase::Head;
    QByteArray responseHead; // a response head that arrived in pieces
    qint64 responseBodyLeft = 0;
    ChunkedBody responseChunks;
    QByteArray ResponseBuffer; // a small response held until it is whole
    bool holding = false;
    bool upstreamHeld = false; // not reading the upstream: the client is not keeping up

    void clear() {
        // A name lookup under way is left to finish; the generation check drops its answer.
        // (Aborting it would leak the toolkit's callback object for every abandoned lookup.)
        ++generation;
        upstreamHost.clear();
        upstreamPort = 0;
        upstreamTunnel = false;
        RequestBuffer.clear();
        phase = Phase::Head;
        bodyLeft = 0;
        requestChunks = ChunkedBody();
        headScanned = 0;
        headEndFound = -1;
        waiting = false;
        replying = false;
        clientHeld = false;
        pendingRequest.clear();
        pendingMethod.clear();
        waitTimer.stop();
        clearResponse();
        upstreamHeld = false;
    }
    void clearResponse() {
        methods.clear();
        responsePhase = ResponsePhase::Head;
        responseHead.clear();
        responseBodyLeft = 0;
        responseChunks = ChunkedBody();
        ResponseBuffer.clear();
        holding = false;
    }
};

namespace {

// The request line's target, e.g. "/wpad" or "http://host/x".
QByteArray requestTarget(const QByteArray& head) {
    const qsizetype first = head.indexOf(' ');
    if (first < 0)
        return QByteArray();
    qsizetype end = first + 1;
    while (end < head.size() && head.at(end) != ' ' && head.at(end) != '\r' && head.at(end) != '\n')
        ++end;
    return head.mid(first + 1, end - first - 1);
}

bool isToken(const QByteArray& word) {
    if (word.isEmpty() || word.size() > 32)
        return false;
    return std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

} // namespace

ProxyServer::ProxyServer(Portal portal, QByteArray gatewayHost, Options options, QObject* parent)
    : QObject(parent), portal_(portal), options_(options),
      access_(std::move(gatewayHost), options.allowLoopback) {
    slots_.push_back(std::make_unique<Slot>()); // the listener's place
    connect(&httpRequest_(0), &TcpSocketControl::ConnectionRequest, this,
            &ProxyServer::HTTPRequest_ConnectionRequest);
    connect(&portal_.providerPage, &ProviderPage::allowancesChanged, this,
            &ProxyServer::dropWithdrawnClients);
}

ProxyServer::~ProxyServer() {
    closeAll();
}

bool ProxyServer::validSlot(int index) const {
    return index >= 1 && index < static_cast<int>(slots_.size());
}

void ProxyServer::loadSlotPair() {
    TcpSocketControl& client = httpRequest_.Load();
    TcpSocketControl& upstream = httpExit_.Load();
    const int index = client.Index();
    auto added = std::make_unique<Slot>();
    added->waitTimer.setSingleShot(true);
    added->waitTimer.setInterval(static_cast<int>(kConnectWaitMs));
    connect(&added->waitTimer, &QTimer::timeout, this, [this, index] {
        if (validSlot(index) && slot(index).waiting)
            reply(index, PortalReplies::notFound());
    });
    slots_.push_back(std::move(added));

    connect(&client, &TcpSocketControl::DataArrival, this, &ProxyServer::HTTPRequest_DataArrival);
    connect(&client, &TcpSocketControl::SendComplete, this, &ProxyServer::HTTPRequest_SendComplete);
    connect(&client, &TcpSocketControl::BytesSent, this, &ProxyServer::onClientSent);
    // The client has gone: nothing more can reach it, so its upstream goes too.
    connect(&client, &TcpSocketControl::PeerClosed, this, &ProxyServer::closeSlot);
    connect(&client, &TcpSocketControl::Error, this, [this](int i) { closeSlot(i); });

    connect(&upstream, &TcpSocketControl::DataArrival, this, &ProxyServer::HTTPExit_DataArrival);
    connect(&upstream, &TcpSocketControl::Connected, this, &ProxyServer::onUpstreamConnected);
    connect(&upstream, &TcpSocketControl::Error, this, [this](int i) { onUpstreamError(i); });
    connect(&upstream, &TcpSocketControl::PeerClosed, this, &ProxyServer::onUpstreamClosed);
    connect(&upstream, &TcpSocketControl::BytesSent, this, &ProxyServer::onUpstreamSent);
}

void ProxyServer::HTTPRequest_ConnectionRequest(int index, qintptr requestID) {
    Q_UNUSED(index);
    // The Internet side can reach port 8080 too: its connections are closed at once and never
    // take a slot. Nor can one client take more than its share of them.
    const quint32 peer = TcpSocketControl::RequestPeerIPv4(requestID);
    if (!access_.servesPeer(peer) || slotsHeldBy(peer) >= options_.slotsPerClient)
        return;
    int taken = 0;
    for (int i = 1; i <= httpRequest_.UBound(); ++i) {
        if (httpRequest_(i).State() == sckClosed) {
            taken = i;
            break;
        }
    }
    if (taken == 0) {
        // Every slot is busy: the control closes a request nobody accepts.
        if (httpRequest_.UBound() >= kMaxSlots)
            return;
        loadSlotPair();
        taken = httpRequest_.UBound();
    }
    // A peer may have closed the old upstream without our Close: it must not reach a newcomer.
    httpExit_(taken).Close();
    resetSlot(taken);
    Slot& s = slot(taken);
    s.SlotTime = now();
    s.headSince = s.SlotTime;
    s.peer = peer;
    // Loopback has no neighbours: the gateway itself, or tests.
    s.peerMac = (peer >> 24) == 127 ? QByteArray() : neighbours_->hardwareAddressOf(peer);
    s.captured = originalDestination_(requestID);
    httpRequest_(taken).setLocalPort(0);
    httpRequest_(taken).Accept(requestID);
}

int ProxyServer::slotsHeldBy(quint32 peer) {
    int held = 0;
    for (int i = 1; i <= httpRequest_.UBound(); ++i) {
        if (slot(i).peer == peer && httpRequest_(i).State() != sckClosed)
            ++held;
    }
    return held;
}

void ProxyServer::resetSlot(int index) {
    slot(index).clear();
}

void ProxyServer::closeSlot(int index) {
    if (!validSlot(index))
        return;
    httpRequest_(index).Close();
    httpExit_(index).Close();
    resetSlot(index);
}

void ProxyServer::closeAll() {
    for (int i = 0; i < httpRequest_.Count(); ++i)
        httpRequest_(i).Close();
    for (int i = 0; i < httpExit_.Count(); ++i)
        httpExit_(i).Close();
}

void ProxyServer::HTTPRequest_DataArrival(int index, qint64 bytesTotal) {
    Q_UNUSED(bytesTotal);
    if (!validSlot(index))
        return;
    Slot& s = slot(index);
    if (s.replying) {
        // The exchange has ended with our own reply; what the client still sends is dropped.
        UpMegabytes += httpRequest_(index).GetData().size() / kBytesPerMegabyte;
        return;
    }
    if (s.clientHeld)
        return;
    readClient(index);
}

void ProxyServer::readClient(int index) {
    Slot& s = slot(index);
    const QByteArray chunk = httpRequest_(index).GetData();
    if (chunk.isEmpty())
        return;
    UpMegabytes += chunk.size() / kBytesPerMegabyte;
    s.SlotTime = now();
    TraceMsg(chunk);
    if (s.phase == Slot::Phase::Tunnel && !s.waiting && s.RequestBuffer.isEmpty()) {
        sendUpstream(index, chunk);
        return;
    }
    s.RequestBuffer += chunk;
    if (s.waiting) {
        if (s.RequestBuffer.size() > kFlowLimit)
            s.clientHeld = true;
        return;
    }
    dispatch(index);
}

void ProxyServer::dispatch(int index) {
    Slot& s = slot(index);
    QByteArray& buffer = s.RequestBuffer;
    while (!s.waiting && !s.replying && !buffer.isEmpty()) {
        switch (s.phase) {
        case Slot::Phase::Tunnel:
            sendUpstream(index, buffer);
            buffer.clear();
            return;
        case Slot::Phase::Body: {
            const qint64 n = std::min<qint64>(s.bodyLeft, buffer.size());
            if (n == buffer.size()) {
                sendUpstream(index, buffer);
                buffer.clear();
            } else {
                sendUpstream(index, buffer.left(n));
                buffer.remove(0, n);
            }
            s.bodyLeft -= n;
            if (s.bodyLeft == 0)
                s.phase = Slot::Phase::Head;
            break;
        }
        case Slot::Phase::Chunked: {
            const qsizetype n = s.requestChunks.feed(buffer.constData(), buffer.size());
            if (s.requestChunks.failed()) {
                reply(index, PortalReplies::notFound());
                return;
            }
            if (n == buffer.size()) {
                sendUpstream(index, buffer);
                buffer.clear();
            } else if (n > 0) {
                sendUpstream(index, buffer.left(n));
                buffer.remove(0, n);
            }
            if (s.requestChunks.done())
                s.phase = Slot::Phase::Head;
            break;
        }
        case Slot::Phase::Head: {
            qsizetype end = s.headEndFound;
            if (end < 0)
                end = headEnd(buffer, s.headScanned);
            // Too long a head is refused whether it arrives in pieces or whole.
            if ((end < 0 && buffer.size() > kMaxHeadBytes) || end > kMaxHeadBytes) {
                reply(index, PortalReplies::headTooLarge());
                return;
            }
            if (end < 0) {
                s.headScanned = buffer.size();
                return;
            }
            s.headEndFound = end;
            if (!dispatchHead(index, end))
                return;
            break;
        }
        }
    }
}

// Acts on the complete head that ends at end. True when the request went upstream and the
// buffer can be read on; false when it waits (for its body or the upstream) or was answered.
bool ProxyServer::dispatchHead(int index, qsizetype end) {
    Slot& s = slot(index);
    QByteArray& buffer = s.RequestBuffer;
    QByteArray head = buffer.left(end);
    const qsizetype space = head.indexOf(' ');
    const QByteArray method = space > 0 ? head.left(space).toUpper() : QByteArray();
    if (!isToken(method)) {
        reply(index, PortalReplies::notFound());
        return false;
    }
    // What an origin might read otherwise than the proxy does is not forwarded at all; and the
    // host checked is the host resolved, byte for byte.
    Destination destination = requestDestination(head);
    // A captured request without a Host line goes where the device sent it.
    if (destination.host.isEmpty() && s.captured.port != 0) {
        destination.host = QHostAddress(s.captured.address).toString().toLatin1();
        destination.port = s.captured.port;
    }
    if (requestHeadFault(head) != HeadFault::None ||
        (!destination.host.isEmpty() && !isValidHost(destination.host))) {
        reply(index, PortalReplies::badRequest());
        return false;
    }
    const bool tunnel = method == "CONNECT";
    const QByteArray& server = destination.host;
    const int port = destination.port;

    const BodyFraming framing = tunnel ? BodyFraming{} : requestFraming(head);
    if (framing.kind == BodyFraming::Kind::Invalid) {
        reply(index, PortalReplies::notFound());
        return false;
    }
    // A small body is gathered and forwarded with its head; a larger one is streamed, and so is
    // one whose client waits for the server's 100 Continue before sending it.
    const bool gathered = framing.kind == BodyFraming::Kind::Length &&
                          framing.length <= kGatheredBodyBytes &&
                          !GetHeaderSection(head, "Expect").contains("100-continue");
    const qint64 gatheredBytes = gathered ? framing.length : 0;
    if (buffer.size() < end + gatheredBytes)
        return false;

    head = upstreamHead(head, method, destination);
    if (method == "GET" && (server.isEmpty() || access_.isLocalHost(server))) {
        const QByteArray path = requestTarget(head).toLower();
        if (path.startsWith("/wpa")) {
            reply(index, PortalReplies::configurationDocument(WpadScript()));
            return false;
        }
        if (path.startsWith("/purchas")) {
            PurchaseCount += 1;
            reply(index, PortalReplies::notFound());
            return false;
        }
        if (path.startsWith("/refresh")) {
            portal_.providerPage.forceRefresh();
            reply(index, PortalReplies::notFound());
            return false;
        }
    }
    if (server.isEmpty() || port < 1 || port > 65535) {
        reply(index, PortalReplies::notFound());
        return false;
    }

    QByteArray request = head;
    if (gatheredBytes > 0)
        request += buffer.mid(end, gatheredBytes);
    buffer.remove(0, end + gatheredBytes);
    s.headScanned = 0;
    s.headEndFound = -1;
    BodyFraming after;
    if (framing.kind == BodyFraming::Kind::Chunked || !gathered)
        after = framing;

    // Every request is checked, on a kept-alive connection too, and before any connecting: a
    // refused client never makes the gateway open a connection.
    if (!access_.mayReach(clientPaid(index), server, port, tunnel)) {
        refuse(index, tunnel);
        return false;
    }
    // A tunnel starts on a fresh connection: the kept-alive one is mid-conversation.
    TcpSocketControl& upstream = httpExit_(index);
    const bool reuse = !tunnel && upstream.State() == sckConnected && s.upstreamHost == server &&
                       s.upstreamPort == port;
    if (reuse) {
        forward(index, request, method, after);
        return true;
    }
    s.upstreamTunnel = tunnel;
    s.pendingRequest = request;
    s.pendingMethod = method;
    s.pendingFraming = after;
    startUpstream(index, server, port);
    return false;
}

void ProxyServer::startUpstream(int index, const QByteArray& server, int port) {
    Slot& s = slot(index);
    httpExit_(index).Close();
    s.clearResponse();
    s.upstreamHost = server;
    s.upstreamPort = port;
    s.waiting = true;
    s.waitTimer.start();
    // The name is resolved first, so that its address can be checked before any connection.
    const quint64 generation = s.generation;
    QHostInfo::lookupHost(
        QString::fromLatin1(server), this,
        [this, index, generation](const QHostInfo& info) { onResolved(index, generation, info); });
}

void ProxyServer::onResolved(int index, quint64 generation, const QHostInfo& info) {
    if (!validSlot(index))
        return;
    Slot& s = slot(index);
    if (s.generation != generation || !s.waiting)
        return;
    QHostAddress target;
    for (const QHostAddress& address : info.addresses()) {
        if (access_.forbiddenUpstream(address))
            continue;
        if (target.isNull() || (address.protocol() == QAbstractSocket::IPv4Protocol &&
                                target.protocol() != QAbstractSocket::IPv4Protocol))
            target = address;
    }
    if (target.isNull()) {
        reply(index, PortalReplies::notFound());
        return;
    }
    TcpSocketControl& upstream = httpExit_(index);
    upstream.setRemoteHost(target.toString());
    upstream.setRemotePort(s.upstreamPort);
    upstream.Connect();
}

void ProxyServer::onUpstreamConnected(int index) {
    if (!validSlot(index) || !slot(index).waiting)
        return;
    Slot& s = slot(index);
    endWait(index);
    forward(index, std::exchange(s.pendingRequest, QByteArray()), s.pendingMethod,
            s.pendingFraming);
    if (s.clientHeld && httpExit_(index).BytesToSend() < kFlowLimit) {
        s.clientHeld = false;
        readClient(index);
    }
    dispatch(index);
}

void ProxyServer::endWait(int index) {
    Slot& s = slot(index);
    s.waiting = false;
    s.waitTimer.stop();
}

void ProxyServer::onUpstreamError(int index) {
    if (!validSlot(index))
        return;
    // Refused or unknown host: answered at once rather than after the whole wait.
    if (slot(index).waiting)
        reply(index, PortalReplies::notFound());
    else
        onUpstreamClosed(index);
}

void ProxyServer::onUpstreamClosed(int index) {
    if (!validSlot(index))
        return;
    Slot& s = slot(index);
    if (s.waiting || s.replying || httpRequest_(index).State() == sckClosed)
        return;
    // What the server sent before closing is relayed, a held response as it stands, and the
    // client is closed once it has all of it.
    TcpSocketControl& upstream = httpExit_(index);
    s.upstreamHeld = false;
    if (upstream.BytesAvailable() > 0)
        HTTPExit_DataArrival(index, upstream.BytesAvailable());
    if (s.holding) {
        s.holding = false;
        sendToClient(index, std::exchange(s.ResponseBuffer, QByteArray()));
    }
    if (httpRequest_(index).BytesToSend() == 0)
        closeSlot(index);
}

void ProxyServer::forward(int index, QByteArray request, const QByteArray& method,
                          const BodyFraming& framing) {
    Slot& s = slot(index);
    s.headSince = now();
    if (method == "CONNECT") {
        // The CONNECT head stays here; from now on every byte of the slot is tunnel data.
        s.phase = Slot::Phase::Tunnel;
        s.responsePhase = Slot::ResponsePhase::UntilClose;
        sendToClient(index, PortalReplies::tunnelOpen());
        return;
    }
    s.methods.push_back(method);
    sendUpstream(index, request);
    switch (framing.kind) {
    case BodyFraming::Kind::Length:
        s.phase = Slot::Phase::Body;
        s.bodyLeft = framing.length;
        break;
    case BodyFraming::Kind::Chunked:
        s.phase = Slot::Phase::Chunked;
        s.requestChunks = ChunkedBody();
        break;
    default:
        s.phase = Slot::Phase::Head;
        break;
    }
}

void ProxyServer::sendUpstream(int index, const QByteArray& data) {
    TcpSocketControl& upstream = httpExit_(index);
    upstream.SendData(data);
    if (upstream.BytesToSend() > kFlowLimit)
        slot(index).clientHeld = true;
}

void ProxyServer::sendToClient(int index, const QByteArray& data) {
    TcpSocketControl& client = httpRequest_(index);
    client.SendData(data);
    if (client.BytesToSend() > kFlowLimit)
        slot(index).upstreamHeld = true;
}

void ProxyServer::HTTPExit_DataArrival(int index, qint64 bytesTotal) {
    Q_UNUSED(bytesTotal);
    if (!validSlot(index))
        return;
    Slot& s = slot(index);
    if (s.upstreamHeld || s.replying)
        return;
    const QByteArray chunk = httpExit_(index).GetData();
    DownMegabytes += chunk.size() / kBytesPerMegabyte;
    s.SlotTime = now();
    s.headSince = s.SlotTime;
    if (!chunk.isEmpty())
        relay(index, chunk);
}

// Passes the server's bytes on unchanged, following its responses one by one so that a small
// one that declares its length goes out whole, in one piece.
void ProxyServer::relay(int index, const QByteArray& chunk) {
    Slot& s = slot(index);
    if (s.phase == Slot::Phase::Tunnel) {
        sendToClient(index, chunk);
        return;
    }
    QByteArray out;
    const auto pass = [&](qsizetype from, qsizetype n) {
        if (n <= 0)
            return;
        if (s.holding)
            s.ResponseBuffer.append(chunk.constData() + from, n);
        else if (out.isEmpty() && from == 0 && n == chunk.size())
            out = chunk; // shared, not copied
        else
            out.append(chunk.constData() + from, n);
    };
    const auto releaseHeld = [&] {
        if (!s.holding)
            return;
        s.holding = false;
        out += s.ResponseBuffer;
        s.ResponseBuffer.clear();
    };

    qsizetype pos = 0;
    while (pos < chunk.size()) {
        const qsizetype rest = chunk.size() - pos;
        switch (s.responsePhase) {
        case Slot::ResponsePhase::Head: {
            const qsizetype before = s.responseHead.size();
            qsizetype headBytes = -1;
            if (before == 0) {
                const QByteArray view = QByteArray::fromRawData(chunk.constData() + pos, rest);
                headBytes = headEnd(view, 0);
                if (headBytes >= 0)
                    s.responseHead = view.left(headBytes);
            } else {
                s.responseHead.append(chunk.constData() + pos, std::min(rest, kMaxHeadBytes));
                const qsizetype end = headEnd(s.responseHead, before);
                if (end >= 0) {
                    headBytes = end - before;
                    s.responseHead.truncate(end);
                }
            }
            if (headBytes < 0) {
                // No empty line yet: the piece goes out now, and the head is read on.
                if (before == 0)
                    s.responseHead =
                        QByteArray(chunk.constData() + pos, std::min(rest, kMaxHeadBytes));
                if (s.responseHead.size() >= kMaxHeadBytes) {
                    s.responseHead.clear();
                    s.responsePhase = Slot::ResponsePhase::UntilClose;
                }
                pass(pos, rest);
                pos += rest;
                break;
            }
            const int status = responseStatus(s.responseHead);
            QByteArray method;
            const bool interim = status >= 100 && status < 200 && status != 101;
            if (!interim && !s.methods.empty()) {
                method = s.methods.front();
                s.methods.pop_front();
            }
            BodyFraming framing = responseFraming(s.responseHead, method);
            if (status == 0 || status == 101)
                framing = {BodyFraming::Kind::UntilClose, 0};
            s.responseHead.clear();
            const bool hold = before == 0 && framing.kind == BodyFraming::Kind::Length &&
                              framing.length <= kHoldLimit && rest - headBytes < framing.length;
            if (hold) {
                s.holding = true;
                s.ResponseBuffer.clear();
            }
            pass(pos, headBytes);
            pos += headBytes;
            switch (framing.kind) {
            case BodyFraming::Kind::Length:
                s.responsePhase = Slot::ResponsePhase::Body;
                s.responseBodyLeft = framing.length;
                break;
            case BodyFraming::Kind::Chunked:
                s.responsePhase = Slot::ResponsePhase::Chunked;
                s.responseChunks = ChunkedBody();
                break;
            case BodyFraming::Kind::UntilClose:
            case BodyFraming::Kind::Invalid:
                s.responsePhase = Slot::ResponsePhase::UntilClose;
                break;
            case BodyFraming::Kind::None:
                break;
            }
            break;
        }
        case Slot::ResponsePhase::Body: {
            const qsizetype n = static_cast<qsizetype>(std::min<qint64>(s.responseBodyLeft, rest));
            pass(pos, n);
            pos += n;
            s.responseBodyLeft -= n;
            if (s.responseBodyLeft == 0) {
                releaseHeld();
                s.responsePhase = Slot::ResponsePhase::Head;
            }
            break;
        }
        case Slot::ResponsePhase::Chunked: {
            const qsizetype n = s.responseChunks.feed(chunk.constData() + pos, rest);
            pass(pos, n);
            pos += n;
            if (s.responseChunks.failed())
                s.responsePhase = Slot::ResponsePhase::UntilClose;
            else if (s.responseChunks.done())
                s.responsePhase = Slot::ResponsePhase::Head;
            break;
        }
        case Slot::ResponsePhase::UntilClose:
            pass(pos, rest);
            pos += rest;
            break;
        }
    }
    if (!out.isEmpty())
        sendToClient(index, out);
}

void ProxyServer::HTTPRequest_SendComplete(int index) {
    if (!validSlot(index) || slot(index).waiting)
        return;
    // A composed reply, or the last bytes of a server that has closed: the exchange is over.
    if (httpExit_(index).State() != sckConnected)
        closeSlot(index);
}

void ProxyServer::onClientSent(int index, qint64 stillQueued) {
    if (!validSlot(index))
        return;
    Slot& s = slot(index);
    s.SlotTime = now();
    if (s.upstreamHeld && stillQueued < kFlowResume) {
        s.upstreamHeld = false;
        if (httpExit_(index).BytesAvailable() > 0)
            HTTPExit_DataArrival(index, httpExit_(index).BytesAvailable());
    }
}

void ProxyServer::onUpstreamSent(int index, qint64 stillQueued) {
    if (!validSlot(index))
        return;
    Slot& s = slot(index);
    s.SlotTime = now();
    if (s.clientHeld && !s.waiting && stillQueued < kFlowResume) {
        s.clientHeld = false;
        if (!s.RequestBuffer.isEmpty())
            dispatch(index);
        if (!s.clientHeld && httpRequest_(index).BytesAvailable() > 0)
            readClient(index);
    }
}

void ProxyServer::reply(int index, const QByteArray& response) {
    Slot& s = slot(index);
    s.clear();
    s.replying = true;
    httpExit_(index).Close();
    httpRequest_(index).SendData(response);
}

bool ProxyServer::clientPaid(int index) {
    return portal_.registry.IsClientAllowed(httpRequest_(index).RemoteHostIP(),
                                            slot(index).peerMac);
}

void ProxyServer::refuse(int index, bool tunnel) {
    const QString mac =
        portal_.registry.GetClientMac(httpRequest_(index).RemoteHostIP(), slot(index).peerMac);
    if (mac.isEmpty()) {
        reply(index, PortalReplies::notFound());
        return;
    }
    const QString origin = Deployment::providerOrigin();
    if (slot(index).captured.port != 0) {
        reply(index, PortalReplies::captiveRedirect(
                         PortalReplies::purchaseUrl(origin, portal_.providerId, mac)));
        return;
    }
    const QByteArray page = PortalReplies::purchasePage(origin, portal_.providerId, mac);
    reply(index, tunnel ? PortalReplies::networkAuthenticationRequired(page)
                        : PortalReplies::purchaseRedirect(page));
}

void ProxyServer::housekeeping() {
    access_.refreshOwnAddresses();
    const int last = httpRequest_.UBound();
    for (int i = 1; i <= last; ++i) {
        if (httpRequest_(i).State() == sckClosed)
            continue;
        Slot& s = slot(i);
        if (s.waiting)
            s.SlotTime = now();
        else if (now() - s.SlotTime > kIdleLimitMs)
            closeSlot(i);
        else if (s.phase == Slot::Phase::Head && s.headEndFound < 0 && !s.replying &&
                 now() - s.headSince > kHeadDeadlineMs)
            closeSlot(i); // a head trickled in: a small body being gathered has no deadline
    }
    while (httpRequest_.UBound() >= 1 && httpRequest_(httpRequest_.UBound()).State() == sckClosed) {
        httpExit_.UnloadLast();
        httpRequest_.UnloadLast();
        slots_.pop_back();
    }
}

void ProxyServer::dropWithdrawnClients() {
    for (int i = 1; i <= httpRequest_.UBound(); ++i) {
        Slot& s = slot(i);
        if (httpRequest_(i).State() == sckClosed || s.upstreamHost.isEmpty() || s.replying)
            continue;
        const bool tunnel = s.phase == Slot::Phase::Tunnel || s.upstreamTunnel;
        if (!access_.mayReach(clientPaid(i), s.upstreamHost, s.upstreamPort, tunnel))
            closeSlot(i);
    }
}
