#include "common/deployment.h"

namespace Deployment {

QString providerHost() {
    const QString host = qEnvironmentVariable("TARNIX_PROVIDER_HOST").trimmed();
    return host.isEmpty() ? QStringLiteral("www.tarnix-provider.example") : host;
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

} // namespace Deployment
