#pragma once
// The replies the proxy composes itself: the configuration script, the not-found answer, the
// purchase redirect for clients that have not bought access, and the tunnel-open line.

#include <QByteArray>
#include <QString>

namespace PortalReplies {

QByteArray configurationDocument(const QByteArray& script);
QByteArray notFound();
// The page that sends a browser to the provider's purchase page for this client; providerOrigin
// is the provider's scheme and host ("http://host:port").
QByteArray purchasePage(const QString& providerOrigin, const QString& providerId,
                        const QString& clientMac);
// Where the provider sells this client its access.
QByteArray purchaseUrl(const QString& providerOrigin, const QString& providerId,
                       const QString& clientMac);
// A request captured from a device without proxy settings that is refused: a redirect to the
// purchase page, which every system's portal detection recognises and opens for sign-in.
QByteArray captiveRedirect(const QByteArray& url);
// A plain request that is refused: the purchase page as a 200, as browsers display it.
QByteArray purchaseRedirect(const QByteArray& page);
// A refused CONNECT: a 200 would tell the browser its tunnel is open.
QByteArray networkAuthenticationRequired(const QByteArray& page);
QByteArray tunnelOpen();
QByteArray headTooLarge();
// A head the proxy will not forward: a host that is no host name, or framing an origin might
// read otherwise.
QByteArray badRequest();

} // namespace PortalReplies
