// The proxy auto-configuration script, byte for byte.

#include "address/wpad_script.h"

#include <QList>

#include <gtest/gtest.h>

TEST(WpadScript, IsTheFiveLinesExactly) {
    const QByteArray script = WpadScript();
    EXPECT_EQ(script.size(), 177);
    EXPECT_FALSE(script.contains('\r'));
    const QList<QByteArray> lines = script.split('\n');
    ASSERT_EQ(lines.size(), 6); // five lines and the empty rest after the last LF
    EXPECT_EQ(lines[0], "function FindProxyForURL(url, host) {");
    EXPECT_EQ(lines[1],
              "if (url.substring(0, 5) == \"http:\" || url.substring(0, 6) == \"https:\") ");
    EXPECT_EQ(lines[2], "   return \"PROXY 192.168.11.1:8080; DIRECT\";");
    EXPECT_EQ(lines[3], "   return \"DIRECT\";");
    EXPECT_EQ(lines[4], "}");
    EXPECT_TRUE(lines[5].isEmpty());
}
