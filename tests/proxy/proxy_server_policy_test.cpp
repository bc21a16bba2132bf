// Upstreams the deployed proxy never connects to: the gateway itself and its LAN, whether named
// by address or by a name that resolves there.

#include "support/http_origin.h"
#include "support/proxy_harness.h"

#include "proxy/portal_replies.h"

#include <gtest/gtest.h>

using namespace proxytest;

TEST(ProxyServerPolicy, TheGatewayAndItsLanAreNoUpstream) {
    ProxyRig rig(ProxyServer::Options{false, ProxyServer::kMaxSlots});
    rig.registerClient(true);
    HttpOrigin origin; // on loopback: a service only the gateway itself should reach
    origin.route("/secret", HttpOrigin::ok("secret"));
    const QByteArray port = QByteArray::number(origin.port());
    const QByteArray targets[] = {
        "GET /secret HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n",
        "GET /secret HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", // a name for loopback
        "GET http://127.7.7.7:" + port + "/secret HTTP/1.0\r\n\r\n",
        "CONNECT 127.0.0.1:" + port + " HTTP/1.1\r\n\r\n",
        "GET /x HTTP/1.1\r\nHost: 127.0.0.55\r\n\r\n",  // the segment of the gateway (127.0.0.1)
        "GET /x HTTP/1.1\r\nHost: 169.254.1.1\r\n\r\n", // link-local
    };
    for (const QByteArray& request : targets) {
        SCOPED_TRACE(request.toStdString());
        TestClient client(rig.port);
        EXPECT_EQ(client.exchange(request), PortalReplies::notFound());
    }
    EXPECT_TRUE(origin.requests.isEmpty());
}
