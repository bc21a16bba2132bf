#include "proxy/proxy_server.h"

#include <algorithm>
#include <unistd.h>

ProxyServer::ProxyServer(Portal portal, QByteArray gatewayHost, QByteArray pacScript,
                         Options options, QObject* parent)
    : QObject(parent), portal_(portal), options_(options),
      access_(std::move(gatewayHost), options.allowLoopback), shared_{access_, portal.registry,
                                                                      providerId_, portal.clock,
                                                                      std::move(pacScript)} {
    listener_.setHandler([this](qintptr descriptor) { accept(descriptor); });
    connect(&portal_.providerPage, &ProviderPage::allowancesChanged, this,
            &ProxyServer::dropWithdrawnClients);
}

ProxyServer::~ProxyServer() {
    closeAll();
}

bool ProxyServer::listen(quint16 port) {
    return listener_.listen(port);
}

void ProxyServer::accept(qintptr descriptor) {
    // The Internet side can reach port 8080 too: its connections are closed at once and never
    // take a slot. Nor can one client take more than its share, nor anyone the 301st.
    const quint32 peer = TcpListener::peerIPv4(descriptor);
    if (!access_.servesPeer(peer)) {
        ::close(static_cast<int>(descriptor));
        return;
    }
    const auto tableFull = [this] {
        return slots_.size() >= kMaxSlots &&
               std::find(slots_.begin(), slots_.end(), nullptr) == slots_.end();
    };
    const auto atShare = [&] { return slotsHeldBy(peer) >= options_.slotsPerClient; };
    if (tableFull() || atShare()) {
        closeEndedClients(peer, tableFull());
        if (tableFull() || atShare()) {
            ::close(static_cast<int>(descriptor));
            return;
        }
    }
    const auto free = std::find(slots_.begin(), slots_.end(), nullptr);
    // Asked for loopback peers too: the kernel's table has none, so they are known by address.
    const QByteArray peerMac = neighbours_->hardwareAddressOf(peer);
    auto* connection = new ProxyConnection(shared_, descriptor, peer, peerMac,
                                           originalDestination_(descriptor), this);
    const size_t slot = free == slots_.end() ? slots_.size() : size_t(free - slots_.begin());
    if (slot == slots_.size())
        slots_.push_back(connection);
    else
        slots_[slot] = connection;
    connect(connection, &ProxyConnection::clientBytes, this,
            [this](qint64 count) { upMegabytes += count / kBytesPerMegabyte; });
    connect(connection, &ProxyConnection::upstreamBytes, this,
            [this](qint64 count) { downMegabytes += count / kBytesPerMegabyte; });
    connect(connection, &ProxyConnection::purchaseNoticed, this, [this] { purchaseCount += 1; });
    connect(connection, &ProxyConnection::refreshRequested, &portal_.providerPage,
            &ProviderPage::forceRefresh);
    connect(connection, &ProxyConnection::finished, this, [this, connection] {
        std::replace(slots_.begin(), slots_.end(), connection,
                     static_cast<ProxyConnection*>(nullptr));
    });
}

// A client that reconnects as soon as it has its answer hangs up its last connection in the
// same pass of the event loop that brings the new one, and that pass may accept before it
// reports the end: the ended connections are closed first rather than counted against it.
void ProxyServer::closeEndedClients(quint32 peer, bool anyPeer) {
    const std::vector<ProxyConnection*> open = slots_;
    for (ProxyConnection* connection : open) {
        if (connection && (anyPeer || connection->peer() == peer) && connection->clientHasEnded())
            connection->close();
    }
}

int ProxyServer::slotsHeldBy(quint32 peer) const {
    return static_cast<int>(std::count_if(slots_.begin(), slots_.end(),
                                          [peer](auto* c) { return c && c->peer() == peer; }));
}

int ProxyServer::connectionCount() const {
    return static_cast<int>(
        std::count_if(slots_.begin(), slots_.end(), [](auto* c) { return c != nullptr; }));
}

std::vector<int> ProxyServer::takenSlots() const {
    std::vector<int> taken;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i])
            taken.push_back(static_cast<int>(i) + 1);
    }
    return taken;
}

qint64 ProxyServer::queuedBytes() const {
    qint64 queued = 0;
    for (const ProxyConnection* connection : slots_) {
        if (connection)
            queued += connection->queuedBytes();
    }
    return queued;
}

void ProxyServer::closeAll() {
    listener_.close();
    // A connection frees its slot as it closes.
    const std::vector<ProxyConnection*> open = slots_;
    for (ProxyConnection* connection : open) {
        if (connection)
            connection->close();
    }
}

void ProxyServer::housekeeping() {
    access_.refreshOwnAddresses();
    const std::vector<ProxyConnection*> open = slots_;
    for (ProxyConnection* connection : open) {
        if (connection)
            connection->sweep(kIdleLimitMs, kHeadDeadlineMs);
    }
    while (!slots_.empty() && slots_.back() == nullptr)
        slots_.pop_back();
}

void ProxyServer::dropWithdrawnClients() {
    const std::vector<ProxyConnection*> open = slots_;
    for (ProxyConnection* connection : open) {
        if (connection)
            connection->dropIfWithdrawn();
    }
}
