// UdpSocketControl over loopback: binding to an adapter's address, whole datagrams both ways.

#include "platform/socket_state.h"
#include "platform/udp_socket_control.h"
#include "support/wait.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

namespace {

// A UDP port on loopback that was free a moment ago.
int freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    return socket.localPort();
}

QByteArray everyByteValue() {
    QByteArray bytes;
    for (int value = 255; value >= 0; --value)
        bytes.append(static_cast<char>(value));
    return bytes;
}

TEST(UdpSocketControl, BoundToLoopbackPassesEveryByteValueBothWays) {
    const int port = freeUdpPort();
    UdpSocketControl control(4);
    ASSERT_TRUE(control.Bind(port, "127.0.0.1"));
    EXPECT_EQ(control.State(), sckOpen);

    QList<QPair<int, qint64>> arrivals;
    QByteArray received;
    QObject::connect(&control, &UdpSocketControl::DataArrival, [&](int index, qint64 size) {
        arrivals.append({index, size});
        received = control.GetData();
    });
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    const QByteArray bytes = everyByteValue();
    peer.writeDatagram(bytes, QHostAddress::LocalHost, port);
    ASSERT_TRUE(waitUntil([&] { return !arrivals.isEmpty(); }));
    EXPECT_EQ(arrivals.first(), qMakePair(4, qint64(256)));
    EXPECT_EQ(received, bytes);

    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(peer.localPort());
    EXPECT_TRUE(control.SendData(bytes));
    ASSERT_TRUE(waitUntil([&] { return peer.hasPendingDatagrams(); }));
    EXPECT_EQ(peer.receiveDatagram().data(), bytes);
}

TEST(UdpSocketControl, QueuedDatagramsAreReadOneByOne) {
    const int port = freeUdpPort();
    UdpSocketControl control(0);
    ASSERT_TRUE(control.Bind(port, "127.0.0.1"));
    QList<QByteArray> received;
    QObject::connect(&control, &UdpSocketControl::DataArrival,
                     [&](int, qint64) { received << control.GetData(); });
    QUdpSocket peer;
    // Both are queued before the control gets to run.
    peer.writeDatagram("first", QHostAddress::LocalHost, port);
    peer.writeDatagram("second!", QHostAddress::LocalHost, port);
    ASSERT_TRUE(waitUntil([&] { return received.size() >= 2; }));
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(received, (QList<QByteArray>{"first", "second!"}));
    EXPECT_EQ(control.GetData(), QByteArray());
}

TEST(UdpSocketControl, FailedSendsReturnFalseAndReportErrors) {
    UdpSocketControl control(0);
    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(9);
    EXPECT_FALSE(control.SendData("x")) << "not bound";
    ASSERT_TRUE(control.Bind(freeUdpPort(), "127.0.0.1"));
    control.setRemoteHost("not an address");
    EXPECT_FALSE(control.SendData("x"));

    // Too big for one datagram: the send fails and Error follows once SendData has returned.
    QList<int> errors;
    QObject::connect(&control, &UdpSocketControl::Error,
                     [&](int, int number, const QString&) { errors << number; });
    control.setRemoteHost("127.0.0.1");
    EXPECT_FALSE(control.SendData(QByteArray(70000, 'x')));
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QList<int>{10040});
    control.Close();
    control.Close();
    EXPECT_EQ(control.State(), sckClosed);
}

struct BindFailureRow {
    const char* name;
    const char* address;
    // Address another socket holds the port on first ("" for none).
    QHostAddress::SpecialAddress taker;
    bool taken;
};

class UdpSocketControlBindFailure : public ::testing::TestWithParam<BindFailureRow> {};

TEST_P(UdpSocketControlBindFailure, LeavesTheControlClosed) {
    const BindFailureRow row = GetParam();
    const int port = freeUdpPort();
    QUdpSocket other;
    if (row.taken) {
        ASSERT_TRUE(other.bind(QHostAddress(row.taker), port));
    }
    UdpSocketControl control(0);
    EXPECT_FALSE(control.Bind(port, row.address));
    EXPECT_EQ(control.State(), sckClosed);
    EXPECT_EQ(control.GetData(), QByteArray());
}

INSTANTIATE_TEST_SUITE_P(
    UdpSocketControlCases, UdpSocketControlBindFailure,
    ::testing::Values(
        BindFailureRow{"AddressNoAdapterHolds", "192.0.2.77", QHostAddress::Null, false},
        BindFailureRow{"NotAnAddress", "localhost", QHostAddress::Null, false},
        BindFailureRow{"PortTakenOnSameAddress", "127.0.0.1", QHostAddress::LocalHost, true},
        BindFailureRow{"PortTakenOnWildcard", "127.0.0.1", QHostAddress::AnyIPv4, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
