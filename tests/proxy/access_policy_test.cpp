// Who the proxy serves and where they may go, decided without sockets.

#include "proxy/access_policy.h"

#include <gtest/gtest.h>

TEST(AccessPolicyTest, WhoIsServedAndWhereTheyMayGo) {
    qputenv("TARNIX_WHITELIST", "provider.test,pay.test");
    qputenv("TARNIX_PROVIDER_HOST", "https://www.provider.test:8443");
    const AccessPolicy policy("192.168.11.1");
    qunsetenv("TARNIX_WHITELIST");
    qunsetenv("TARNIX_PROVIDER_HOST");

    EXPECT_TRUE(policy.servesPeer(0xC0A80B64));  // 192.168.11.100
    EXPECT_TRUE(policy.servesPeer(0x7F000001));  // the gateway itself
    EXPECT_FALSE(policy.servesPeer(0x0A630002)); // the Internet side
    EXPECT_FALSE(policy.servesPeer(0xC0A80C64)); // the next /24
    EXPECT_FALSE(policy.servesPeer(0));

    EXPECT_TRUE(policy.isLocalHost("192.168.11.1"));
    EXPECT_TRUE(policy.isLocalHost("shop.www.provider.test"));
    EXPECT_FALSE(policy.isLocalHost("provider.test"));

    const struct {
        const char* name;
        bool paid;
        QByteArray host;
        int port;
        bool tunnel;
        bool reach;
    } rows[] = {
        {"paid, anywhere", true, "example.test", 8081, false, true},
        {"paid, tunnel to any port", true, "example.test", 22, true, true},
        {"unpaid, whitelisted", false, "provider.test", 8081, false, true},
        {"unpaid, whitelisted subdomain in capitals", false, "WWW.Pay.Test", 80, false, true},
        {"unpaid, tunnel to 443 of a whitelisted host", false, "provider.test", 443, true, true},
        {"unpaid, tunnel to 22 of a whitelisted host", false, "provider.test", 22, true, false},
        {"unpaid, tunnel to 8081 of a whitelisted host", false, "pay.test", 8081, true, false},
        {"unpaid, look-alike", false, "evilprovider.test", 80, false, false},
        {"unpaid, domain in front", false, "provider.test.evil", 80, false, false},
        {"unpaid, elsewhere", false, "example.test", 443, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(policy.mayReach(row.paid, row.host, row.port, row.tunnel), row.reach);
    }

    // The gateway itself and its LAN are never an upstream, named by any address.
    for (const char* forbidden : {"192.168.11.100", "192.168.11.1", "127.0.0.1", "127.7.7.7", "::1",
                                  "169.254.1.1", "0.0.0.0", "224.0.0.1", "fe80::1"})
        EXPECT_TRUE(policy.forbiddenUpstream(QHostAddress(QString::fromLatin1(forbidden))))
            << forbidden;
    for (const char* allowed : {"10.99.0.2", "192.168.12.1", "2001:db8::1"})
        EXPECT_FALSE(policy.forbiddenUpstream(QHostAddress(QString::fromLatin1(allowed))))
            << allowed;
}
