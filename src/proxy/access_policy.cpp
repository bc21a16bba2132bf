#include "proxy/access_policy.h"

#include "common/deployment.h"

#include <QNetworkInterface>
#include <algorithm>

namespace {

constexpr quint32 kLanMask = 0xFFFFFF00;

bool domainMatches(QByteArrayView host, const QByteArray& domain) {
    if (domain.isEmpty() || host.size() < domain.size())
        return false;
    if (host.size() == domain.size())
        return host.compare(domain, Qt::CaseInsensitive) == 0;
    const QByteArrayView tail = host.sliced(host.size() - domain.size());
    return host[host.size() - domain.size() - 1] == '.' &&
           tail.compare(domain, Qt::CaseInsensitive) == 0;
}

} // namespace

AccessPolicy::AccessPolicy(QByteArray gatewayHost, bool allowLoopback)
    : gatewayHost_(std::move(gatewayHost)), allowLoopback_(allowLoopback),
      ownAddresses_(QNetworkInterface::allAddresses()) {
    lanNetwork_ = QHostAddress(QString::fromLatin1(gatewayHost_)).toIPv4Address() & kLanMask;
    providerDomain_ = Deployment::providerHost().toLatin1().toLower();
    const qsizetype colon = providerDomain_.indexOf(':');
    if (colon >= 0)
        providerDomain_.truncate(colon);
    for (const QString& domain : Deployment::whitelist())
        whitelist_ << domain.toLatin1();
}

bool AccessPolicy::servesPeer(quint32 ipv4) const {
    return (lanNetwork_ != 0 && (ipv4 & kLanMask) == lanNetwork_) || (ipv4 >> 24) == 127;
}

bool AccessPolicy::isWhitelisted(QByteArrayView host) const {
    return std::any_of(whitelist_.begin(), whitelist_.end(),
                       [&](const QByteArray& domain) { return domainMatches(host, domain); });
}

bool AccessPolicy::mayReach(bool paid, QByteArrayView host, int port, bool tunnel) const {
    if (paid)
        return true;
    return isWhitelisted(host) && (!tunnel || port == kOpenTunnelPort);
}

bool AccessPolicy::isLocalHost(QByteArrayView host) const {
    return host == gatewayHost_ || domainMatches(host, providerDomain_);
}

bool AccessPolicy::forbiddenUpstream(const QHostAddress& address) const {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (address.isLoopback() || (isV4 && (v4 >> 24) == 127))
        return !allowLoopback_;
    if (address.isNull() || address.isLinkLocal() || address.isMulticast() ||
        address.isBroadcast() || address == QHostAddress::AnyIPv4 ||
        address == QHostAddress::AnyIPv6)
        return true;
    if (isV4 && (((v4 & kLanMask) == lanNetwork_ && lanNetwork_ != 0) || (v4 >> 16) == 0xA9FE))
        return true; // the LAN, or 169.254.0.0/16
    return std::any_of(ownAddresses_.begin(), ownAddresses_.end(),
                       [&](const QHostAddress& own) { return own.isEqual(address); });
}

void AccessPolicy::refreshOwnAddresses() {
    ownAddresses_ = QNetworkInterface::allAddresses();
}
