// Addresses as values and texts. (The LAN's own addresses show in every DHCP server test.)

#include "common/hex_string.h"
#include "common/ipv4_address.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

TEST(Ipv4Address, FourBytesOrDottedTextToAValueAndBack) {
    const struct {
        const char* name;
        QByteArray bytes;
        QString text;
        std::optional<quint32> value;
    } rows[] = {
        {"gateway address", bytes({192, 168, 11, 5}), "192.168.11.5", 0xC0A80B05},
        {"all bits set", bytes({255, 255, 255, 255}), "255.255.255.255", 0xFFFFFFFF},
        {"three bytes are no address", bytes({192, 168, 11}), "192.168.11", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto fromBytes = Ipv4Address::fromBytes(row.bytes);
        const auto fromText = Ipv4Address::fromText(row.text);
        ASSERT_EQ(fromBytes.has_value(), row.value.has_value());
        ASSERT_EQ(fromText.has_value(), row.value.has_value());
        if (!row.value)
            continue;
        EXPECT_EQ(fromBytes->value(), *row.value);
        EXPECT_EQ(*fromText, *fromBytes);
        EXPECT_EQ(fromBytes->bytes(), row.bytes);
        EXPECT_EQ(fromBytes->text(), row.text);
    }
}

TEST(HexString, TwoUpperCaseDigitsAndABlankPerByte) {
    EXPECT_EQ(HexString(QByteArray()), QString());
    EXPECT_EQ(HexString(bytes({10})), QStringLiteral("0A "));
    EXPECT_EQ(HexString(bytes({0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF})),
              QStringLiteral("00 0C 29 AB CD EF "));
}
