#include "common/ip_format.h"

std::optional<QString> IpFormat(const QByteArray& ac) {
    if (ac.isEmpty())
        return QStringLiteral("0.0.0.0");
    if (ac.size() < 4)
        return std::nullopt;
    const auto byte = [&](int i) { return static_cast<unsigned char>(ac[i]); };
    return QStringLiteral("%1.%2.%3.%4").arg(byte(0)).arg(byte(1)).arg(byte(2)).arg(byte(3));
}
