#include "platform/dnsmasq_config.h"

#include <QRegularExpression>

bool isPlainDomainName(const QString& text) {
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]{0,62})$"));
    if (text.isEmpty() || text.size() > 253)
        return false;
    const QStringList labels = text.split(QLatin1Char('.'));
    for (const QString& part : labels) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return true;
}

QString dnsmasqConfiguration(const DnsmasqSettings& settings) {
    QStringList lines{
        QStringLiteral("# Written by Tarnix Gateway at each start of its name service."),
        // Supervised as a child: it stays in the foreground and its messages, the reason for a
        // failed start among them, come on standard error.
        QStringLiteral("keep-in-foreground"),
        QStringLiteral("log-facility=-"),
        // A full stderr pipe queues (then drops) messages instead of stalling the answers.
        QStringLiteral("log-async=25"),
        // Empty: no pid file. Without a dhcp-range there is no DHCP, TFTP, router advertisement
        // or lease file: the gateway serves addresses itself.
        QStringLiteral("pid-file="),
        QStringLiteral("port=%1").arg(settings.port),
        // This address alone, bound as such: nothing on the Internet side or loopback.
        QStringLiteral("listen-address=%1").arg(settings.listenAddress.toString()),
        QStringLiteral("bind-interfaces"),
        // The resolvers the gateway host itself uses, re-read when the file changes (an uplink
        // that takes its resolvers by DHCP), and names of its hosts file.
        QStringLiteral("resolv-file=/etc/resolv.conf"),
        // Names without a dot and reverse lookups of private ranges stay on the LAN: the
        // Internet's resolvers have no true answer for them.
        QStringLiteral("domain-needed"),
        QStringLiteral("bogus-priv"),
        QStringLiteral("cache-size=1000"),
        // At most this many queries wait for an upstream answer at once (dnsmasq's default,
        // stated): a client's flood or a resolver that never answers costs bounded memory, and
        // cached names are still answered meanwhile.
        QStringLiteral("dns-forward-max=150"),
        // Each TCP connection is a forked dnsmasq process: at most this many at once.
        QStringLiteral("max-tcp-connections=20"),
    };
    // One line a domain: no line grows past dnsmasq's line length whatever the whitelist.
    for (const QString& domain : settings.gardenDomains) {
        if (isPlainDomainName(domain))
            lines << QStringLiteral("nftset=/%1/4#inet#tarnix#garden").arg(domain);
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
