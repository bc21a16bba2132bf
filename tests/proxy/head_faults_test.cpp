// Request heads refused before anything goes upstream, and where a request goes: what an
// origin might frame or route otherwise than the proxy does is never forwarded.

#include "proxy/access_policy.h"
#include "proxy/head_faults.h"
#include "proxy/request_head.h"

#include <gtest/gtest.h>

TEST(HeadFaults, AmbiguousFramingAndStrayBytesAreFaults) {
    using F = HeadFault;
    const struct {
        const char* name;
        QByteArray head;
        HeadFault fault;
    } rows[] = {
        {"plain GET", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", F::None},
        {"LF-only, stray line end before the request line", "\nGET / HTTP/1.1\nHost: a\n\n",
         F::None},
        {"one length, repeated alike",
         "POST / HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 5"
         "\r\n\r\n",
         F::None},
        {"chunked last", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n", F::None},
        {"bytes above 127 in a value", "GET / HTTP/1.1\r\nX: \xE9t\xE9\r\n\r\n", F::None},
        {"tab inside a value", "GET / HTTP/1.1\r\nX: a\tb\r\n\r\n", F::None},
        {"NUL in the Host value", QByteArray("GET / HTTP/1.1\r\nHost: 10.0.0.1\0.a\r\n\r\n", 37),
         F::ControlByte},
        {"NUL in the request line", QByteArray("GET /\0 HTTP/1.1\r\n\r\n", 19), F::ControlByte},
        {"bare CR inside a line", "GET / HTTP/1.1\r\nX: a\rHost: b\r\n\r\n", F::ControlByte},
        {"DEL", "GET / HTTP/1.1\r\nX: \x7F\r\n\r\n", F::ControlByte},
        {"obs-fold", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n", F::FoldedLine},
        {"blank before the colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", F::BlankBeforeColon},
        {"tab before the colon", "POST / HTTP/1.1\r\nContent-Length\t: 3\r\n\r\n",
         F::BlankBeforeColon},
        {"line without a colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", F::MalformedLine},
        {"empty name", "GET / HTTP/1.1\r\n: a\r\n\r\n", F::MalformedLine},
        {"name that is no token", "GET / HTTP/1.1\r\nHo\"st: a\r\n\r\n", F::MalformedLine},
        {"two Host lines", "GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", F::SecondHost},
        {"length and chunked",
         "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: "
         "chunked\r\n\r\n",
         F::LengthWithCoding},
        {"two lengths that differ",
         "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 30"
         "\r\n\r\n",
         F::DifferingLengths},
        {"chunked, identity", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, identity\r\n\r\n",
         F::UnchunkedCoding},
        {"identity alone", "POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n",
         F::UnchunkedCoding},
        {"two coding lines",
         "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: "
         "chunked\r\n\r\n",
         F::UnchunkedCoding},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(requestHeadFault(row.head), row.fault);
    }
}

TEST(HeadFaults, TheRequestTargetDecidesWhereARequestGoes) {
    const struct {
        const char* name;
        QByteArray head;
        QByteArray host;
        int port;
        QByteArray hostLine; // the authority the Host line must name; "" when kept
    } rows[] = {
        {"Host line", "GET / HTTP/1.1\r\nHost: A.test:81\r\n\r\n", "a.test", 81, ""},
        {"absolute address wins over Host",
         "GET http://www.Example.test/x HTTP/1.1\r\nHost: provider.test\r\n\r\n",
         "www.example.test", 80, "www.Example.test"},
        {"absolute address with port", "GET http://b.test:8081?q HTTP/1.1\r\n\r\n", "b.test", 8081,
         "b.test:8081"},
        {"CONNECT ignores Host",
         "CONNECT www.example.test:8081 HTTP/1.1\r\nHost: provider.test:8081"
         "\r\n\r\n",
         "www.example.test", 8081, ""},
        {"CONNECT without a port", "CONNECT a.test HTTP/1.1\r\nHost: a.test:443\r\n\r\n", "a.test",
         0, ""},
        {"CONNECT IPv6 literal", "CONNECT [::1]:443 HTTP/1.1\r\n\r\n", "[::1]", 443, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Destination destination = requestDestination(row.head);
        EXPECT_EQ(destination.host, row.host);
        EXPECT_EQ(destination.port, row.port);
        EXPECT_EQ(destination.fromTarget, !row.hostLine.isEmpty());
        EXPECT_EQ(destination.authority, row.hostLine);
    }
}

TEST(HeadFaults, OnlyNamesAndLiteralsAreHosts) {
    for (const QByteArray& host :
         {QByteArray("provider.test"), QByteArray("a-b_c.9.TEST"), QByteArray("10.99.0.2"),
          QByteArray("[::1]"), QByteArray("[fe80::1:2]"), QByteArray(253, 'a')})
        EXPECT_TRUE(isValidHost(host)) << host.constData();
    for (const QByteArray& host :
         {QByteArray("10.99.0.77\0.provider.test", 25), QByteArray("a b"), QByteArray("a/b"),
          QByteArray("a\\b"), QByteArray("user@provider.test"), QByteArray("a\tb"), QByteArray(),
          QByteArray(254, 'a'), QByteArray("[::1"), QByteArray("[::g]"), QByteArray("a%2eb")})
        EXPECT_FALSE(isValidHost(host)) << host.toPercentEncoding().constData();
}

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
}
