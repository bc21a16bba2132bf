#pragma once
// Reads one client connection's bytes as the proxy forwards them, without sockets: request
// heads with their checks and rewrite, bodies by their framing, tunnels, and what to do with
// each request: send it on, open an upstream connection for it, answer it here, or refuse it.

#include "platform/tcp_listener.h"
#include "proxy/access_policy.h"
#include "proxy/chunked_body.h"
#include "proxy/head_faults.h"
#include "proxy/message_framing.h"
#include "proxy/request_head.h"

#include <QByteArray>
#include <functional>
#include <limits>
#include <optional>

// What the reader asks of its connection, one step at a time.
struct ReaderStep {
    enum class Kind {
        NeedMore, // nothing to do until more bytes come
        Send,     // bytes for the open upstream (a whole request when method is set)
        Open,     // an upstream connection to host:port, then bytes (empty for a tunnel)
        Reply,    // the request is answered here with bytes; the exchange ends
        Refuse,   // the client may not reach host: the purchase page instead
    };
    // Local pages whose answer has a side effect.
    enum class Page { Other, PurchaseNotice, Refresh };

    Kind kind = Kind::NeedMore;
    QByteArray bytes;
    QByteArray method; // of the request that Send or Open begins
    QByteArray host;
    int port = 0;
    bool tunnel = false;
    Page page = Page::Other;
};

class RequestReader {
public:
    static constexpr qsizetype kMaxHeadBytes = 64 * 1024;
    static constexpr qint64 kGatheredBodyBytes = 64 * 1024;

    // The upstream the connection holds open, which a request for the same host and port reuses.
    struct Upstream {
        QByteArray host;
        int port = 0;
        bool connected = false;
    };

    // captured: where a device without proxy settings was headed (port 0 for a client of the
    // proxy); pacScript: the proxy auto-configuration script this gateway serves.
    RequestReader(const AccessPolicy& access, TcpListener::Destination captured,
                  QByteArray pacScript);

    void append(const QByteArray& bytes) { buffer_ += bytes; }
    qsizetype buffered() const { return buffer_.size(); }
    bool inTunnel() const { return phase_ == Phase::Tunnel; }
    // Waiting for (the rest of) a request head, none of which may be held for long.
    bool awaitingHead() const { return phase_ == Phase::Head && headEndFound_ < 0; }

    // How many of the client's next bytes go upstream unchanged, once none are held, so that
    // they may go by without append() and next() (kUnbounded: all of them), and that they did.
    static constexpr qint64 kUnbounded = std::numeric_limits<qint64>::max();
    qint64 passingAhead() const;
    void passed(qint64 count);

    // The next step for the bytes held. paid is asked once for each request that has to be
    // checked (a hash lookup), never for body or tunnel bytes.
    ReaderStep next(const Upstream& upstream, const std::function<bool()>& paid);

private:
    enum class Phase { Head, Body, Chunked, Tunnel };

    ReaderStep readHead(qsizetype end, const Upstream& upstream, const std::function<bool()>& paid);
    Destination destinationOf(const QByteArray& head, const RequestHeadScan& scan) const;
    static qsizetype gatheredBodyBytes(const RequestHeadScan& scan, const BodyFraming& framing);
    std::optional<ReaderStep> localPage(const QByteArray& path) const;
    void followHead(bool tunnel, const BodyFraming& framing, bool gathered);
    QByteArray take(qsizetype n);

    const AccessPolicy& access_;
    TcpListener::Destination captured_;
    QByteArray pacScript_;
    QByteArray buffer_;
    Phase phase_ = Phase::Head;
    qint64 bodyLeft_ = 0;
    ChunkedBody chunks_;
    qsizetype headScanned_ = 0;   // the search for the head's end resumes here
    qsizetype headEndFound_ = -1; // a complete head whose body is still being gathered
};
