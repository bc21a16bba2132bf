#include "proxy/portal_replies.h"

#include <QUrl>

namespace PortalReplies {

QByteArray configurationDocument(const QByteArray& script) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           QByteArray::number(script.size()) + "\r\n\r\n" + script;
}

QByteArray notFound() {
    return "HTTP/1.1 404 Object Not Found\nContent-Type: text/html\nContent-Length: 0\n\n";
}

QByteArray purchaseUrl(const QString& providerOrigin, const QString& providerId,
                       const QString& clientMac) {
    return providerOrigin.toUtf8() +
           "/gateway/purchasing.asp?id=" + QUrl::toPercentEncoding(providerId) +
           "&mac=" + clientMac.toLatin1();
}

QByteArray purchasePage(const QString& providerOrigin, const QString& providerId,
                        const QString& clientMac) {
    return "<html><head><meta http-equiv=\"refresh\" content=\"0; URL=" +
           purchaseUrl(providerOrigin, providerId, clientMac) + "\"></head><body> </body></html>";
}

QByteArray captiveRedirect(const QByteArray& url) {
    return "HTTP/1.1 302 Found\r\nLocation: " + url +
           "\r\nCache-Control: no-store\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

QByteArray purchaseRedirect(const QByteArray& page) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-cache\r\n"
           "Content-Length: " +
           QByteArray::number(page.size()) + "\r\n\r\n" + page;
}

QByteArray networkAuthenticationRequired(const QByteArray& page) {
    return "HTTP/1.1 511 Network Authentication Required\r\nContent-Type: text/html\r\n"
           "Cache-Control: no-cache\r\nContent-Length: " +
           QByteArray::number(page.size()) + "\r\n\r\n" + page;
}

QByteArray tunnelOpen() {
    return "HTTP/1.0 200 Connection established\nContent-Length: 0\n\n";
}

QByteArray headTooLarge() {
    return "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n\r\n";
}

QByteArray badRequest() {
    return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
}

} // namespace PortalReplies
