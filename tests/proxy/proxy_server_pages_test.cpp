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
        {"the script", kUnknownAddress, "GET /wpad HTTP/1.1\r\n\r\n", wpadReply(), 0, 0},
        {"a purchase notice counts", kPaidAddress,
         "GET /purchase-notice HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", notFoundReply(), 1, 0},
        {"a refresh reloads the provider page", kUnknownAddress, "GET /refresh HTTP/1.1\r\n\r\n",
         notFoundReply(), 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double purchasesBefore = rig.proxy.purchaseCount;
        const size_t navigationsBefore = rig.loader.navigations.size();
        rig.loader.loading = false;
        TestClient client(rig.port, c.from);
        EXPECT_EQ(client.exchange(c.request), c.reply);
        EXPECT_TRUE(client.closed);
        EXPECT_EQ(rig.proxy.purchaseCount - purchasesBefore, c.purchases);
        EXPECT_EQ(rig.loader.navigations.size() - navigationsBefore, c.navigations);
    }
    EXPECT_EQ(origin.connections, 0);
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
        {"unknown client, subdomain of a whitelisted domain", kUnknownAddress, false, "127.0.0.1",
         forwarded},
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

} // namespace

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
