// The proxy auto-configuration script, byte for byte (LF line ends only).

#include "address/wpad_script.h"

#include <gtest/gtest.h>

TEST(WpadScript, IsTheFiveLinesExactly) {
    EXPECT_EQ(WpadScript(),
              QByteArray("function FindProxyForURL(url, host) {\n"
                         "if (url.substring(0, 5) == \"http:\" || url.substring(0, 6) == "
                         "\"https:\") \n"
                         "   return \"PROXY 192.168.11.1:8080; DIRECT\";\n"
                         "   return \"DIRECT\";\n"
                         "}\n"));
    EXPECT_EQ(WpadScript().size(), 177);
}
