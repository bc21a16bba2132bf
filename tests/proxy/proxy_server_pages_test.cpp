// The web proxy's own pages, its access rules and the head rewrites, over loopback.

#include "address/wpad_script.h"
#include "support/http_origin.h"
#include "support/proxy_harness.h"

#include <gtest/gtest.h>

using namespace proxytest;

namespace {

QByteArray wpadReply() {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 177\r\n\r\n" +
           WpadScript();
}

class ProxyServerPages : public ::testing::Test {
protected:
    ProxyRig rig;
    HttpOrigin origin;
    QByteArray originHost() const { return "127.0.0.1:" + QByteArray::number(origin.port()); }
};

struct LocalPageCase {
    const char* name;
    const char* from;
    QByteArray request;
    QByteArray reply;
    int purchases;
    size_t navigations;
};

TEST_F(ProxyServerPages, GatewayAndProviderHostsServeTheLocalPagesThenClose) {
    const LocalPageCase cases[] = {
        {"wpad without any host", kUnknownAddress, "GET /wpad HTTP/1.1\r\n\r\n", wpadReply(), 0, 0},
        {"any path beginning /wpa, gateway host with a port", kUnknownAddress,
         "GET /wpad.dat HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", wpadReply(), 0, 0},
        {"wpad on a subdomain of the provider host", kPaidAddress,
         "GET /wpad HTTP/1.1\r\nHost: www.provider.test\r\n\r\n", wpadReply(), 0, 0},
        {"wpad by absolute address on the gateway", kUnknownAddress,
         "GET http://127.0.0.1/wpad HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", wpadReply(), 0, 0},
        {"purchase notice counts a purchase", kPaidAddress,
         "GET /purchase-notice HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", notFoundReply(), 1, 0},
        {"purchase notice on the provider host", kUnknownAddress,
         "GET /purchase-notice?x=1 HTTP/1.1\r\nHost: provider.test:80\r\n\r\n", notFoundReply(), 1,
         0},
        {"refresh reloads the provider page", kUnknownAddress, "GET /refresh HTTP/1.1\r\n\r\n",
         notFoundReply(), 0, 1},
    };
    for (const LocalPageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const double purchasesBefore = rig.proxy.PurchaseCount;
        const size_t navigationsBefore = rig.loader.navigations.size();
        rig.loader.loading = false;
        TestClient client(rig.port, c.from);
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.exchange(c.request), c.reply);
        EXPECT_TRUE(client.closed);
        EXPECT_EQ(rig.proxy.PurchaseCount - purchasesBefore, c.purchases);
        EXPECT_EQ(rig.loader.navigations.size() - navigationsBefore, c.navigations);
    }
    EXPECT_EQ(origin.connections, 0);
}

TEST_F(ProxyServerPages, LocalPathsOnAnyOtherHostAreForwarded) {
    rig.registerClient(true);
    origin.route("/purchase-history", HttpOrigin::ok("shop history"), false);
    origin.route("/wpad", HttpOrigin::ok("their wpad"), false);
    TestClient client(rig.port);
    ASSERT_TRUE(client.connected());
    const QByteArray host = "localhost:" + QByteArray::number(origin.port());
    client.send("GET /purchase-history HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(client.waitForEnd("shop history"));
    client.send("GET /wpad HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(client.waitForEnd("their wpad"));
    EXPECT_EQ(rig.proxy.PurchaseCount, 0);
    EXPECT_EQ(origin.requests.size(), 2);
    EXPECT_FALSE(client.closed);
}

struct AccessCase {
    const char* name;
    const char* from;
    bool registered;
    QByteArray method; // GET, or CONNECT
    QByteArray host;   // with "PORT" standing for the origin's port
    enum Outcome { NotFound, Redirect, Refused511, Forwarded } outcome;
};

TEST_F(ProxyServerPages, AccessFollowsRegistryAllowanceAndWhitelist) {
    // "0.0.1" makes 127.0.0.1 a subdomain of an open domain without any name lookup.
    const EnvGuard whitelist("TARNIX_WHITELIST", "localhost, 0.0.1");
    origin.route("/", HttpOrigin::ok("origin page"));
    const AccessCase cases[] = {
        {"unknown client, ordinary host", kUnknownAddress, false, "GET", "127.0.0.2:PORT",
         AccessCase::NotFound},
        {"unpaid client, ordinary host", kPaidAddress, true, "GET", "127.0.0.2:PORT",
         AccessCase::Redirect},
        {"unpaid client, tunnel", kPaidAddress, true, "CONNECT", "127.0.0.2:PORT",
         AccessCase::Refused511},
        {"unknown client, tunnel", kUnknownAddress, false, "CONNECT", "127.0.0.2:PORT",
         AccessCase::NotFound},
        {"unpaid client, whitelisted domain", kPaidAddress, true, "GET", "localhost:PORT",
         AccessCase::Forwarded},
        {"unknown client, whitelisted domain written in capitals", kUnknownAddress, false, "GET",
         "LocalHost:PORT", AccessCase::Forwarded},
        {"unknown client, subdomain of a whitelisted domain", kUnknownAddress, false, "GET",
         "127.0.0.1:PORT", AccessCase::Forwarded},
        {"look-alike with the domain in front", kPaidAddress, true, "GET", "localhost.evil:PORT",
         AccessCase::Redirect},
        {"look-alike with the domain behind a prefix", kPaidAddress, true, "GET",
         "notlocalhost:PORT", AccessCase::Redirect},
        {"look-alike of the numeric domain", kUnknownAddress, false, "GET", "127.0.0.11:PORT",
         AccessCase::NotFound},
    };
    for (const AccessCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.registered)
            rig.registerClient(false);
        const int connectionsBefore = origin.connections;
        QByteArray host = c.host;
        host.replace("PORT", QByteArray::number(origin.port()));
        TestClient client(rig.port, c.from);
        ASSERT_TRUE(client.connected());
        const QByteArray request = c.method == "CONNECT"
                                       ? "CONNECT " + host + " HTTP/1.1\r\n\r\n"
                                       : "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        const QByteArray reply = client.exchange(request);
        switch (c.outcome) {
        case AccessCase::NotFound:
            EXPECT_EQ(reply, notFoundReply());
            break;
        case AccessCase::Redirect:
            EXPECT_EQ(reply, rig.purchaseRedirect());
            break;
        case AccessCase::Refused511:
            EXPECT_EQ(reply, "HTTP/1.1 511 Network Authentication Required\r\nContent-Type: "
                             "text/html\r\nCache-Control: no-cache\r\nContent-Length: " +
                                 QByteArray::number(rig.purchasePage().size()) + "\r\n\r\n" +
                                 rig.purchasePage());
            break;
        case AccessCase::Forwarded:
            EXPECT_TRUE(reply.endsWith("origin page")) << reply.constData();
            break;
        }
        EXPECT_EQ(origin.connections - connectionsBefore, c.outcome == AccessCase::Forwarded);
    }
}

TEST_F(ProxyServerPages, AbsoluteAddressOfTheTargetBecomesAPath) {
    rig.registerClient(true);
    origin.route("/page", HttpOrigin::ok("page"));
    TestClient client(rig.port);
    ASSERT_TRUE(client.connected());
    const QByteArray host = originHost();
    client.exchange("GET http://" + host + "/page HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_EQ(origin.requests.size(), 1);
    EXPECT_EQ(origin.requests[0], "GET /page HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_TRUE(client.received.endsWith("page"));
}

TEST_F(ProxyServerPages, AbsoluteAddressWithoutHostLineIsTheTarget) {
    rig.registerClient(true);
    origin.route("/page", HttpOrigin::ok("page"));
    TestClient client(rig.port);
    ASSERT_TRUE(client.connected());
    client.exchange("GET http://" + originHost() + "/page HTTP/1.1\r\n\r\n");
    ASSERT_EQ(origin.requests.size(), 1);
    EXPECT_EQ(origin.requests[0], "GET /page HTTP/1.1\r\n\r\n");
}

// A head in three pieces goes upstream once, after the piece that ends it, with the two
// header names rewritten; the body, though it names them too, passes unchanged.
TEST_F(ProxyServerPages, HeadInPiecesIsForwardedOnceWithItsHeadersRewritten) {
    rig.registerClient(true);
    struct LineEndCase {
        const char* name;
        QByteArray eol;
    };
    for (const LineEndCase& c : {LineEndCase{"CR LF", "\r\n"}, LineEndCase{"LF only", "\n"}}) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        const QByteArray& n = c.eol;
        const QByteArray body = "If-Modified-Since: x" + n + "proxy-connection: y" + n;
        const QByteArray pieces[] = {
            "POST /form HTTP/1.1" + n + "Host: " + peer.hostAndPort() + n + "If-Modi",
            "fied-Since: Sat, 1 Jan 2000" + n + "PROXY-CONNECTION: keep-alive" + n,
            "Content-Length: " + QByteArray::number(body.size()) + n + n + body};
        TestClient client(rig.port);
        ASSERT_TRUE(client.connected());
        for (int i = 0; i < 2; ++i) {
            const double up = rig.proxy.UpMegabytes;
            client.send(pieces[i]);
            ASSERT_TRUE(waitUntil([&] { return rig.proxy.UpMegabytes > up; }));
        }
        EXPECT_EQ(peer.connections(), 0);
        client.send(pieces[2]);
        const QByteArray expected = "POST /form HTTP/1.1" + n + "Host: " + peer.hostAndPort() + n +
                                    "nothing1: Sat, 1 Jan 2000" + n + "Connection: keep-alive" + n +
                                    "Content-Length: " + QByteArray::number(body.size()) + n + n +
                                    body;
        ASSERT_TRUE(peer.waitForBytes(expected.size()));
        EXPECT_FALSE(waitUntil([&] { return peer.received[0].size() > expected.size(); }, 200));
        EXPECT_EQ(peer.received[0], expected);
        EXPECT_EQ(peer.connections(), 1);
    }
}

TEST_F(ProxyServerPages, RequestsWithoutAUsableTargetAreNotFound) {
    rig.registerClient(true);
    const QByteArray closedPort = QByteArray::number(RawPeer().port());
    struct Case {
        const char* name;
        QByteArray request;
    };
    const Case cases[] = {
        {"no host and no absolute address", "GET /index.html HTTP/1.1\r\n\r\n"},
        {"port 0", "GET / HTTP/1.1\r\nHost: localhost:0\r\n\r\n"},
        {"port 70000", "GET / HTTP/1.1\r\nHost: localhost:70000\r\n\r\n"},
        {"tunnel without a port", "CONNECT localhost HTTP/1.1\r\n\r\n"},
        {"unreachable server", "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + closedPort + "\r\n\r\n"},
        {"unreachable tunnel end", "CONNECT 127.0.0.1:" + closedPort + " HTTP/1.1\r\n\r\n"},
        {"not a method", "G{T / HTTP/1.1\r\nHost: localhost:80\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient client(rig.port);
        ASSERT_TRUE(client.connected());
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(client.exchange(c.request), notFoundReply());
        EXPECT_LT(timer.elapsed(), 1000);
    }
}

TEST_F(ProxyServerPages, HeadThatNeverEndsIsRefusedPast64KiB) {
    TestClient client(rig.port, kUnknownAddress);
    ASSERT_TRUE(client.connected());
    client.send("GET / HTTP/1.1\r\nHost: localhost\r\nX-Long: " + QByteArray(70 * 1024, 'a'));
    EXPECT_TRUE(client.waitClosed());
    client.received += client.socket.readAll();
    EXPECT_EQ(client.received,
              "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n\r\n");
}

} // namespace
