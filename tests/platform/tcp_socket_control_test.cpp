// TcpSocketControl over loopback: accepting, transfer, failures, closing and reuse.

#include "platform/control_array.h"
#include "platform/socket_state.h"
#include "platform/tcp_socket_control.h"
#include "support/bytes.h"
#include "support/free_port.h"
#include "support/wait.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every event of one control, in order, as short tags ("data", "closed", "error", ...).
struct EventLog {
    QStringList events;
    int errorNumber = 0;
    QList<int> indexes;

    explicit EventLog(TcpSocketControl& control) {
        auto note = [this](const QString& tag, int index) {
            events << tag;
            indexes << index;
        };
        QObject::connect(&control, &TcpSocketControl::DataArrival,
                         [note](int i, qint64) { note("data", i); });
        QObject::connect(&control, &TcpSocketControl::SendComplete,
                         [note](int i) { note("sent", i); });
        QObject::connect(&control, &TcpSocketControl::Connected,
                         [note](int i) { note("connected", i); });
        QObject::connect(&control, &TcpSocketControl::PeerClosed,
                         [note](int i) { note("closed", i); });
        QObject::connect(&control, &TcpSocketControl::Error,
                         [this, note](int i, int number, const QString&) {
                             errorNumber = number;
                             note("error", i);
                         });
    }
    bool has(const QString& tag) const { return events.contains(tag); }
};

// A reader whose kernel buffer stays small, so a big send has to wait for it.
bool connectWithSmallReceiveBuffer(QTcpSocket& reader, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int size = 64 * 1024;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return false;
    }
    return reader.setSocketDescriptor(fd);
}

// Element 0 listens; every request is accepted on a newly loaded element.
class TcpSocketControlPair : public ::testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&servers(0), &TcpSocketControl::ConnectionRequest,
                         [this](int, qintptr id) { servers.Load().Accept(id); });
        ASSERT_TRUE(servers(0).Listen());
        ASSERT_EQ(servers(0).State(), sckListening);
        ASSERT_GT(servers(0).LocalPort(), 0);
    }
    // Connects a client control and returns the element that accepted it.
    TcpSocketControl& connectClient(TcpSocketControl& client) {
        const int before = servers.Count();
        client.setRemoteHost("127.0.0.1");
        client.setRemotePort(servers(0).LocalPort());
        client.Connect();
        EXPECT_TRUE(waitUntil(
            [&] { return client.State() == sckConnected && servers.Count() == before + 1; }));
        return servers(servers.UBound());
    }

    ControlArray<TcpSocketControl> servers;
};

TEST_F(TcpSocketControlPair, EveryByteValuePassesBothWaysAndPeersAreDotted) {
    TcpSocketControl client(0);
    EventLog clientLog(client);
    TcpSocketControl& accepted = connectClient(client);
    EXPECT_EQ(accepted.State(), sckConnected);
    EXPECT_EQ(accepted.Index(), 1);
    EXPECT_EQ(clientLog.events, QStringList{"connected"});
    EXPECT_EQ(accepted.RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(client.RemoteHostIP(), "127.0.0.1");

    const QByteArray all = everyByteValue();
    QByteArray atServer, atClient;
    client.SendData(all);
    accepted.SendData(all + all);
    EXPECT_TRUE(waitUntil([&] {
        atServer += accepted.GetData();
        atClient += client.GetData();
        return atServer.size() >= 256 && atClient.size() >= 512;
    }));
    EXPECT_EQ(atServer, all);
    EXPECT_EQ(atClient, all + all);
    EXPECT_TRUE(waitUntil([&] { return clientLog.has("sent"); }));
    EXPECT_EQ(accepted.BytesToSend(), 0);
}

TEST_F(TcpSocketControlPair, PeerCloseLatchesErrorUntilCloseAndKeepsUnreadBytes) {
    TcpSocketControl client(0);
    TcpSocketControl& accepted = connectClient(client);
    EventLog serverLog(accepted);
    client.SendData("last words");
    ASSERT_TRUE(waitUntil([&] { return client.BytesToSend() == 0; }));
    client.Close();
    EXPECT_EQ(client.State(), sckClosed);

    // The close is reported once the bytes before it have been taken.
    ASSERT_TRUE(waitUntil([&] { return serverLog.has("data"); }));
    EXPECT_EQ(accepted.GetData(), "last words");
    ASSERT_TRUE(waitUntil([&] { return serverLog.has("closed"); }));
    EXPECT_EQ(serverLog.events, (QStringList{"data", "closed"}));
    EXPECT_EQ(accepted.State(), sckError);
    EXPECT_EQ(accepted.GetData(), "");
    // The connection is long gone; the control still says error.
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(accepted.State(), sckError);
    accepted.Close();
    EXPECT_EQ(accepted.State(), sckClosed);
    EXPECT_EQ(accepted.RemoteHostIP(), "");
}

TEST_F(TcpSocketControlPair, SendCompleteOnlyOnceEverythingHasGoneOut) {
    QTcpSocket reader;
    ASSERT_TRUE(connectWithSmallReceiveBuffer(reader, servers(0).LocalPort()));
    reader.setReadBufferSize(64 * 1024);
    ASSERT_TRUE(waitUntil([&] { return servers.Count() == 2; }));
    TcpSocketControl& sender = servers(1);
    int completions = 0;
    qint64 leftAtCompletion = -1;
    QObject::connect(&sender, &TcpSocketControl::SendComplete, [&](int) {
        ++completions;
        leftAtCompletion = sender.BytesToSend();
    });

    // A small piece goes to the kernel at once, but its completion comes from the event loop:
    // a handler that sends must never be re-entered by its own send.
    sender.SendData("ping");
    EXPECT_EQ(sender.BytesToSend(), 0);
    EXPECT_EQ(completions, 0);
    ASSERT_TRUE(waitUntil([&] { return completions == 1; }));
    ASSERT_EQ(reader.waitForReadyRead(5000) || reader.bytesAvailable() > 0, true);
    ASSERT_EQ(reader.read(4), QByteArray("ping"));
    completions = 0;

    const QByteArray big(16 * 1024 * 1024, '\x5a');
    sender.SendData(big);
    EXPECT_EQ(completions, 0);
    EXPECT_GT(sender.BytesToSend(), 0); // far more than the kernel takes
    // A slow reader: one small slice per round, so the sender is held up many times.
    qint64 received = 0;
    int completionsMidway = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            received += reader.read(64 * 1024).size();
            // Kernel buffers hold a few MiB at most; half the data cannot have gone yet.
            if (received < big.size() / 2)
                completionsMidway = completions;
            return received == big.size() && completions > 0;
        },
        30000));
    EXPECT_EQ(completionsMidway, 0);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(leftAtCompletion, 0);
    EXPECT_EQ(sender.BytesToSend(), 0);
}

TEST_F(TcpSocketControlPair, ControlIsReusableAfterCloseAndCloseIsQuiet) {
    TcpSocketControl client(0);
    EventLog clientLog(client);
    client.Close();
    client.Close();
    EXPECT_EQ(client.State(), sckClosed);

    TcpSocketControl& first = connectClient(client);
    EventLog firstLog(first);
    client.Close();
    EXPECT_EQ(client.State(), sckClosed);
    EXPECT_TRUE(waitUntil([&] { return firstLog.has("closed"); }));
    EXPECT_EQ(clientLog.events, QStringList{"connected"}) << "Close raised events";

    // The accepting element takes the next request after its own Close.
    first.Close();
    QObject::disconnect(&servers(0), &TcpSocketControl::ConnectionRequest, nullptr, nullptr);
    QObject::connect(&servers(0), &TcpSocketControl::ConnectionRequest,
                     [&](int, qintptr id) { first.Accept(id); });
    client.Connect();
    ASSERT_TRUE(waitUntil([&] { return first.State() == sckConnected; }));
    ASSERT_TRUE(waitUntil([&] { return client.State() == sckConnected; }));
    client.SendData("again");
    EXPECT_TRUE(waitUntil([&] { return first.GetData() == "again"; }));
}

TEST(TcpSocketControlFailure, TakenPortFailsAndTheListenerClosesWhatItDoesNotAccept) {
    TcpSocketControl first(0), second(1);
    int requests = 0;
    QObject::connect(&first, &TcpSocketControl::ConnectionRequest, [&] { ++requests; });
    ASSERT_TRUE(first.Listen());
    second.setLocalPort(first.LocalPort());
    EXPECT_FALSE(second.Listen());
    EXPECT_EQ(second.State(), sckError);
    second.Close();
    EXPECT_EQ(second.State(), sckClosed);
    EXPECT_EQ(first.State(), sckListening);
    // IPv4 only, so that clients are never named in the v4-mapped v6 form.
    QTcpSocket viaV6;
    viaV6.connectToHost(QHostAddress::LocalHostIPv6, first.LocalPort());
    EXPECT_TRUE(waitUntil([&] { return viaV6.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(requests, 0);
    // A request nobody accepts is closed at once.
    QTcpSocket client;
    client.connectToHost("127.0.0.1", first.LocalPort());
    EXPECT_TRUE(waitUntil([&] { return requests == 1; }));
    EXPECT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(first.State(), sckListening);
}

TEST(TcpSocketControlFailure, BadPortsAndUnknownRequestsAreRefusedOnTheSpot) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    int accepted = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (auto* socket = server.nextPendingConnection()) {
            socket->deleteLater();
            ++accepted;
        }
    });
    const auto connectTo = [](int port) {
        return [port](TcpSocketControl& c) {
            c.setRemoteHost("127.0.0.1");
            c.setRemotePort(port);
            c.Connect();
        };
    };
    const struct {
        const char* name;
        std::function<void(TcpSocketControl&)> act;
    } rows[] = {
        {"port zero", connectTo(0)},
        {"negative port", connectTo(-1)},
        {"port just above the range", connectTo(65536)},
        {"port that wraps to the listener", connectTo(server.serverPort() + 65536)},
        {"accept of an unknown request", [](TcpSocketControl& c) { c.Accept(12345); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TcpSocketControl control(0);
        EventLog log(control);
        row.act(control);
        EXPECT_EQ(control.State(), sckError);
        EXPECT_TRUE(log.events.isEmpty()) << "the Error event follows from the event loop";
        ASSERT_TRUE(waitUntil([&] { return log.has("error"); }));
        EXPECT_EQ(log.events, QStringList{"error"});
        control.Close();
        EXPECT_EQ(control.State(), sckClosed);
    }
    // A connection made now must be the server's first: nothing wrapped to its port before.
    QTcpSocket probe;
    probe.connectToHost("127.0.0.1", server.serverPort());
    ASSERT_TRUE(waitUntil([&] { return accepted >= 1; }));
    EXPECT_EQ(accepted, 1);
}

TEST(TcpSocketControlArray, LoadsAndUnloadsAtTheEndAndEventsCarryTheIndex) {
    ControlArray<TcpSocketControl> array;
    EXPECT_EQ(array.Count(), 1);
    array.Load();
    array.Load();
    EXPECT_EQ(array.UBound(), 2);
    for (int i = 0; i < array.Count(); ++i)
        EXPECT_EQ(array(i).Index(), i);
    for (int i = 0; i < 3; ++i)
        array.UnloadLast();
    EXPECT_EQ(array.Count(), 1) << "element 0 stays";

    // A connection refused by the peer ends in the error state, told once with the index.
    TcpSocketControl& third = (array.Load(), array.Load());
    EventLog log(third);
    third.setRemoteHost("127.0.0.1");
    third.setRemotePort(freeTcpPort());
    third.Connect();
    ASSERT_TRUE(waitUntil([&] { return log.has("error"); }));
    EXPECT_EQ(log.events, QStringList{"error"});
    EXPECT_EQ(log.indexes, QList<int>{2});
    EXPECT_EQ(log.errorNumber, 10061);
    EXPECT_EQ(third.State(), sckError);
    third.Close();
    EXPECT_EQ(third.State(), sckClosed);
}

} // namespace
