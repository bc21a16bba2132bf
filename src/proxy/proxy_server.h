#pragma once
// The web proxy on port 8080 and its access portal: accepts client connections, each of which
// becomes a ProxyConnection, holds them to 300 (64 for any one client) and to the LAN, sweeps
// idle ones every housekeeping tick, and sums the byte counters they report.

#include "common/clock.h"
#include "platform/neighbour_table.h"
#include "platform/tcp_listener.h"
#include "proxy/access_policy.h"
#include "proxy/proxy_connection.h"
#include "registry/client_registry.h"
#include "registry/provider_page.h"

#include <QByteArray>
#include <QObject>
#include <functional>
#include <vector>

// What tests may loosen: origins on loopback (never an upstream of a deployed proxy), and the
// share of the connections one client may hold.
struct ProxyOptions {
    bool allowLoopback = false;
    int slotsPerClient = 64;
};

class ProxyServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxSlots = 300;
    static constexpr qint64 kIdleLimitMs = 8640; // 0.0001 day
    // A request head must be whole within this time from the connection or from the last
    // response bytes: a client trickling a head one byte at a time cannot keep its slot.
    static constexpr qint64 kHeadDeadlineMs = 10000;
    static constexpr double kBytesPerMegabyte = 1024000.0;

    // What the portal needs of the rest of the gateway; all of it outlives the proxy.
    struct Portal {
        ClientRegistry& registry;
        ProviderPage& providerPage;
        const Clock& clock;
    };
    using Options = ProxyOptions;

    // gatewayHost: the gateway's own address text, whose local pages are served here and whose
    // /24 is the LAN it serves; pacScript: the proxy auto-configuration script it serves.
    ProxyServer(Portal portal, QByteArray gatewayHost, QByteArray pacScript, Options options = {},
                QObject* parent = nullptr);
    ~ProxyServer() override;

    // Listens on every local IPv4 address (0: any free port).
    bool listen(quint16 port);
    bool isListening() const { return listener_.isListening(); }
    quint16 port() const { return listener_.port(); }
    // Stops listening and closes every connection.
    void closeAll();

    // Closes connections idle for longer than the idle limit or whose head is overdue, then
    // forgets the free slots at the end of the table.
    void housekeeping();
    // After a provider page load: the connections of clients whose allowance is gone and that
    // the whitelist does not open are closed, tunnels and kept-alive upstreams alike.
    void dropWithdrawnClients();

    // Slots in the table: the highest one taken since the last housekeeping (the "Socks"
    // number the window shows).
    int slotCount() const { return static_cast<int>(slots_.size()); }
    // Connections open now, and the slots (from 1) they hold.
    int connectionCount() const;
    std::vector<int> takenSlots() const;
    // Bytes the gateway holds queued for clients and upstreams: flow control keeps this small.
    qint64 queuedBytes() const;

    double upMegabytes = 0;
    double downMegabytes = 0;
    double purchaseCount = 0;

    // The operator's provider ID, as in the login box: the purchase page names it.
    void setProviderId(const QString& providerId) { providerId_ = providerId; }

    // Where the proxy learns a client's hardware address; the kernel's by default.
    void setNeighbourTable(const NeighbourTable* table) { neighbours_ = table; }
    // Where a connection was headed before the firewall redirected it to the proxy (port 0: it
    // came to the proxy itself); the kernel's answer by default.
    using OriginalDestination = std::function<TcpListener::Destination(qintptr)>;
    void setOriginalDestination(OriginalDestination lookup) { originalDestination_ = lookup; }

private:
    void accept(qintptr descriptor);
    int slotsHeldBy(quint32 peer) const;
    void closeEndedClients(quint32 peer, bool anyPeer);

    Portal portal_;
    Options options_;
    QString providerId_;
    AccessPolicy access_;
    ProxyConnection::Shared shared_;
    TcpListener listener_;
    // Connections by slot; a free slot is null. The table grows by one slot at a time and is
    // trimmed from the end by housekeeping.
    std::vector<ProxyConnection*> slots_;
    NeighbourTable kernelNeighbours_;
    const NeighbourTable* neighbours_ = &kernelNeighbours_;
    OriginalDestination originalDestination_ = &TcpListener::originalDestination;
};
