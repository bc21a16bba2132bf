// The web proxy over loopback where the registry, the neighbour table and the rest of the
// gateway answer: its own pages, who is refused how, and upstreams it never connects to.

#include "proxy/portal_replies.h"
#include "support/proxy_harness.h"

#include <gtest/gtest.h>

using namespace proxytest;

namespace {

// A neighbour table that names one hardware address for every host.
struct OneNeighbour : NeighbourTable {
    QByteArray mac;
    QByteArray hardwareAddressOf(quint32) const override { return mac; }
};

class ProxyServerPages : public ::testing::Test {
protected:
    ProxyRig rig;
    RawPeer origin;
};

TEST_F(ProxyServerPages, APurchaseNoticeCountsAndARefreshReloadsTheProviderPage) {
    TestClient notice(rig.port);
    EXPECT_EQ(notice.exchange("GET /purchase-notice HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
              PortalReplies::notFound());
    EXPECT_EQ(rig.proxy.purchaseCount, 1);
    rig.loader.loading = false;
    TestClient refresh(rig.port, kUnknownAddress);
    EXPECT_EQ(refresh.exchange("GET /refresh HTTP/1.1\r\n\r\n"), PortalReplies::notFound());
    EXPECT_EQ(rig.loader.navigations.size(), 1u);
    EXPECT_EQ(rig.proxy.purchaseCount, 1);
}

// A client is known by its address and the hardware address the neighbour table holds for it:
// a host that took a paid client's address is a stranger.
TEST_F(ProxyServerPages, AccessFollowsTheRegistryAndTheNeighbourTable) {
    origin.answerHeads(ProxyRig::ok("origin page"), true);
    const QByteArray refused511 = "HTTP/1.1 511 Network Authentication Required\r\nContent-Type: "
                                  "text/html\r\nCache-Control: no-cache\r\nContent-Length: " +
                                  QByteArray::number(rig.purchasePage().size()) + "\r\n\r\n" +
                                  rig.purchasePage();
    // Where the client is (kPaidAddress is registered), paid, the hardware address the neighbour
    // table names for it, a tunnel, the reply.
    const std::tuple<const char*, const char*, bool, QByteArray, bool, QByteArray> cases[] = {
        {"unknown client", kUnknownAddress, false, "", false, PortalReplies::notFound()},
        {"unpaid client", kPaidAddress, false, "", false, rig.purchaseRedirect()},
        {"unpaid client, tunnel", kPaidAddress, false, "", true, refused511},
        {"paid client at its own hardware address", kPaidAddress, true,
         QByteArray::fromHex("000C29ABCDEF"), false, ProxyRig::ok("origin page")},
        {"another host at a paid client's address", kPaidAddress, true,
         QByteArray::fromHex("0050560102AB"), false, PortalReplies::notFound()},
    };
    rig.registerClient(false);
    OneNeighbour neighbours;
    rig.proxy.setNeighbourTable(&neighbours);
    for (const auto& [name, from, paid, neighbourMac, tunnel, reply] : cases) {
        SCOPED_TRACE(name);
        if (paid)
            rig.allowed.add(QByteArray::fromHex("000C29ABCDEF"), QDateTime());
        neighbours.mac = neighbourMac;
        const QByteArray host = "127.0.0.1:" + QByteArray::number(origin.port());
        TestClient client(rig.port, from);
        EXPECT_EQ(client.exchange(tunnel ? "CONNECT " + host + " HTTP/1.1\r\n\r\n"
                                         : "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"),
                  reply);
    }
    EXPECT_EQ(origin.sockets.size(), 1u);
}

} // namespace

// The gateway itself is never an upstream, whether named by address or by a name that
// resolves there (which addresses are forbidden, the policy's own table says).
TEST(ProxyServerPolicy, TheGatewayIsNoUpstreamByAddressOrName) {
    ProxyRig rig(ProxyServer::Options{false, ProxyServer::kMaxSlots});
    rig.registerClient(true);
    RawPeer origin;
    origin.answerHeads(ProxyRig::ok("secret"), true);
    const QByteArray port = QByteArray::number(origin.port());
    for (const QByteArray& request :
         {"GET /secret HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n",
          "GET /secret HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n",
          "CONNECT 127.0.0.1:" + port + " HTTP/1.1\r\n\r\n"}) {
        SCOPED_TRACE(request.toStdString());
        TestClient client(rig.port);
        EXPECT_EQ(client.exchange(request), PortalReplies::notFound());
    }
    EXPECT_TRUE(origin.sockets.empty());
}
