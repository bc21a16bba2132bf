#include "platform/dnsmasq_log.h"

#include <QList>

namespace {

// Printable and bounded: the text ends up in a message box and on the window.
QString readable(const QByteArray& text) {
    QString result = QString::fromUtf8(text.left(200)).trimmed();
    for (QChar& c : result) {
        if (!c.isPrint())
            c = QLatin1Char(' ');
    }
    return result;
}

} // namespace

bool dnsmasqStartedLine(const QByteArray& line) {
    return line.startsWith("dnsmasq[") && line.contains("]: started, version ");
}

QString dnsmasqFailureReason(const QByteArray& lines, const QHostAddress& address, quint16 port) {
    // The fatal message is the one without a PID; running messages carry "dnsmasq[PID]:".
    QByteArray fatal;
    for (const QByteArray& line : lines.split('\n')) {
        if (line.startsWith("dnsmasq: "))
            fatal = line.mid(9).trimmed();
    }
    if (fatal.isEmpty())
        return QString();
    const QString where = QStringLiteral("port %1 on %2").arg(port).arg(address.toString());
    if (fatal.startsWith("failed to create listening socket")) {
        if (fatal.endsWith("Address already in use"))
            return where + QStringLiteral(" is in use");
        if (fatal.endsWith("Cannot assign requested address"))
            return QStringLiteral("no adapter holds %1").arg(address.toString());
        if (fatal.endsWith("Permission denied"))
            return QStringLiteral("dnsmasq may not open %1 (it needs cap_net_bind_service)")
                .arg(where);
    }
    return QStringLiteral("dnsmasq could not start: ") + readable(fatal);
}
