#include "common/deployment.h"

namespace Deployment {

namespace {

struct ProviderSetting {
    QString scheme;
    QString host;
};

ProviderSetting providerSetting() {
    QString host = qEnvironmentVariable("TARNIX_PROVIDER_HOST").trimmed();
    QString scheme = QStringLiteral("http");
    for (const QString& known : {QStringLiteral("https"), QStringLiteral("http")}) {
        const QString prefix = known + QStringLiteral("://");
        if (host.startsWith(prefix, Qt::CaseInsensitive)) {
            scheme = known;
            host = host.mid(prefix.size());
            break;
        }
    }
    while (host.endsWith(QLatin1Char('/')))
        host.chop(1);
    if (host.isEmpty())
        host = QStringLiteral("www.tarnix-provider.example");
    return {scheme, host};
}

} // namespace

QString providerHost() {
    return providerSetting().host;
}

QString providerScheme() {
    return providerSetting().scheme;
}

QString providerOrigin() {
    const ProviderSetting setting = providerSetting();
    return setting.scheme + QStringLiteral("://") + setting.host;
}

QStringList whitelist() {
    const QString configured = qEnvironmentVariable("TARNIX_WHITELIST");
    if (configured.trimmed().isEmpty()) {
        // The provider's own domain, its payment processor, its statistics and its hosting.
        return {QStringLiteral("tarnix-provider.example"), QStringLiteral("payments.example"),
                QStringLiteral("analytics.example"), QStringLiteral("hosting.example")};
    }
    QStringList domains;
    for (const QString& part : configured.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString domain = part.trimmed().toLower();
        if (!domain.isEmpty())
            domains << domain;
    }
    return domains;
}

QString captivePortalUrl() {
    return qEnvironmentVariable("TARNIX_CAPPORT_URL").trimmed();
}

} // namespace Deployment
