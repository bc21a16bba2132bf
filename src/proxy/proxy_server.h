#pragma once
// The web proxy on port 8080 and its access portal. Every client connection takes a numbered
// slot, a client socket HTTPRequest(i) paired with an upstream socket HTTPExit(i). Requests are
// read head by head: the gateway's own pages are answered here, clients that have not bought
// access are sent to the purchase page, and the rest is forwarded; responses are relayed back
// unchanged. All of it runs on the event loop; waiting for an upstream connection holds the
// slot's later data instead of blocking.

#include "common/clock.h"
#include "platform/control_array.h"
#include "platform/neighbour_table.h"
#include "platform/tcp_socket_control.h"
#include "proxy/access_policy.h"
#include "proxy/chunked_body.h"
#include "proxy/message_framing.h"
#include "registry/client_registry.h"
#include "registry/provider_page.h"

#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// What tests may loosen: origins on loopback (never an upstream of a deployed proxy), and the
// share of the slots one client may hold.
struct ProxyOptions {
    bool allowLoopback = false;
    int slotsPerClient = 64;
};

class ProxyServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxSlots = 300;
    static constexpr qint64 kIdleLimitMs = 8640;    // 0.0001 day
    static constexpr qint64 kConnectWaitMs = 17280; // 0.0002 day
    // A request head must be whole within this time from the connection or from the last
    // response bytes: a client trickling a head one byte at a time cannot keep its slot.
    static constexpr qint64 kHeadDeadlineMs = 10000;
    static constexpr qsizetype kMaxHeadBytes = 64 * 1024;
    static constexpr qint64 kGatheredBodyBytes = 64 * 1024;
    static constexpr qint64 kHoldLimit = 5000;
    static constexpr qint64 kFlowLimit = 256 * 1024;
    static constexpr qint64 kFlowResume = 64 * 1024;
    static constexpr double kBytesPerMegabyte = 1024000.0;

    // What the portal needs of the rest of the gateway; all of it outlives the proxy.
    struct Portal {
        ClientRegistry& registry;
        ProviderPage& providerPage;
        const QString& providerId; // the operator's provider ID, as in the login box
        const Clock& clock;
    };

    using Options = ProxyOptions;

    // gatewayHost: the gateway's own address text, whose local pages are served here; its
    // first three bytes name the LAN segment whose clients the proxy serves.
    explicit ProxyServer(Portal portal, QByteArray gatewayHost = "192.168.11.1",
                         Options options = {}, QObject* parent = nullptr);
    ~ProxyServer() override;

    ControlArray<TcpSocketControl>& HTTPRequest() { return httpRequest_; }
    ControlArray<TcpSocketControl>& HTTPExit() { return httpExit_; }

    // Socket events.
    void HTTPRequest_ConnectionRequest(int index, qintptr requestID);
    void HTTPRequest_DataArrival(int index, qint64 bytesTotal);
    void HTTPRequest_SendComplete(int index);
    void HTTPExit_DataArrival(int index, qint64 bytesTotal);

    // Closes slots idle for longer than the idle limit, then removes closed slots from the end
    // of both socket arrays.
    void housekeeping();
    // Closes every socket.
    void closeAll();
    // After a provider page load: the connections of clients whose allowance is gone and that
    // the whitelist does not open are closed, tunnels and kept-alive upstreams alike.
    void dropWithdrawnClients();
    // Where the proxy learns a client's hardware address; the kernel's by default.
    void setNeighbourTable(const NeighbourTable* table) { neighbours_ = table; }
    // Where a connection was headed before the firewall redirected it to the proxy (port 0: it
    // came to the proxy itself); the kernel's answer by default.
    using OriginalDestination = std::function<TcpSocketControl::Destination(qintptr)>;
    void setOriginalDestination(OriginalDestination lookup) { originalDestination_ = lookup; }

    double UpMegabytes = 0;
    double DownMegabytes = 0;
    double PurchaseCount = 0;

private:
    struct Slot;

    void loadSlotPair();
    Slot& slot(int index) { return *slots_[static_cast<size_t>(index)]; }
    bool validSlot(int index) const;
    void resetSlot(int index);
    void closeSlot(int index);
    void readClient(int index);
    void dispatch(int index);
    bool dispatchHead(int index, qsizetype end);
    void startUpstream(int index, const QByteArray& server, int port);
    void onResolved(int index, quint64 generation, const QHostInfo& info);
    int slotsHeldBy(quint32 peer);
    bool clientPaid(int index);
    void onUpstreamConnected(int index);
    void onUpstreamError(int index);
    void onUpstreamClosed(int index);
    void onClientSent(int index, qint64 stillQueued);
    void onUpstreamSent(int index, qint64 stillQueued);
    void endWait(int index);
    void forward(int index, QByteArray request, const QByteArray& method,
                 const BodyFraming& framing);
    void sendUpstream(int index, const QByteArray& data);
    void relay(int index, const QByteArray& chunk);
    void sendToClient(int index, const QByteArray& data);
    void reply(int index, const QByteArray& response);
    void refuse(int index, bool tunnel);
    qint64 now() const { return portal_.clock.monotonicMs(); }

    Portal portal_;
    Options options_;
    AccessPolicy access_;
    NeighbourTable kernelNeighbours_;
    const NeighbourTable* neighbours_ = &kernelNeighbours_;
    OriginalDestination originalDestination_ = &TcpSocketControl::RequestOriginalDestination;
    ControlArray<TcpSocketControl> httpRequest_;
    ControlArray<TcpSocketControl> httpExit_;
    std::vector<std::unique_ptr<Slot>> slots_; // index 0 stands for the listener, unused
};
