#pragma once
// Who the proxy serves and where it may go, built once from the deployment values: the LAN
// whose clients it serves, the whitelisted domains open to every client, the hosts whose
// paths are the gateway's own pages, and the addresses that are never an upstream.

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>

class AccessPolicy {
public:
    // The one port a tunnel opened by the whitelist (for a client that has not paid) may go to:
    // the walled garden is for buying over HTTPS, not a way to any service of its hosts.
    static constexpr int kOpenTunnelPort = 443;

    // gatewayHost: the gateway's own address text; its /24 is the LAN. allowLoopback lets
    // tests use origins on loopback, which a deployed proxy never connects to.
    explicit AccessPolicy(QByteArray gatewayHost, bool allowLoopback = false);

    // Clients of the LAN segment, and the gateway itself through loopback.
    bool servesPeer(quint32 ipv4) const;
    // Open to every client: one of the whitelisted domains or a subdomain of one.
    bool isWhitelisted(QByteArrayView host) const;
    // May a client reach host:port (tunnel: through CONNECT) when it has paid or not?
    bool mayReach(bool paid, QByteArrayView host, int port, bool tunnel) const;
    // The gateway itself, and the provider service, whose pages reach the gateway's own paths.
    bool isLocalHost(QByteArrayView host) const;
    // The gateway itself and its LAN are no upstream: otherwise any client could reach services
    // that listen only on the gateway's loopback or on other hosts of the segment.
    bool forbiddenUpstream(const QHostAddress& address) const;
    // The gateway's own addresses change with its adapters; refreshed by housekeeping.
    void refreshOwnAddresses();

private:
    QByteArray gatewayHost_;
    quint32 lanNetwork_ = 0; // the gateway's /24
    bool allowLoopback_;
    QByteArray providerDomain_; // the provider host without a port, lower case
    QList<QByteArray> whitelist_;
    QList<QHostAddress> ownAddresses_;
};
