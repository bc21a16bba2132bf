// The per-client captive-portal API address of option 114; see captive_portal_url.h.

#include "address/captive_portal_url.h"

#include <QUrl>

namespace {

// Constant-initialised, so statics of other files may call in here while they are set up.
constexpr QLatin1String kIdPlaceholder("{id}");
constexpr QLatin1String kMacPlaceholder("{mac}");

// The ID is filled in first and percent-encoded, so an ID holding "{mac}" stays an ID.
QByteArray filled(const QString& urlTemplate, const QString& providerId, const QByteArray& mac) {
    QString url = urlTemplate;
    url.replace(kIdPlaceholder, QString::fromLatin1(QUrl::toPercentEncoding(providerId)));
    url.replace(kMacPlaceholder, QString::fromLatin1(mac));
    return url.toUtf8();
}

} // namespace

namespace CaptivePortalUrl {

QString problem(const QString& urlTemplate, const QString& providerId) {
    if (urlTemplate.isEmpty())
        return {};
    for (const QChar c : urlTemplate) {
        if (c.unicode() <= u' ' || c.unicode() >= 0x7F)
            return QStringLiteral("it may hold only printable ASCII characters, without blanks");
    }
    if (!urlTemplate.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive))
        return QStringLiteral("it is not an https URL, and devices ignore any other");
    if (!urlTemplate.contains(kMacPlaceholder))
        return QStringLiteral("it has no {mac}, so every client would get the same URL");
    const QByteArray url = filled(urlTemplate, providerId, QByteArray(12, '0'));
    if (url.contains('{') || url.contains('}'))
        return QStringLiteral("it has a placeholder other than {id} and {mac}");
    const QUrl parsed(QString::fromLatin1(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return QStringLiteral("it is not a URL with a host name");
    if (url.size() > kMaxSize) {
        // One pass: an ID holding "%2" must stay as typed.
        return QStringLiteral("with the provider ID \"%1\" filled in it is %2 bytes long, "
                              "and a DHCP reply takes at most %3")
            .arg(providerId, QString::number(url.size()), QString::number(kMaxSize));
    }
    return {};
}

QByteArray forClient(const QString& urlTemplate, const QString& providerId,
                     const QByteArray& hardwareAddress) {
    if (urlTemplate.isEmpty() || hardwareAddress.size() != 6)
        return {};
    const QByteArray url = filled(urlTemplate, providerId, hardwareAddress.toHex().toUpper());
    return url.size() <= kMaxSize ? url : QByteArray();
}

} // namespace CaptivePortalUrl
