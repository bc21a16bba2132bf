// Address and MAC texts: the forms that key client entries and name socket targets.

#include "common/hex_string.h"
#include "common/ip_format.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

TEST(IpFormat, DottedDecimalWithoutLeadingZeros) {
    const struct {
        const char* name;
        QByteArray raw;
        std::optional<QString> text;
    } rows[] = {
        {"empty value is the zero address", QByteArray(), QStringLiteral("0.0.0.0")},
        {"gateway address", bytes({192, 168, 11, 5}), QStringLiteral("192.168.11.5")},
        {"no filling to three digits", bytes({10, 0, 0, 1}), QStringLiteral("10.0.0.1")},
        {"all bits set", bytes({255, 255, 255, 255}), QStringLiteral("255.255.255.255")},
        {"only the first four bytes count", bytes({1, 2, 3, 4, 5}), QStringLiteral("1.2.3.4")},
        {"one byte is no address", bytes({192}), std::nullopt},
        {"three bytes are no address", bytes({192, 168, 11}), std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IpFormat(row.raw), row.text);
    }
}

TEST(HexString, TwoUpperCaseDigitsAndABlankPerByte) {
    EXPECT_EQ(HexString(QByteArray()), QString());
    EXPECT_EQ(HexString(bytes({10})), QStringLiteral("0A "));
    EXPECT_EQ(HexString(bytes({0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF})),
              QStringLiteral("00 0C 29 AB CD EF "));
    const QString text = HexString(everyByteValue());
    ASSERT_EQ(text.size(), 768);
    EXPECT_EQ(text.mid(0, 3), QStringLiteral("00 "));
    EXPECT_EQ(text.mid(127 * 3, 6), QStringLiteral("7F 80 "));
    EXPECT_EQ(text.right(3), QStringLiteral("FF "));
}
