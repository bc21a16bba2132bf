#pragma once
// The web proxy on loopback for tests: a ProxyServer wired to a registry whose clients live at
// 127.0.0.n, the clients that talk to it from those addresses, and a raw peer that stands in
// for origins and tunnel ends.

#include "proxy/proxy_server.h"
#include "registry/allowed_list.h"
#include "registry/client_registry.h"
#include "registry/provider_page.h"
#include "support/bytes.h"
#include "support/fake_clock.h"
#include "support/fake_page_loader.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace proxytest {

inline constexpr char kPaidAddress[] = "127.0.0.100"; // the first registry number
inline constexpr char kUnknownAddress[] = "127.0.0.200";

// The proxy and everything its portal needs, listening on a free port. Origins here live on
// loopback, which a deployed proxy never connects to; 127.0.0.1 is not open to all, "localhost"
// is.
struct ProxyRig {
    explicit ProxyRig(ProxyServer::Options options = {true, ProxyServer::kMaxSlots},
                      const QByteArray& openDomains = "localhost")
        : environment(qputenv("TARNIX_WHITELIST", openDomains) &&
                      qputenv("TARNIX_PROVIDER_HOST", "provider.test")),
          proxy({registry, providerPage, clock}, "127.0.0.1", "PAC", options) {
        proxy.setProviderId("prov42");
        proxy.listen(0);
        port = proxy.port();
    }
    ~ProxyRig() {
        qunsetenv("TARNIX_WHITELIST");
        qunsetenv("TARNIX_PROVIDER_HOST");
    }
    // The client at kPaidAddress, registered; paid when allow.
    void registerClient(bool allow) {
        registry.RegisterClient(QByteArray::fromHex("000C29ABCDEF"));
        if (allow)
            allowed.add(QByteArray::fromHex("000C29ABCDEF"), QDateTime());
    }
    static QByteArray purchasePage() {
        return "<html><head><meta http-equiv=\"refresh\" content=\"0; URL=http://provider.test"
               "/gateway/purchasing.asp?id=prov42&mac=000C29ABCDEF\"></head><body> </body></html>";
    }
    static QByteArray ok(const QByteArray& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\n\r\n" + body;
    }
    static QByteArray purchaseRedirect() {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-cache\r\n"
               "Content-Length: " +
               QByteArray::number(purchasePage().size()) + "\r\n\r\n" + purchasePage();
    }

    const bool environment; // set before the proxy reads it
    FakeClock clock;
    AllowedList allowed;
    // The LAN of these tests: the gateway at 127.0.0.1, its clients from 127.0.0.100 on.
    ClientRegistry registry{clock, allowed, nullptr, LanNetwork{.gateway = {127, 0, 0, 1}}};
    FakePageLoader loader;
    ProviderPage providerPage{loader, registry, allowed, clock};
    ProxyServer proxy;
    int port = 0;
};

// A client of the proxy, bound to a registry address; the running test fails when it cannot
// connect. It keeps what it receives unless paused; a paused client lets Qt hold at most
// readLimit bytes, so the rest waits in the network.
class TestClient {
public:
    TestClient(int port, const char* from = kPaidAddress, qint64 readLimit = 0) {
        socket.setReadBufferSize(readLimit);
        socket.bind(QHostAddress(QString::fromLatin1(from)), 0);
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            if (!paused)
                received += socket.readAll();
        });
        QObject::connect(&socket, &QTcpSocket::connected, [this] { connected = true; });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        if (!waitUntil([this] { return connected; }))
            ADD_FAILURE() << "no connection to the proxy from " << from;
    }
    void send(const QByteArray& data) { socket.write(data); }
    // Whether at least n bytes arrived.
    bool waitFor(qsizetype n, int ms = 5000) {
        return waitUntil([&] { return received.size() >= n; }, ms);
    }
    bool waitForEnd(const QByteArray& tail) {
        return waitUntil([&] { return received.endsWith(tail); });
    }
    bool waitClosed(int ms = 5000) {
        return waitUntil([&] { return closed; }, ms);
    }
    // Sends a request and waits for the proxy to close after its reply; the reply.
    QByteArray exchange(const QByteArray& request) {
        send(request);
        waitClosed();
        return received += socket.readAll();
    }

    QTcpSocket socket;
    QByteArray received;
    bool connected = false;
    bool closed = false;
    bool paused = false;
};

// A loopback peer that keeps what each connection sent it; onData decides what to answer.
// While paused it reads nothing, and Qt holds at most 64 KiB for it, so the sender is held back
// by the network.
class RawPeer : public QObject {
public:
    RawPeer() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                socket->setReadBufferSize(64 * 1024);
                const size_t index = sockets.size();
                sockets.emplace_back(socket);
                received.emplace_back();
                closedByProxy.push_back(false);
                connect(socket, &QTcpSocket::readyRead, this, [this, index] { take(index); });
                connect(socket, &QTcpSocket::disconnected, this,
                        [this, index] { closedByProxy[index] = true; });
            }
        });
    }
    QByteArray hostAndPort() const { return "127.0.0.1:" + QByteArray::number(port()); }
    int port() const { return server_.serverPort(); }
    void resume() {
        paused = false;
        for (size_t i = 0; i < sockets.size(); ++i)
            take(i);
    }
    // Answers each request head a connection sends with response, and closes after it when
    // closeAfter.
    void answerHeads(const QByteArray& response, bool closeAfter = false) {
        onData = [response, closeAfter](QTcpSocket* socket, const QByteArray& received) {
            for (int n = socket->property("answered").toInt(); n < received.count("\r\n\r\n");
                 socket->setProperty("answered", ++n)) {
                socket->write(response);
                if (closeAfter)
                    socket->disconnectFromHost();
            }
        };
    }
    bool waitForBytes(qsizetype n) {
        return waitUntil([&] { return !received.empty() && received[0].size() >= n; });
    }

    std::vector<QPointer<QTcpSocket>> sockets;
    std::vector<QByteArray> received;
    std::vector<bool> closedByProxy;
    std::function<void(QTcpSocket*, const QByteArray&)> onData;
    bool paused = false;

private:
    void take(size_t index) {
        QTcpSocket* socket = sockets[index];
        if (paused || !socket || socket->bytesAvailable() == 0)
            return;
        received[index] += socket->readAll();
        if (onData)
            onData(socket, received[index]);
    }

    QTcpServer server_;
};

// Waits until progress() has stood still for 300 ms; look() runs at every check.
inline bool waitForStall(const std::function<qint64()>& progress,
                         const std::function<void()>& look) {
    qint64 last = -1;
    QElapsedTimer sinceProgress;
    return waitUntil(
        [&] {
            look();
            if (const qint64 now = progress(); now != last) {
                last = now;
                sinceProgress.start();
            }
            return sinceProgress.elapsed() > 300;
        },
        30000);
}

} // namespace proxytest
