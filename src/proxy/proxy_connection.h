#pragma once
// One client connection of the web proxy: it owns the client's socket and the upstream socket
// it opens for it, and lives and dies with them. The request reader decides what the client's
// bytes ask for and the response framer follows what comes back; this object moves the bytes,
// holds one side back when the other does not keep up, waits for the upstream without blocking
// and answers for the gateway where the reader says so. A tunnel, and a body of a declared
// length, go from socket to socket through a pipe (splice), never through the process; the rest
// is copied.

#include "common/clock.h"
#include "platform/splice_pipe.h"
#include "platform/stream_socket.h"
#include "platform/tcp_listener.h"
#include "proxy/access_policy.h"
#include "proxy/request_reader.h"
#include "proxy/response_framer.h"
#include "registry/client_registry.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

class ProxyConnection : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kReadLimit = 256 * 1024;
    static constexpr qint64 kFlowLimit = 256 * 1024; // bytes waiting to go out: stop reading
    static constexpr qint64 kFlowResume = 64 * 1024; // ... and read on below this
    // A stretch shorter than this is copied: a pipe costs three system calls to set up.
    static constexpr qint64 kSpliceStart = 64 * 1024;
    static constexpr int kConnectWaitMs = 17280; // 0.0002 day
    static constexpr int kLingerMs = 30000;      // what is queued at the close still goes

    // What every connection shares; it outlives them all.
    struct Shared {
        const AccessPolicy& access;
        ClientRegistry& registry;
        const QString& providerId;
        const Clock& clock;
        QByteArray pacScript;
    };

    // Takes an accepted connection. The client is known by its address, its hardware address
    // in the neighbour table (empty when none) and, for a device without proxy settings, where
    // it was headed.
    ProxyConnection(Shared& shared, qintptr descriptor, quint32 peer, QByteArray peerMac,
                    TcpListener::Destination captured, QObject* parent = nullptr);
    ~ProxyConnection() override;

    quint32 peer() const { return peer_; }
    // The client has hung up, whether or not the event loop has said so yet.
    bool clientHasEnded() const { return !client_ || client_->peerHasEnded(); }
    // Bytes queued in the gateway (its pipes included) for the client and the upstream.
    qint64 queuedBytes() const;
    // Closes the connection when it has been idle too long, or a request head is overdue.
    void sweep(qint64 idleLimitMs, qint64 headDeadlineMs);
    // Closes it when its client may no longer reach what it is connected to.
    void dropIfWithdrawn();
    // Closes both sockets (queued bytes still go out for a while) and ends the connection.
    void close();

signals:
    void clientBytes(qint64 count);
    void upstreamBytes(qint64 count);
    void purchaseNoticed();
    void refreshRequested();
    // Both sockets are closed; the connection deletes itself.
    void finished();

private:
    qint64 now() const { return shared_.clock.monotonicMs(); }
    bool paid();
    void readClient();
    void dispatch();
    void act(const ReaderStep& step);
    void open(const ReaderStep& step);
    void onUpstreamConnected();
    void onUpstreamEnded();
    bool waiting() const { return !pendingMethod_.isEmpty(); }
    void onClientSent();
    void onUpstreamSent();
    void readUpstream();
    bool spliceUp();
    bool spliceDown();
    bool splice(StreamSocket* from, StreamSocket* to, SplicePipe& pipe, bool& fromHeld,
                const std::function<qint64()>& ahead, const std::function<void(qint64)>& passed);
    void unloadPipe(SplicePipe& pipe, StreamSocket* to);
    void sendUpstream(const QByteArray& data);
    void sendToClient(const QByteArray& data);
    void reply(const QByteArray& response);
    void refuse(bool tunnel);
    void dropUpstream();

    Shared& shared_;
    quint32 peer_;
    QByteArray peerMac_;
    TcpListener::Destination captured_;
    QPointer<StreamSocket> client_;
    QPointer<StreamSocket> upstream_;
    RequestReader reader_;
    ResponseFramer framer_;
    RequestReader::Upstream upstreamFor_; // what the upstream connection is for
    bool upstreamTunnel_ = false;
    QByteArray pendingRequest_; // sent once the upstream connects
    QByteArray pendingMethod_;  // of that request; set while the upstream is awaited
    QTimer connectWait_;
    qint64 lastActivity_ = 0;
    qint64 headSince_ = 0;       // since when the next request head is awaited
    bool replying_ = false;      // a composed reply is going out; the exchange is over
    bool clientHeld_ = false;    // not reading the client: the upstream is not keeping up
    bool upstreamHeld_ = false;  // not reading the upstream: the client is not keeping up
    SplicePipe toUpstream_;      // a spliced request body or tunnel, client to upstream
    SplicePipe toClient_;        // a spliced response body or tunnel, upstream to client
    bool spliceRefused_ = false; // a socket that splice does not serve: copy from then on
    bool closed_ = false;
};
