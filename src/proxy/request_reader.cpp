#include "proxy/request_reader.h"

#include "proxy/head_faults.h"
#include "proxy/head_rewrite.h"
#include "proxy/message_framing.h"
#include "proxy/portal_replies.h"
#include "proxy/request_head.h"

#include <QHostAddress>
#include <algorithm>

namespace {

// A method is a word of capitals, digits, "-" and "_"; anything else is no request.
bool isMethod(const QByteArray& word) {
    if (word.isEmpty() || word.size() > 32)
        return false;
    return std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

// The request line's target, e.g. "/wpad" or "http://host/x".
QByteArray targetOf(const QByteArray& head) {
    const qsizetype first = head.indexOf(' ');
    if (first < 0)
        return QByteArray();
    qsizetype end = first + 1;
    while (end < head.size() && head.at(end) != ' ' && head.at(end) != '\r' && head.at(end) != '\n')
        ++end;
    return head.mid(first + 1, end - first - 1);
}

ReaderStep reply(const QByteArray& bytes, ReaderStep::Page page = ReaderStep::Page::Other) {
    ReaderStep step;
    step.kind = ReaderStep::Kind::Reply;
    step.bytes = bytes;
    step.page = page;
    return step;
}

} // namespace

RequestReader::RequestReader(const AccessPolicy& access, TcpListener::Destination captured,
                             QByteArray pacScript)
    : access_(access), captured_(captured), pacScript_(std::move(pacScript)) {}

QByteArray RequestReader::take(qsizetype n) {
    if (n >= buffer_.size())
        return std::exchange(buffer_, QByteArray());
    QByteArray part = buffer_.left(n);
    buffer_.remove(0, n);
    return part;
}

qint64 RequestReader::passingAhead() const {
    if (!buffer_.isEmpty())
        return 0;
    if (phase_ == Phase::Tunnel)
        return kUnbounded;
    return phase_ == Phase::Body ? bodyLeft_ : 0;
}

void RequestReader::passed(qint64 count) {
    if (phase_ != Phase::Body)
        return;
    bodyLeft_ -= count;
    if (bodyLeft_ <= 0)
        phase_ = Phase::Head;
}

ReaderStep RequestReader::next(const Upstream& upstream, const std::function<bool()>& paid) {
    ReaderStep step;
    while (!buffer_.isEmpty()) {
        switch (phase_) {
        case Phase::Tunnel:
            step.kind = ReaderStep::Kind::Send;
            step.bytes = take(buffer_.size());
            return step;
        case Phase::Body: {
            step.kind = ReaderStep::Kind::Send;
            step.bytes = take(static_cast<qsizetype>(std::min<qint64>(bodyLeft_, buffer_.size())));
            bodyLeft_ -= step.bytes.size();
            if (bodyLeft_ == 0)
                phase_ = Phase::Head;
            return step;
        }
        case Phase::Chunked: {
            const qsizetype n = chunks_.feed(buffer_.constData(), buffer_.size());
            if (chunks_.failed())
                return reply(PortalReplies::notFound());
            if (chunks_.done())
                phase_ = Phase::Head;
            if (n == 0)
                continue;
            step.kind = ReaderStep::Kind::Send;
            step.bytes = take(n);
            return step;
        }
        case Phase::Head: {
            const qsizetype end =
                headEndFound_ >= 0 ? headEndFound_ : headEnd(buffer_, headScanned_);
            // Too long a head is refused whether it arrives in pieces or whole.
            if ((end < 0 && buffer_.size() > kMaxHeadBytes) || end > kMaxHeadBytes)
                return reply(PortalReplies::headTooLarge());
            if (end < 0) {
                headScanned_ = buffer_.size();
                return step;
            }
            headEndFound_ = end;
            return readHead(end, upstream, paid);
        }
        }
    }
    return step;
}

// Acts on the complete head that ends at end: NeedMore while a small body is still being
// gathered, else the request's step.
ReaderStep RequestReader::readHead(qsizetype end, const Upstream& upstream,
                                   const std::function<bool()>& paid) {
    QByteArray head = buffer_.left(end);
    const qsizetype space = head.indexOf(' ');
    const QByteArray method = space > 0 ? head.left(space).toUpper() : QByteArray();
    if (!isMethod(method))
        return reply(PortalReplies::notFound());
    // The one pass over the header lines; what follows asks the scan, not the head.
    const RequestHeadScan scan = scanRequestHead(head);
    const Destination destination = destinationOf(head, scan);
    // What an origin might read otherwise than the proxy does is not forwarded at all; and the
    // host checked is the host resolved, byte for byte.
    if (scan.fault != HeadFault::None ||
        (!destination.host.isEmpty() && !isValidHost(destination.host)))
        return reply(PortalReplies::badRequest());
    const bool tunnel = method == "CONNECT";
    const BodyFraming framing = tunnel ? BodyFraming{} : requestFraming(scan.codings, scan.length);
    if (framing.kind == BodyFraming::Kind::Invalid)
        return reply(PortalReplies::notFound());
    const qsizetype gatheredBytes = gatheredBodyBytes(scan, framing);
    if (buffer_.size() < end + gatheredBytes)
        return ReaderStep();

    head = upstreamHead(head, method, destination, scan);
    const QByteArray& host = destination.host;
    if (method == "GET" && (host.isEmpty() || access_.isLocalHost(host))) {
        if (std::optional<ReaderStep> page = localPage(targetOf(head).toLower()))
            return *page;
    }
    const int port = destination.port;
    if (host.isEmpty() || port < 1 || port > 65535)
        return reply(PortalReplies::notFound());

    ReaderStep step;
    step.bytes = gatheredBytes > 0 ? head + buffer_.mid(end, gatheredBytes) : head;
    take(end + gatheredBytes);
    headScanned_ = 0;
    headEndFound_ = -1;
    step.method = method;
    step.host = host;
    step.port = port;
    step.tunnel = tunnel;
    // Every request is checked, on a kept-alive connection too, and before any connecting: a
    // refused client never makes the gateway open a connection.
    if (!access_.mayReach(paid(), host, port, tunnel)) {
        step.kind = ReaderStep::Kind::Refuse;
        step.bytes.clear();
        return step;
    }
    if (tunnel)
        step.bytes.clear(); // the CONNECT head stays here
    followHead(tunnel, framing, gatheredBytes > 0);
    // A tunnel starts on a fresh connection: the kept-alive one is mid-conversation.
    const bool reuse =
        !tunnel && upstream.connected && upstream.host == host && upstream.port == port;
    step.kind = reuse ? ReaderStep::Kind::Send : ReaderStep::Kind::Open;
    return step;
}

// Where the head says the request goes; a captured request without a Host line goes where the
// device sent it.
Destination RequestReader::destinationOf(const QByteArray& head,
                                         const RequestHeadScan& scan) const {
    Destination destination = requestDestination(head, scan.hostValueIn(head));
    if (destination.host.isEmpty() && captured_.port != 0) {
        destination.host = QHostAddress(captured_.address).toString().toLatin1();
        destination.port = captured_.port;
    }
    return destination;
}

// A small body is gathered and forwarded with its head (its size here, else 0); a larger one is
// streamed, and so is one whose client waits for the server's 100 Continue before sending it.
qsizetype RequestReader::gatheredBodyBytes(const RequestHeadScan& scan,
                                           const BodyFraming& framing) {
    const bool gathered = framing.kind == BodyFraming::Kind::Length &&
                          framing.length <= kGatheredBodyBytes && !scan.expectsContinue;
    return gathered ? static_cast<qsizetype>(framing.length) : 0;
}

// The gateway's own pages, by the lower-cased path of a GET to the gateway: the proxy script,
// the purchase notice and the refresh.
std::optional<ReaderStep> RequestReader::localPage(const QByteArray& path) const {
    if (path.startsWith("/wpa"))
        return reply(PortalReplies::configurationDocument(pacScript_));
    if (path.startsWith("/purchas"))
        return reply(PortalReplies::notFound(), ReaderStep::Page::PurchaseNotice);
    if (path.startsWith("/refresh"))
        return reply(PortalReplies::notFound(), ReaderStep::Page::Refresh);
    return std::nullopt;
}

// What follows a forwarded head: a tunnel, or the body still to stream.
void RequestReader::followHead(bool tunnel, const BodyFraming& framing, bool gathered) {
    if (tunnel) {
        phase_ = Phase::Tunnel;
    } else if (framing.kind == BodyFraming::Kind::Chunked) {
        phase_ = Phase::Chunked;
        chunks_ = ChunkedBody();
    } else if (framing.kind == BodyFraming::Kind::Length && !gathered) {
        phase_ = Phase::Body;
        bodyLeft_ = framing.length;
    }
}
