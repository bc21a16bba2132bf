// The web proxy relaying for a paid client over loopback: request bodies, methods, reuse of
// the upstream, tunnels, the small-response hold, closing and flow control, spliced and copied.

#include "platform/splice_pipe.h"
#include "proxy/portal_replies.h"
#include "support/http_origin.h"
#include "support/proxy_harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace proxytest;

namespace {

QByteArray okWith(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
           body;
}

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

// A chunked body in pieces of uneven size, each with its size line.
QByteArray chunked(const QByteArray& body) {
    QByteArray out;
    qsizetype at = 0;
    for (int n = 1; at < body.size(); n = n * 7 % 65521 + 1000) {
        const QByteArray piece = body.mid(at, n);
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
        at += piece.size();
    }
    return out + "0\r\n\r\n";
}

class ProxyServerRelay : public ::testing::Test {
protected:
    void SetUp() override { rig.registerClient(true); }
    // Sends a GET for peer and waits until the request has reached it.
    bool getFrom(TestClient& client, RawPeer& peer) {
        client.send(get(peer.hostAndPort()));
        return peer.waitForBytes(1);
    }
    // A 64 MiB download to a client that stops reading: nothing more leaves the origin, the
    // gateway queues under 1 MiB, and once the client reads it gets every byte.
    void downloadStaysBounded() {
        constexpr qint64 kTotal = 64LL * 1024 * 1024;
        constexpr qint64 kBlock = 256 * 1024;
        qint64 produced = 0;
        QPointer<QTcpSocket> source;
        RawPeer peer; // after what its pump uses, so that it goes first
        const auto pump = [&] {
            while (source && source->bytesToWrite() < 2 * kBlock && produced < kTotal) {
                source->write(patternBytes(kBlock, static_cast<unsigned>(produced / kBlock)));
                produced += kBlock;
            }
        };
        peer.onData = [&](QTcpSocket* socket, const QByteArray&) {
            if (source)
                return;
            source = socket;
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(kTotal) +
                          "\r\n\r\n");
            pump();
        };
        TestClient client(rig.port, kPaidAddress, 64 * 1024);
        client.paused = true;
        client.send(get(peer.hostAndPort(), "/big"));
        ASSERT_TRUE(waitUntil([&] { return source != nullptr; }));

        // Stalled: nothing more leaves the origin.
        qint64 maxQueued = 0;
        ASSERT_TRUE(
            waitForStall([&] { return produced - (source ? source->bytesToWrite() : 0); },
                         [&] { maxQueued = std::max(maxQueued, rig.proxy.queuedBytes()); }));
        EXPECT_LT(produced, kTotal);
        // The rest waits in the system's buffers, not in the gateway.
        EXPECT_LT(maxQueued, 1024 * 1024);

        client.paused = false;
        const qsizetype headSize = client.socket.peek(200).indexOf("\r\n\r\n") + 4;
        ASSERT_GT(headSize, 4);
        ASSERT_TRUE(waitUntil(
            [&] {
                client.received += client.socket.readAll();
                return client.received.size() >= headSize + kTotal;
            },
            120000));
        ASSERT_EQ(client.received.size(), headSize + kTotal);
        for (qint64 block = 0; block < kTotal / kBlock; ++block) {
            if (client.received.mid(headSize + block * kBlock, kBlock) !=
                patternBytes(kBlock, static_cast<unsigned>(block)))
                FAIL() << "block " << block << " differs";
        }
    }
    ProxyRig rig;
};

TEST_F(ProxyServerRelay, LargeUploadsStreamByteExactAndTheirBodiesAreNeverHeads) {
    QByteArray body = patternBytes(1024 * 1024);
    for (qsizetype at = 0; at + 100 < body.size(); at += 100000)
        body.replace(at, 18, "GET / HTTP/1.1\r\n\r\n");
    const struct {
        const char* name;
        QByteArray framing;
        QByteArray encoded;
    } cases[] = {
        {"declared length", "Content-Length: " + QByteArray::number(body.size()), body},
        {"chunked", "Transfer-Encoding: chunked", chunked(body)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        const QByteArray upload =
            "PUT /up HTTP/1.1\r\nHost: " + peer.hostAndPort() + "\r\n" + c.framing + "\r\n\r\n";
        const QByteArray next = get(peer.hostAndPort(), "/after");
        const qsizetype total = upload.size() + c.encoded.size();
        peer.onData = [&](QTcpSocket* socket, const QByteArray& received) {
            if (received.size() == total)
                socket->write(okWith("stored"));
            if (received.size() == total + next.size())
                socket->write(okWith("after"));
        };
        TestClient client(rig.port);
        client.send(upload + c.encoded);
        ASSERT_TRUE(client.waitForEnd("stored", 20000));
        client.send(next);
        ASSERT_TRUE(client.waitForEnd("after"));
        ASSERT_EQ(peer.connections(), 1);
        EXPECT_TRUE(peer.received[0] == upload + c.encoded + next);
    }
}

// An origin that does not read holds the upload back all the way to the client.
TEST_F(ProxyServerRelay, UploadToAnOriginThatDoesNotReadStaysBounded) {
    RawPeer peer;
    peer.paused = true;
    const QByteArray body = patternBytes(16 * 1024 * 1024, 3);
    const QByteArray request = "POST /up HTTP/1.1\r\nHost: " + peer.hostAndPort() +
                               "\r\nContent-Length: " + QByteArray::number(body.size()) +
                               "\r\n\r\n" + body;
    answerAfter(peer, request.size(), okWith("stored"));
    TestClient client(rig.port);
    client.send(request);
    ASSERT_TRUE(waitUntil([&] { return peer.connections() == 1; }));
    qint64 maxQueued = 0;
    ASSERT_TRUE(waitForStall([&] { return client.socket.bytesToWrite(); },
                             [&] { maxQueued = std::max(maxQueued, rig.proxy.queuedBytes()); }));
    EXPECT_GT(client.socket.bytesToWrite(), 0);
    EXPECT_LT(maxQueued, 1024 * 1024);
    peer.resume();
    ASSERT_TRUE(client.waitForEnd("stored", 30000));
    EXPECT_TRUE(peer.received[0] == request);
}

// One kept-alive upstream serves pipelined requests in order, a HEAD answer without its body
// and every method; each request is checked, so a withdrawn allowance stops the next one.
TEST_F(ProxyServerRelay, KeptAliveUpstreamServesEveryMethodInOrder) {
    HttpOrigin origin;
    origin.route("/head", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", false);
    origin.route("/m", okWith("done"), false);
    for (const QByteArray path : {"/a", "/b", "/c"})
        origin.route(path, okWith("page" + path), false);
    const QByteArray host = "Host: " + origin.hostAndPort().toLatin1() + "\r\n\r\n";
    TestClient client(rig.port);
    // Pipelined before any upstream is open.
    client.send("GET /a HTTP/1.1\r\n" + host + "GET /b HTTP/1.1\r\n" + host +
                "GET /c HTTP/1.1\r\n" + host);
    const QByteArray expected = okWith("page/a") + okWith("page/b") + okWith("page/c");
    ASSERT_TRUE(client.waitFor(expected.size()));
    EXPECT_EQ(client.received, expected);
    client.received.clear();
    client.send("HEAD /head HTTP/1.1\r\n" + host);
    ASSERT_TRUE(client.waitFor(40));
    EXPECT_EQ(client.received, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    for (const QByteArray method : {"PUT", "DELETE", "OPTIONS", "PATCH", "GET"}) {
        SCOPED_TRACE(method.constData());
        client.received.clear();
        client.send(method + " /m HTTP/1.1\r\n" + host);
        ASSERT_TRUE(client.waitForEnd("done"));
        EXPECT_EQ(client.received, okWith("done"));
        EXPECT_TRUE(origin.requests.last().startsWith(method + " /m HTTP/1.1\r\n"));
    }
    EXPECT_EQ(origin.connections, 1);
    rig.allowed.clear();
    client.received.clear();
    client.send("GET /a HTTP/1.1\r\n" + host);
    ASSERT_TRUE(client.waitClosed());
    EXPECT_EQ(client.received, rig.purchaseRedirect());
    EXPECT_EQ(origin.requests.size(), 9);
}

TEST_F(ProxyServerRelay, TunnelCarriesBytesBothWaysUnparsed) {
    for (const QByteArray name : {"127.0.0.1", "LOCALHOST"}) {
        SCOPED_TRACE(name.constData());
        RawPeer peer(true);
        TestClient client(rig.port);
        const QByteArray headLike = "GET / HTTP/1.1\r\nHost: elsewhere\r\n\r\n";
        // The first tunnel bytes come with the CONNECT head, before the tunnel is open.
        client.send("CONNECT " + name + ":" + QByteArray::number(peer.port()) +
                    " HTTP/1.1\r\n\r\n" + headLike);
        const QByteArray open = "HTTP/1.0 200 Connection established\nContent-Length: 0\n\n";
        ASSERT_TRUE(client.waitFor(open.size() + headLike.size()));
        EXPECT_EQ(client.received, open + headLike);
        const QByteArray noise = patternBytes(1024 * 1024, 7);
        client.send(noise);
        ASSERT_TRUE(client.waitFor(open.size() + headLike.size() + noise.size(), 20000));
        EXPECT_TRUE(client.received == open + headLike + noise);
        EXPECT_TRUE(peer.received[0] == headLike + noise);
    }
}

TEST_F(ProxyServerRelay, EitherEndClosingClosesTheOtherPromptly) {
    {
        SCOPED_TRACE("a held response cut short is flushed");
        RawPeer peer;
        TestClient client(rig.port);
        ASSERT_TRUE(getFrom(client, peer));
        const QByteArray part =
            "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + patternBytes(1000);
        peer.sockets[0]->write(part);
        peer.sockets[0]->disconnectFromHost();
        EXPECT_TRUE(client.waitClosed(1000));
        EXPECT_EQ(client.received, part);
    }
    {
        SCOPED_TRACE("a server that closes after its response");
        HttpOrigin origin;
        const QByteArray response =
            "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + patternBytes(9000);
        origin.route("/", response, true);
        TestClient client(rig.port);
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(client.exchange(get(origin.hostAndPort().toLatin1())), response);
        EXPECT_LT(timer.elapsed(), 1000);
    }
    {
        SCOPED_TRACE("a client that closes takes its upstream with it");
        RawPeer peer;
        TestClient client(rig.port);
        ASSERT_TRUE(getFrom(client, peer));
        client.socket.disconnectFromHost();
        EXPECT_TRUE(waitUntil([&] { return peer.closedByProxy[0]; }, 1000));
    }
}

// A client that does not read holds the download back all the way to the origin; once it
// reads, every byte arrives.
TEST_F(ProxyServerRelay, DownloadToAClientThatDoesNotReadStaysBounded) {
    // Spliced through a pipe, and copied when no pipe is to be had: either way bounded.
    struct CopyAfter {
        ~CopyAfter() { SplicePipe::capBudget(-1); }
    } restore;
    for (const bool spliced : {true, false}) {
        SCOPED_TRACE(spliced ? "spliced" : "copied");
        SplicePipe::capBudget(spliced ? -1 : 0);
        downloadStaysBounded();
        if (HasFatalFailure())
            return;
    }
}

// A body of a declared length and a tunnel go through a pipe, or are copied when there is none
// to be had; either way a server that sends less or more than it declared, or resets, and a
// client that resets, end alike: the client has every byte the server's counter holds and is
// closed after them, the server is closed, and no pipe or descriptor is left.
TEST_F(ProxyServerRelay, StretchesCutShortOverrunOrResetEndAlikeSplicedOrCopied) {
    enum class End { ServerCloses, ServerResets, ClientResets };
    const struct {
        const char* name;
        bool tunnel;
        qsizetype declared; // the Content-Length, for a response
        qsizetype sent;     // body or tunnel bytes the server sends before it ends
        End end;
    } rows[] = {
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
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (spliced ? ", spliced" : ", copied"));
            const double down = rig.proxy.downMegabytes;
            {
                RawPeer peer;
                const QByteArray request =
                    row.tunnel ? "CONNECT " + peer.hostAndPort() + " HTTP/1.1\r\n\r\n?"
                               : get(peer.hostAndPort());
                const QByteArray response =
                    (row.tunnel ? QByteArray()
                                : "HTTP/1.1 200 OK\r\nContent-Length: " +
                                      QByteArray::number(row.declared) + "\r\n\r\n") +
                    patternBytes(row.sent, 9);
                answerAfter(peer, row.tunnel ? 1 : request.size(), response);
                TestClient client(rig.port);
                client.send(request);
                ASSERT_TRUE(client.waitFor(100000));
                if (row.tunnel || row.sent < row.declared) { // else the body may be over
                    EXPECT_EQ(SplicePipe::openCount(), spliced ? 1 : 0);
                }
                if (row.end == End::ClientResets) {
                    reset(&client.socket);
                    EXPECT_TRUE(waitUntil([&] { return peer.closedByProxy[0]; }));
                } else {
                    const qsizetype prefix = row.tunnel ? PortalReplies::tunnelOpen().size() : 0;
                    if (row.end == End::ServerCloses)
                        peer.sockets[0]->disconnectFromHost();
                    else
                        reset(peer.sockets[0]);
                    ASSERT_TRUE(client.waitClosed(10000));
                    const qsizetype relayed = client.received.size() - prefix;
                    if (row.end == End::ServerCloses) {
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
    SplicePipe::capBudget(-1);
}

} // namespace

// A feed that no longer lists the client ends what it has open on the strength of its payment;
// what the whitelist opens to all stays.
TEST_F(ProxyServerRelay, AWithdrawnAllowanceClosesTunnelsAndPaidUpstreams) {
    RawPeer peer(true);
    HttpOrigin origin;
    origin.route("/", okWith("page"), false);
    TestClient tunnel(rig.port);
    tunnel.send("CONNECT " + peer.hostAndPort() + " HTTP/1.1\r\n\r\nping");
    TestClient paid(rig.port);
    paid.send(get(origin.hostAndPort().toLatin1()));
    TestClient open(rig.port);
    open.send(get("localhost:" + QByteArray::number(origin.port())));
    ASSERT_TRUE(tunnel.waitForEnd("ping") && paid.waitForEnd("page") && open.waitForEnd("page"));

    rig.providerPage.LoadProviderPage();
    rig.loader.complete(QStringLiteral("***Allowed****%*0050560102AB*1*"));
    EXPECT_TRUE(tunnel.waitClosed());
    EXPECT_TRUE(paid.waitClosed());
    EXPECT_TRUE(waitUntil([&] { return peer.closedByProxy[0]; }));
    open.send(get("localhost:" + QByteArray::number(origin.port())));
    EXPECT_TRUE(open.waitFor(2 * okWith("page").size()));
    EXPECT_FALSE(open.closed);
}
