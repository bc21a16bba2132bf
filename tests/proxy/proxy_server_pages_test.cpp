// The web proxy's own pages, its access rules and the head rewrites, over loopback.

#include "address/wpad_script.h"
#include "support/http_origin.h"
#include "support/proxy_harness.h"

#include <gtest/gtest.h>

using namespace proxytest;

namespace {

QByteArray wpadReply() {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           QByteArray::number(ProxyRig::pacScript().size()) + "\r\n\r\n" + ProxyRig::pacScript();
}

class ProxyServerPages : public ::testing::Test {
protected:
    ProxyRig rig;
    HttpOrigin origin;
    QByteArray originHost() const { return "127.0.0.1:" + QByteArray::number(origin.port()); }
};

TEST_F(ProxyServerPages, GatewayAndProviderHostsServeTheLocalPagesThenClose) {
    const struct {
        const char* name;
        const char* from;
        QByteArray request;
        QByteArray reply;
        int purchases;
        size_t navigations;
    } cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double purchasesBefore = rig.proxy.PurchaseCount;
        const size_t navigationsBefore = rig.loader.navigations.size();
        rig.loader.loading = false;
        TestClient client(rig.port, c.from);
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
    const QByteArray host = "localhost:" + QByteArray::number(origin.port());
    client.send("GET /purchase-history HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(client.waitForEnd("shop history"));
    client.send("GET /wpad HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(client.waitForEnd("their wpad"));
    EXPECT_EQ(rig.proxy.PurchaseCount, 0);
    EXPECT_EQ(origin.requests.size(), 2);
    EXPECT_FALSE(client.closed);
}

TEST_F(ProxyServerPages, AccessFollowsRegistryAllowanceAndWhitelist) {
    // "0.0.1" makes 127.0.0.1 a subdomain of an open domain without any name lookup.
    ProxyRig open({true, ProxyServer::kMaxSlots}, "localhost, 0.0.1");
    origin.route("/", HttpOrigin::ok("origin page"));
    const QByteArray forwarded = "origin page"; // the end of a forwarded reply
    const QByteArray refused511 = "HTTP/1.1 511 Network Authentication Required\r\nContent-Type: "
                                  "text/html\r\nCache-Control: no-cache\r\nContent-Length: " +
                                  QByteArray::number(open.purchasePage().size()) + "\r\n\r\n" +
                                  open.purchasePage();
    const struct {
        const char* name;
        const char* from; // kPaidAddress is registered, unpaid
        bool tunnel;
        const char* host;
        QByteArray reply;
    } cases[] = {
        {"unknown client, ordinary host", kUnknownAddress, false, "127.0.0.2", notFoundReply()},
        {"unpaid client, ordinary host", kPaidAddress, false, "127.0.0.2", open.purchaseRedirect()},
        {"unpaid client, tunnel", kPaidAddress, true, "127.0.0.2", refused511},
        {"unknown client, tunnel", kUnknownAddress, true, "127.0.0.2", notFoundReply()},
        {"unpaid client, whitelisted domain", kPaidAddress, false, "localhost", forwarded},
        {"unknown client, whitelisted domain written in capitals", kUnknownAddress, false,
         "LocalHost", forwarded},
        {"unknown client, subdomain of a whitelisted domain", kUnknownAddress, false, "127.0.0.1",
         forwarded},
        {"look-alike with the domain in front", kPaidAddress, false, "localhost.evil",
         open.purchaseRedirect()},
        {"look-alike with the domain behind a prefix", kPaidAddress, false, "notlocalhost",
         open.purchaseRedirect()},
        {"look-alike of the numeric domain", kUnknownAddress, false, "127.0.0.11", notFoundReply()},
    };
    open.registerClient(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int connectionsBefore = origin.connections;
        const QByteArray host = c.host + QByteArray(":") + QByteArray::number(origin.port());
        TestClient client(open.port, c.from);
        const QByteArray reply =
            client.exchange(c.tunnel ? "CONNECT " + host + " HTTP/1.1\r\n\r\n"
                                     : "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        if (c.reply == forwarded) {
            EXPECT_TRUE(reply.endsWith(forwarded)) << reply.constData();
            EXPECT_EQ(origin.connections, connectionsBefore + 1);
        } else {
            EXPECT_EQ(reply, c.reply);
            EXPECT_EQ(origin.connections, connectionsBefore);
        }
    }
}

// The request line's absolute address decides where a request goes; the Host line sent upstream
// is made to name it, so no origin is asked for one site on the strength of another.
TEST_F(ProxyServerPages, AbsoluteAddressOfTheTargetBecomesAPathAndItsHost) {
    rig.registerClient(true);
    origin.route("/page", HttpOrigin::ok("page"));
    const QByteArray host = originHost();
    const QByteArray sent = "GET /page HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    const struct {
        const char* name;
        QByteArray hostLine;
    } cases[] = {
        {"with its Host line", "Host: " + host + "\r\n"},
        {"without a Host line", ""},
        {"with the Host line of another site", "Host: localhost:1\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient client(rig.port);
        client.exchange("GET http://" + host + "/page HTTP/1.1\r\n" + c.hostLine + "\r\n");
        EXPECT_EQ(origin.requests.value(0), sent);
        EXPECT_TRUE(client.received.endsWith("page"));
        origin.requests.clear();
    }
}

// A head in three pieces goes upstream once, after the piece that ends it, with the two
// header names rewritten; the body, though it names them too, passes unchanged.
TEST_F(ProxyServerPages, HeadInPiecesIsForwardedOnceWithItsHeadersRewritten) {
    rig.registerClient(true);
    for (const QByteArray n : {"\r\n", "\n"}) {
        SCOPED_TRACE(n == "\n" ? "LF only" : "CR LF");
        RawPeer peer;
        const QByteArray body = "If-Modified-Since: x" + n + "proxy-connection: y" + n;
        const QByteArray pieces[] = {
            "POST /form HTTP/1.1" + n + "Host: " + peer.hostAndPort() + n + "If-Modi",
            "fied-Since: Sat, 1 Jan 2000" + n + "PROXY-CONNECTION: keep-alive" + n,
            "Content-Length: " + QByteArray::number(body.size()) + n + n + body};
        TestClient client(rig.port);
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

TEST_F(ProxyServerPages, RequestsWithoutAUsableTargetAreRefusedAtOnce) {
    rig.registerClient(true);
    const QByteArray closedPort = QByteArray::number(RawPeer().port());
    const struct {
        const char* name;
        QByteArray request;
        QByteArray reply;
    } cases[] = {
        {"no host and no absolute address", "GET /index.html HTTP/1.1\r\n\r\n", notFoundReply()},
        {"port 0", "GET / HTTP/1.1\r\nHost: localhost:0\r\n\r\n", notFoundReply()},
        {"port 70000", "GET / HTTP/1.1\r\nHost: localhost:70000\r\n\r\n", notFoundReply()},
        {"tunnel without a port", "CONNECT localhost HTTP/1.1\r\n\r\n", notFoundReply()},
        {"unreachable server", "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + closedPort + "\r\n\r\n",
         notFoundReply()},
        {"unreachable tunnel end", "CONNECT 127.0.0.1:" + closedPort + " HTTP/1.1\r\n\r\n",
         notFoundReply()},
        {"not a method", "G{T / HTTP/1.1\r\nHost: localhost:80\r\n\r\n", notFoundReply()},
        {"a head that never ends, past 64 KiB",
         "GET / HTTP/1.1\r\nHost: localhost\r\nX-Long: " + QByteArray(70 * 1024, 'a'),
         "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient client(rig.port);
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(client.exchange(c.request), c.reply);
        EXPECT_LT(timer.elapsed(), 1000);
    }
}

} // namespace

// Heads an origin might read otherwise, hosts that are no host names, and heads too long to
// hold: answered here, and nothing is resolved or connected.
TEST_F(ProxyServerPages, AmbiguousHeadsAreRefusedBeforeAnythingGoesUpstream) {
    rig.registerClient(true);
    origin.route("/", HttpOrigin::ok("page"));
    const QByteArray host = originHost();
    const QByteArray badRequest = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    const QByteArray tooLarge =
        "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n\r\n";
    const struct {
        const char* name;
        QByteArray request;
        QByteArray reply;
    } cases[] = {
        {"NUL inside the host",
         "GET / HTTP/1.1\r\nHost: 127.0.0.1" + QByteArray(1, '\0') + ".localhost\r\n\r\n",
         badRequest},
        {"CONNECT to a host with a slash",
         "CONNECT 127.0.0.1/x:" + QByteArray::number(origin.port()) + " HTTP/1.1\r\n\r\n",
         badRequest},
        {"length and chunked",
         "POST / HTTP/1.1\r\nHost: " + host +
             "\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n",
         badRequest},
        {"two Host lines", "GET / HTTP/1.1\r\nHost: " + host + "\r\nHost: " + host + "\r\n\r\n",
         badRequest},
        {"a head of 100 KiB arriving whole",
         "GET / HTTP/1.1\r\nHost: " + host + "\r\nX: " + QByteArray(100 * 1024, 'x') + "\r\n\r\n",
         tooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient client(rig.port);
        EXPECT_EQ(client.exchange(c.request), c.reply);
    }
    EXPECT_EQ(origin.connections, 0);
}

// A device without proxy settings, captured on its way to port 80: refused with the redirect
// that portal detection opens; once paid, a request without a Host line goes where the device
// sent it.
TEST_F(ProxyServerPages, CapturedRequestsGetTheSignInRedirectOrGoWhereTheDeviceSentThem) {
    rig.proxy.setOriginalDestination([this](qintptr) {
        return TcpListener::Destination{0x7F000001, origin.port()};
    });
    origin.route("/generate_204", "HTTP/1.1 204 No Content\r\n\r\n");
    rig.registerClient(false);
    TestClient unpaid(rig.port);
    EXPECT_EQ(unpaid.exchange("GET /generate_204 HTTP/1.1\r\nHost: probe.test\r\n\r\n"),
              "HTTP/1.1 302 Found\r\nLocation: "
              "http://provider.test/gateway/purchasing.asp?id=prov42&mac=000C29ABCDEF\r\n"
              "Cache-Control: no-store\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");

    rig.allowed.add(QByteArray::fromHex("000C29ABCDEF"), QDateTime());
    TestClient paid(rig.port);
    EXPECT_EQ(paid.exchange("GET /generate_204 HTTP/1.0\r\n\r\n"),
              "HTTP/1.1 204 No Content\r\n\r\n");
    EXPECT_EQ(origin.requests.value(0), "GET /generate_204 HTTP/1.0\r\n\r\n");
}
