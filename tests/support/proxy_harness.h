#pragma once
// The web proxy on loopback for tests: a ProxyServer wired to a registry whose clients live at
// 127.0.0.n, the clients that talk to it from those addresses, and a raw peer that stands in
// for origins and tunnel ends.

#include "address/wpad_script.h"
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
#include <memory>
#include <vector>

namespace proxytest {

inline constexpr char kPaidAddress[] = "127.0.0.100"; // the first registry number
inline constexpr char kUnknownAddress[] = "127.0.0.200";
inline constexpr char kProviderHost[] = "provider.test";

// The LAN of these tests: the gateway at 127.0.0.1, its clients from 127.0.0.100 on.
inline LanNetwork loopbackNetwork() {
    LanNetwork network;
    network.gateway = Ipv4Address(127, 0, 0, 1);
    return network;
}

inline QByteArray notFoundReply() {
    return "HTTP/1.1 404 Object Not Found\nContent-Type: text/html\nContent-Length: 0\n\n";
}

// Sets an environment variable for the lifetime of the guard.
class EnvGuard {
public:
    EnvGuard(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        qputenv(name, value);
    }
    ~EnvGuard() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

// The proxy and everything its portal needs, listening on a free port.
struct ProxyRig {
    EnvGuard providerHost{"TARNIX_PROVIDER_HOST", kProviderHost};
    EnvGuard whitelist;
    FakeClock clock;
    AllowedList allowed;
    ClientRegistry registry{clock, allowed, nullptr, loopbackNetwork()};
    FakePageLoader loader;
    ProviderPage providerPage{loader, registry, allowed, clock};
    QString providerId = QStringLiteral("prov42");
    // Origins here live on loopback, which a deployed proxy never connects to.
    ProxyServer::Options policy{true, ProxyServer::kMaxSlots};
    ProxyServer proxy{{registry, providerPage, clock},
                      loopbackNetwork().gateway.text().toLatin1(),
                      pacScript(),
                      policy};
    int port = 0;

    // Origins at 127.0.0.1 are not open to all; "localhost" is.
    explicit ProxyRig(
        ProxyServer::Options upstreamPolicy = ProxyServer::Options{true, ProxyServer::kMaxSlots},
        const QByteArray& openDomains = "localhost")
        : whitelist("TARNIX_WHITELIST", openDomains), policy(upstreamPolicy) {
        proxy.setProviderId(providerId);
        proxy.listen(0);
        port = proxy.port();
    }
    // The client at kPaidAddress, registered; paid when allow.
    void registerClient(bool allow) {
        registry.RegisterClient(QByteArray::fromHex("000C29ABCDEF"));
        if (allow)
            allowed.add(QByteArray("\x00\x0C\x29\xAB\xCD\xEF", 6), QDateTime());
    }
    QByteArray purchaseRedirect() const {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-cache\r\n"
               "Content-Length: " +
               QByteArray::number(purchasePage().size()) + "\r\n\r\n" + purchasePage();
    }
    // The script the proxy serves here: it names the gateway as the tests' proxy.
    static QByteArray pacScript() { return WpadScript(loopbackNetwork().proxyEndpoint()); }
    static QByteArray purchasePage() {
        return "<html><head><meta http-equiv=\"refresh\" content=\"0; URL=http://" +
               QByteArray(kProviderHost) +
               "/gateway/purchasing.asp?id=prov42&mac=000C29ABCDEF\"></head><body> </body></html>";
    }
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
            ++reads;
            if (reads == 1)
                firstRead = socket.bytesAvailable();
            if (!paused)
                received += socket.readAll();
        });
        QObject::connect(&socket, &QTcpSocket::connected, [this] { wasConnected = true; });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        if (!connected())
            ADD_FAILURE() << "no connection to the proxy from " << from;
    }
    // Whether the connection was made, even if it is closed again by now.
    bool connected(int ms = 5000) {
        return waitUntil([&] { return wasConnected; }, ms);
    }
    void send(const QByteArray& data) { socket.write(data); }
    // Everything that arrived once it holds at least n bytes.
    bool waitFor(qsizetype n, int ms = 5000) {
        return waitUntil([&] { return received.size() >= n; }, ms);
    }
    bool waitForEnd(const QByteArray& tail, int ms = 5000) {
        return waitUntil([&] { return received.endsWith(tail); }, ms);
    }
    bool waitClosed(int ms = 5000) {
        return waitUntil([&] { return closed; }, ms);
    }
    // Sends a request and waits for the proxy to close after its reply; the reply.
    QByteArray exchange(const QByteArray& request, int ms = 5000) {
        send(request);
        waitClosed(ms);
        received += socket.readAll();
        return received;
    }

    QTcpSocket socket;
    QByteArray received;
    int reads = 0;
    qint64 firstRead = 0; // bytes the first arrival brought
    bool wasConnected = false;
    bool closed = false;
    bool paused = false;
};

// A loopback peer that keeps what each connection sent it. It echoes everything back when
// echo is set; otherwise onData decides what to answer. While paused it reads nothing, and Qt
// holds at most 64 KiB for it, so the sender is held back by the network.
class RawPeer : public QObject {
public:
    explicit RawPeer(bool echo = false) : echo_(echo) {
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
    int port() const { return server_.serverPort(); }
    void resume() {
        paused = false;
        for (size_t i = 0; i < sockets.size(); ++i)
            take(i);
    }
    QByteArray hostAndPort() const { return "127.0.0.1:" + QByteArray::number(port()); }
    int connections() const { return static_cast<int>(sockets.size()); }
    bool waitForBytes(qsizetype n, int ms = 5000) {
        return waitUntil([&] { return !received.empty() && received[0].size() >= n; }, ms);
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
        const QByteArray data = socket->readAll();
        received[index] += data;
        if (echo_)
            socket->write(data);
        if (onData)
            onData(socket, received[index]);
    }

    QTcpServer server_;
    bool echo_;
};

// Waits until progress() has stood still for 300 ms; look() runs at every check.
inline bool waitForStall(const std::function<qint64()>& progress, const std::function<void()>& look,
                         int ms = 30000) {
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
        ms);
}

} // namespace proxytest
