#pragma once
// An IPv4 address as the logic holds it: one 32-bit value in host byte order. Its dotted text
// and its four wire bytes are made only for display and the wire.

#include <QByteArray>
#include <QByteArrayView>
#include <QHashFunctions>
#include <QString>
#include <optional>

class Ipv4Address {
public:
    constexpr Ipv4Address() = default;
    constexpr explicit Ipv4Address(quint32 value) : value_(value) {}
    constexpr Ipv4Address(int a, int b, int c, int d)
        : value_(quint32(a & 0xFF) << 24 | quint32(b & 0xFF) << 16 | quint32(c & 0xFF) << 8 |
                 quint32(d & 0xFF)) {}
    // Four bytes in network order; nothing for any other length.
    static std::optional<Ipv4Address> fromBytes(QByteArrayView bytes);
    // Dotted decimal; nothing for anything else.
    static std::optional<Ipv4Address> fromText(const QString& text);

    constexpr quint32 value() const { return value_; }
    QByteArray bytes() const;
    QString text() const;

    friend constexpr bool operator==(Ipv4Address, Ipv4Address) = default;

private:
    quint32 value_ = 0;
};

inline size_t qHash(Ipv4Address address, size_t seed = 0) {
    return qHash(address.value(), seed);
}
