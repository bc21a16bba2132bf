// The value types' conversions to and from bytes and text.

#include "common/ipv4_address.h"
#include "common/mac_address.h"

#include <QStringList>

std::optional<Ipv4Address> Ipv4Address::fromBytes(QByteArrayView bytes) {
    if (bytes.size() != 4)
        return std::nullopt;
    quint32 value = 0;
    for (const char byte : bytes)
        value = (value << 8) | static_cast<unsigned char>(byte);
    return Ipv4Address(value);
}

std::optional<Ipv4Address> Ipv4Address::fromText(const QString& text) {
    // Four decimals only: the shorter forms inet_aton takes ("192.168.11") are no address here.
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 value = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint byte = part.toUInt(&ok);
        if (!ok || part.size() > 3 || byte > 255 || !part.front().isDigit())
            return std::nullopt;
        value = (value << 8) | byte;
    }
    return Ipv4Address(value);
}

QByteArray Ipv4Address::bytes() const {
    const char out[] = {char(value_ >> 24), char(value_ >> 16), char(value_ >> 8), char(value_)};
    return QByteArray(out, 4);
}

QString Ipv4Address::text() const {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(value_ >> 24)
        .arg((value_ >> 16) & 0xFF)
        .arg((value_ >> 8) & 0xFF)
        .arg(value_ & 0xFF);
}

std::optional<MacAddress> MacAddress::fromBytes(QByteArrayView bytes) {
    if (bytes.size() != kSize)
        return std::nullopt;
    MacAddress mac;
    for (int i = 0; i < kSize; ++i)
        mac.octets_[size_t(i)] = static_cast<quint8>(bytes[i]);
    return mac;
}

QByteArray MacAddress::bytes() const {
    return QByteArray(reinterpret_cast<const char*>(octets_.data()), kSize);
}
