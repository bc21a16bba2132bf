// Hardware addresses as the client tree shows them. (IPv4 addresses as values and texts show in
// every DHCP server test.)

#include "common/hex_string.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

TEST(HexString, TwoUpperCaseDigitsAndABlankPerByte) {
    EXPECT_EQ(HexString(QByteArray()), QString());
    EXPECT_EQ(HexString(bytes({10})), QStringLiteral("0A "));
    EXPECT_EQ(HexString(bytes({0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF})),
              QStringLiteral("00 0C 29 AB CD EF "));
}
