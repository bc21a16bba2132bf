// The web proxy relaying for a paid client over loopback, where only sockets show it: flow
// control both ways, spliced and copied, the allowance checked again on a kept-alive upstream
// and withdrawn under open connections, and every way a stretch can end.

#include "platform/splice_pipe.h"
#include "proxy/portal_replies.h"
#include "support/proxy_harness.h"

#include <QDir>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace proxytest;

namespace {

QByteArray get(const QByteArray& hostAndPort, const QByteArray& path = "/") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + hostAndPort + "\r\n\r\n";
}

// Answers once a connection has sent exactly `after` bytes.
void answerAfter(RawPeer& peer, qsizetype after, const QByteArray& response) {
    peer.onData = [after, response](QTcpSocket* socket, const QByteArray& received) {
        if (received.size() == after)
            socket->write(response);
    };
}

// Ends a connection with a reset instead of a close.
void reset(QTcpSocket* socket) {
    const linger now{1, 0};
    ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                 sizeof now);
    socket->abort();
}

int openDescriptors() {
    return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}

class ProxyServerRelay : public ::testing::Test {
protected:
    void SetUp() override { rig.registerClient(true); }
    void TearDown() override { SplicePipe::capBudget(-1); }
    ProxyRig rig;
};

// An origin that does not read holds the upload back all the way to the client.
TEST_F(ProxyServerRelay, UploadToAnOriginThatDoesNotReadStaysBounded) {
    RawPeer peer;
    peer.paused = true;
    const QByteArray body = patternBytes(16 * 1024 * 1024, 3);
    const QByteArray request = "POST /up HTTP/1.1\r\nHost: " + peer.hostAndPort() +
                               "\r\nContent-Length: " + QByteArray::number(body.size()) +
                               "\r\n\r\n" + body;
    answerAfter(peer, request.size(), ProxyRig::ok("stored"));
    TestClient client(rig.port);
    client.send(request);
    ASSERT_TRUE(waitUntil([&] { return peer.sockets.size() == 1; }));
    qint64 maxQueued = 0;
    ASSERT_TRUE(waitForStall([&] { return client.socket.bytesToWrite(); },
                             [&] { maxQueued = std::max(maxQueued, rig.proxy.queuedBytes()); }));
    EXPECT_GT(client.socket.bytesToWrite(), 0);
    EXPECT_LT(maxQueued, 1024 * 1024);
    peer.resume();
    ASSERT_TRUE(client.waitForEnd("stored"));
    EXPECT_TRUE(peer.received[0] == request);
    EXPECT_EQ(qRound64(rig.proxy.upMegabytes * 1024000), request.size());
}

// A client that does not read holds a 64 MiB download back all the way to the origin, spliced
// through a pipe or copied when none is to be had; once it reads, every byte arrives.
TEST_F(ProxyServerRelay, DownloadToAClientThatDoesNotReadStaysBounded) {
    const QByteArray body = patternBytes(64 * 1024 * 1024, 5);
    for (const bool spliced : {true, false}) {
        SCOPED_TRACE(spliced ? "spliced" : "copied");
        SplicePipe::capBudget(spliced ? -1 : 0);
        RawPeer peer;
        const QByteArray request = get(peer.hostAndPort());
        const QByteArray response = ProxyRig::ok(body);
        answerAfter(peer, request.size(), response);
        TestClient client(rig.port, kPaidAddress, 64 * 1024);
        client.paused = true;
        client.send(request);
        ASSERT_TRUE(peer.waitForBytes(request.size()));
        qint64 maxQueued = 0;
        ASSERT_TRUE(
            waitForStall([&] { return peer.sockets[0]->bytesToWrite(); },
                         [&] { maxQueued = std::max(maxQueued, rig.proxy.queuedBytes()); }));
        EXPECT_GT(peer.sockets[0]->bytesToWrite(), 0); // nothing more leaves the origin
        EXPECT_LT(maxQueued, 1024 * 1024);             // the rest waits in the system's buffers
        client.paused = false;
        ASSERT_TRUE(waitUntil(
            [&] {
                client.received += client.socket.readAll();
                return client.received.size() >= response.size();
            },
            120000));
        EXPECT_TRUE(client.received == response);
    }
}

// Pipelined requests share one upstream, and each is checked: a withdrawn allowance stops the
// next one although the upstream is open.
TEST_F(ProxyServerRelay, AKeptAliveUpstreamStillChecksTheAllowance) {
    RawPeer origin;
    origin.answerHeads(ProxyRig::ok("page a"));
    const QByteArray request = get(origin.hostAndPort(), "/a");
    TestClient client(rig.port);
    client.send(request + request);
    ASSERT_TRUE(client.waitFor(2 * ProxyRig::ok("page a").size()));
    EXPECT_EQ(client.received, ProxyRig::ok("page a") + ProxyRig::ok("page a"));
    EXPECT_EQ(origin.sockets.size(), 1u);
    rig.allowed.clear();
    client.received.clear();
    client.send(request);
    ASSERT_TRUE(client.waitClosed());
    EXPECT_EQ(client.received, rig.purchaseRedirect());
    EXPECT_EQ(origin.received[0].count("\r\n\r\n"), 2);
}

// A body and a tunnel go through a pipe, or are copied when there is none to be had; a held
// small response is neither. Whether a server sends less or more than it declared, or resets,
// or a client resets, they end alike: the client has every byte the server's counter holds
// and is closed after them, the server is closed, and no pipe or descriptor is left.
TEST_F(ProxyServerRelay, StretchesCutShortOverrunOrResetEndAlikeSplicedOrCopied) {
    enum class End { ServerCloses, ServerResets, ClientResets };
    // A tunnel, the Content-Length of a response, the body or tunnel bytes the server sends
    // before it ends, how it ends.
    const std::tuple<const char*, bool, qsizetype, qsizetype, End> rows[] = {
        {"a held response cut short", false, 3000, 1000, End::ServerCloses},
        {"a body shorter than declared", false, 300000, 200000, End::ServerCloses},
        {"a body longer than declared", false, 200000, 300000, End::ServerCloses},
        {"a server reset in a body", false, 300000, 200000, End::ServerResets},
        {"a client reset in a body", false, 300000, 200000, End::ClientResets},
        {"a server reset in a tunnel", true, 0, 200000, End::ServerResets},
        {"a client reset in a tunnel", true, 0, 200000, End::ClientResets},
    };
    int descriptors = -1;
    for (const bool spliced : {true, false}) {
        SplicePipe::capBudget(spliced ? -1 : 0);
        for (const auto& [name, tunnel, declared, sent, end] : rows) {
            SCOPED_TRACE(std::string(name) + (spliced ? ", spliced" : ", copied"));
            const double down = rig.proxy.downMegabytes;
            {
                RawPeer peer;
                const QByteArray request =
                    tunnel ? "CONNECT " + peer.hostAndPort() + " HTTP/1.1\r\n\r\n?"
                           : get(peer.hostAndPort());
                const QByteArray response =
                    (tunnel ? QByteArray()
                            : "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(declared) +
                                  "\r\n\r\n") +
                    patternBytes(sent, 9);
                answerAfter(peer, tunnel ? 1 : request.size(), response);
                TestClient client(rig.port);
                client.send(request);
                const bool held = sent < 5000;
                ASSERT_TRUE(held ? peer.waitForBytes(request.size()) : client.waitFor(100000));
                if (!held && (tunnel || sent < declared)) { // else it may be over
                    EXPECT_EQ(SplicePipe::openCount(), spliced ? 1 : 0);
                }
                if (end == End::ClientResets) {
                    reset(&client.socket);
                    EXPECT_TRUE(waitUntil([&] { return peer.closedByProxy[0]; }));
                } else {
                    const qsizetype prefix = tunnel ? PortalReplies::tunnelOpen().size() : 0;
                    if (end == End::ServerCloses)
                        peer.sockets[0]->disconnectFromHost();
                    else
                        reset(peer.sockets[0]);
                    ASSERT_TRUE(client.waitClosed(10000));
                    const qsizetype relayed = client.received.size() - prefix;
                    if (end == End::ServerCloses) {
                        EXPECT_EQ(relayed, response.size());
                    }
                    EXPECT_TRUE(client.received.mid(prefix) == response.left(relayed));
                    EXPECT_EQ(qRound64((rig.proxy.downMegabytes - down) * 1024000), relayed);
                }
                EXPECT_TRUE(waitUntil([&] { return rig.proxy.connectionCount() == 0; }));
                EXPECT_EQ(SplicePipe::openCount(), 0);
            }
            // The toolkit keeps a descriptor it opens on first use: counted from the first row.
            if (descriptors < 0)
                descriptors = openDescriptors();
            EXPECT_TRUE(waitUntil([&] { return openDescriptors() == descriptors; }))
                << openDescriptors() << " descriptors, " << descriptors << " before";
        }
    }
}

// A feed that no longer lists the client ends what it has open on the strength of its payment;
// what the whitelist opens to all stays.
TEST_F(ProxyServerRelay, AWithdrawnAllowanceClosesTunnelsAndPaidUpstreams) {
    RawPeer peer;
    answerAfter(peer, 4, "ping");
    RawPeer origin;
    origin.answerHeads(ProxyRig::ok("page"));
    TestClient tunnel(rig.port);
    tunnel.send("CONNECT " + peer.hostAndPort() + " HTTP/1.1\r\n\r\nping");
    TestClient paid(rig.port);
    paid.send(get(origin.hostAndPort()));
    TestClient open(rig.port);
    open.send(get("localhost:" + QByteArray::number(origin.port())));
    ASSERT_TRUE(tunnel.waitForEnd("ping") && paid.waitForEnd("page") && open.waitForEnd("page"));

    rig.providerPage.LoadProviderPage();
    rig.loader.complete(QStringLiteral("***Allowed****%*0050560102AB*1*"));
    EXPECT_TRUE(tunnel.waitClosed());
    EXPECT_TRUE(paid.waitClosed());
    EXPECT_TRUE(waitUntil([&] { return peer.closedByProxy[0]; }));
    open.send(get("localhost:" + QByteArray::number(origin.port())));
    EXPECT_TRUE(open.waitFor(2 * ProxyRig::ok("page").size()));
    EXPECT_FALSE(open.closed);
}

} // namespace
