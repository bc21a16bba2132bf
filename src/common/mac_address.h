#pragma once
// An Ethernet hardware address: six bytes. Texts are made only for display and URLs.

#include <QByteArray>
#include <QByteArrayView>
#include <QHashFunctions>
#include <QString>
#include <array>
#include <optional>

class MacAddress {
public:
    static constexpr int kSize = 6;
    MacAddress() = default;
    // Exactly six bytes; nothing for any other length.
    static std::optional<MacAddress> fromBytes(QByteArrayView bytes);

    QByteArray bytes() const;
    // Twelve upper-case hex digits, "000C29ABCDEF": how purchase and portal addresses name it.
    QByteArray hexDigits() const { return bytes().toHex().toUpper(); }

    friend bool operator==(const MacAddress&, const MacAddress&) = default;

private:
    std::array<quint8, kSize> octets_{};
};

inline size_t qHash(const MacAddress& mac, size_t seed = 0) {
    return qHash(QByteArrayView(mac.bytes()), seed);
}
