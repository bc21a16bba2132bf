#include "platform/neighbour_table.h"

#include "common/hex_string.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kCompleteFlag = 0x2;  // ATF_COM: the address has been resolved
constexpr int kPermanentFlag = 0x4; // ATF_PERM: set by hand

QByteArray hardwareBytes(const QByteArray& text) {
    const QList<QByteArray> parts = text.split(':');
    if (parts.size() != 6)
        return {};
    QByteArray raw;
    for (const QByteArray& part : parts) {
        if (part.size() != 2 || hexDigitValue(QChar(part[0])) < 0 ||
            hexDigitValue(QChar(part[1])) < 0)
            return {};
        raw.append(char(hexDigitValue(QChar(part[0])) * 16 + hexDigitValue(QChar(part[1]))));
    }
    return raw;
}

} // namespace

QByteArray arpTableHardwareAddress(const QByteArray& table, quint32 ipv4) {
    const QByteArray wanted = QHostAddress(ipv4).toString().toLatin1() + ' ';
    // "IP address  HW type  Flags  HW address  Mask  Device", one line a neighbour; only the
    // lines of the wanted address are split.
    qsizetype pos = 0;
    while (pos < table.size()) {
        qsizetype end = table.indexOf('\n', pos);
        if (end < 0)
            end = table.size();
        if (QByteArrayView(table).sliced(pos, end - pos).startsWith(wanted)) {
            const QList<QByteArray> fields = table.mid(pos, end - pos).simplified().split(' ');
            bool ok = false;
            const int flags = fields.size() >= 4 ? fields[2].toInt(&ok, 0) : 0;
            if (ok && (flags & (kCompleteFlag | kPermanentFlag))) {
                const QByteArray raw = hardwareBytes(fields[3]);
                if (!raw.isEmpty())
                    return raw;
            }
        }
        pos = end + 1;
    }
    return {};
}

QByteArray NeighbourTable::hardwareAddressOf(quint32 ipv4) const {
    // Read with plain calls: a proc file has no size to go by, and this runs per connection.
    const int fd = ::open("/proc/net/arp", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray table;
    char buffer[8192];
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        table.append(buffer, n);
    }
    ::close(fd);
    return arpTableHardwareAddress(table, ipv4);
}
