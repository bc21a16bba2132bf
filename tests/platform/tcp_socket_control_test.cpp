// TcpSocketControl over loopback: accepting, transfer, failures, closing and reuse.

#include "platform/control_array.h"
#include "platform/socket_state.h"
#include "platform/tcp_socket_control.h"
#include "support/wait.h"

#include <QTcpServer>
#include <QTcpSocket>
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

QByteArray everyByteValue() {
    QByteArray bytes;
    for (int value = 0; value < 256; ++value)
        bytes.append(static_cast<char>(value));
    return bytes;
}

// A port nobody listens on (it was free a moment ago).
int closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

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

    const QByteArray bytes = everyByteValue();
    QByteArray atServer, atClient;
    client.SendData(bytes);
    accepted.SendData(bytes + bytes);
    EXPECT_TRUE(waitUntil([&] {
        atServer += accepted.GetData();
        atClient += client.GetData();
        return atServer.size() >= 256 && atClient.size() >= 512;
    }));
    EXPECT_EQ(atServer, bytes);
    EXPECT_EQ(atClient, bytes + bytes);
    EXPECT_TRUE(clientLog.has("sent"));
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

    ASSERT_TRUE(waitUntil([&] { return serverLog.has("closed"); }));
    EXPECT_EQ(serverLog.events, (QStringList{"data", "closed"}));
    EXPECT_EQ(accepted.State(), sckError);
    EXPECT_EQ(accepted.GetData(), "last words");
    // Qt has long forgotten the connection; the control still says error.
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

    const QByteArray big(16 * 1024 * 1024, '\x5a');
    sender.SendData(big);
    EXPECT_EQ(sender.BytesToSend(), big.size());
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

TEST(TcpSocketControlFailure, ListenOnTakenPortFailsWithError) {
    TcpSocketControl first(0), second(1);
    ASSERT_TRUE(first.Listen());
    second.setLocalPort(first.LocalPort());
    EXPECT_FALSE(second.Listen());
    EXPECT_EQ(second.State(), sckError);
    second.Close();
    EXPECT_EQ(second.State(), sckClosed);
    EXPECT_EQ(first.State(), sckListening);
    // IPv4 only, so that clients are never named in the v4-mapped v6 form.
    int requests = 0;
    QObject::connect(&first, &TcpSocketControl::ConnectionRequest, [&] { ++requests; });
    QTcpSocket viaV6;
    viaV6.connectToHost(QHostAddress::LocalHostIPv6, first.LocalPort());
    EXPECT_TRUE(waitUntil([&] { return viaV6.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(requests, 0);
}

TEST(TcpSocketControlFailure, UnacceptedRequestIsClosedAtOnce) {
    TcpSocketControl listener(0);
    int requests = 0;
    QObject::connect(&listener, &TcpSocketControl::ConnectionRequest,
                     [&](int, qintptr) { ++requests; });
    ASSERT_TRUE(listener.Listen());
    QTcpSocket client;
    client.connectToHost("127.0.0.1", listener.LocalPort());
    EXPECT_TRUE(waitUntil([&] { return requests == 1; }));
    EXPECT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(listener.State(), sckListening);
}

TEST(TcpSocketControlFailure, AcceptOfUnknownRequestEndsInError) {
    TcpSocketControl control(0);
    EventLog log(control);
    control.Accept(12345);
    EXPECT_EQ(control.State(), sckError);
    EXPECT_TRUE(log.events.isEmpty()) << "the Error event follows from the event loop";
    EXPECT_TRUE(waitUntil([&] { return log.has("error"); }));
    control.Close();
    EXPECT_EQ(control.State(), sckClosed);
}

TEST(TcpSocketControlFailure, ConnectToClosedPortEndsInError) {
    TcpSocketControl client(3);
    EventLog log(client);
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(closedPort());
    client.Connect();
    ASSERT_TRUE(waitUntil([&] { return log.has("error"); }));
    EXPECT_EQ(log.events, QStringList{"error"});
    EXPECT_EQ(log.indexes, QList<int>{3});
    EXPECT_EQ(log.errorNumber, 10061);
    EXPECT_EQ(client.State(), sckError);
    client.Close();
    EXPECT_EQ(client.State(), sckClosed);
}

struct BadPortRow {
    const char* name;
    int offset; // added to a listening port; 0 means use `port` as it is
    int port;
};

class TcpSocketControlBadPort : public ::testing::TestWithParam<BadPortRow> {};

TEST_P(TcpSocketControlBadPort, IsRefusedWithoutConnecting) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    int accepted = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (auto* socket = server.nextPendingConnection()) {
            socket->deleteLater();
            ++accepted;
        }
    });
    const BadPortRow row = GetParam();
    TcpSocketControl client(0);
    EventLog log(client);
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(row.offset ? server.serverPort() + row.offset : row.port);
    client.Connect();
    // Refused on the spot; the Error event follows from the event loop.
    EXPECT_EQ(client.State(), sckError);
    EXPECT_TRUE(log.events.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return log.has("error"); }));
    EXPECT_EQ(log.events, QStringList{"error"});

    // A connection made now must be the server's first: nothing wrapped to its port before.
    QTcpSocket probe;
    probe.connectToHost("127.0.0.1", server.serverPort());
    ASSERT_TRUE(waitUntil([&] { return accepted >= 1; }));
    EXPECT_EQ(accepted, 1);
}

INSTANTIATE_TEST_SUITE_P(TcpSocketControlPorts, TcpSocketControlBadPort,
                         ::testing::Values(BadPortRow{"PortZero", 0, 0},
                                           BadPortRow{"NegativePort", 0, -1},
                                           BadPortRow{"PortJustAboveRange", 0, 65536},
                                           BadPortRow{"PortThatWrapsToListener", 65536, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TcpSocketControlArray, LoadsAndUnloadsAtTheEndAndEventsCarryTheIndex) {
    ControlArray<TcpSocketControl> array;
    EXPECT_EQ(array.Count(), 1);
    array.Load();
    array.Load();
    EXPECT_EQ(array.UBound(), 2);
    for (int i = 0; i < array.Count(); ++i)
        EXPECT_EQ(array(i).Index(), i);
    array.UnloadLast();
    array.UnloadLast();
    array.UnloadLast();
    EXPECT_EQ(array.Count(), 1) << "element 0 stays";

    TcpSocketControl& third = (array.Load(), array.Load());
    EventLog log(third);
    third.setRemoteHost("127.0.0.1");
    third.setRemotePort(closedPort());
    third.Connect();
    ASSERT_TRUE(waitUntil([&] { return log.has("error"); }));
    EXPECT_EQ(log.indexes, QList<int>{2});
}

} // namespace
