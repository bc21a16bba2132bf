// UdpSocketControl over loopback: binding to an adapter's address, whole datagrams both ways.

#include "platform/socket_state.h"
#include "platform/udp_socket_control.h"
#include "support/bytes.h"
#include "support/free_port.h"
#include "support/wait.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

TEST(UdpSocketControl, WholeDatagramsOfEveryByteValuePassBothWaysOneByOne) {
    const int port = freeUdpPort();
    UdpSocketControl control(4);
    ASSERT_TRUE(control.Bind(port, "127.0.0.1"));
    EXPECT_EQ(control.State(), sckOpen);
    EXPECT_EQ(control.RemoteHostIP(), QString());

    QList<QPair<int, qint64>> arrivals;
    QList<QByteArray> received;
    QObject::connect(&control, &UdpSocketControl::DataArrival, [&](int index, qint64 size) {
        arrivals.append({index, size});
        received << control.GetData();
    });
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    const QByteArray all = everyByteValue();
    // Both are queued before the control gets to run.
    peer.writeDatagram(all, QHostAddress::LocalHost, port);
    peer.writeDatagram("second!", QHostAddress::LocalHost, port);
    ASSERT_TRUE(waitUntil([&] { return received.size() >= 2; }));
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(arrivals, (QList<QPair<int, qint64>>{{4, 256}, {4, 7}}));
    EXPECT_EQ(received, (QList<QByteArray>{all, "second!"}));
    EXPECT_EQ(control.RemoteHostIP(), "127.0.0.1"); // the sender of the last one taken
    EXPECT_EQ(control.GetData(), QByteArray());

    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(peer.localPort());
    EXPECT_TRUE(control.SendData(all));
    ASSERT_TRUE(waitUntil([&] { return peer.hasPendingDatagrams(); }));
    EXPECT_EQ(peer.receiveDatagram().data(), all);
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

TEST(UdpSocketControl, FailedBindLeavesTheControlClosed) {
    const struct {
        const char* name;
        const char* address;
        std::optional<QHostAddress::SpecialAddress> taker; // holds the port first
    } rows[] = {
        {"address no adapter holds", "192.0.2.77", std::nullopt},
        {"not an address", "localhost", std::nullopt},
        {"port taken on the same address", "127.0.0.1", QHostAddress::LocalHost},
        {"port taken on the wildcard address", "127.0.0.1", QHostAddress::AnyIPv4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int port = freeUdpPort();
        QUdpSocket other;
        if (row.taker) {
            ASSERT_TRUE(other.bind(QHostAddress(*row.taker), port));
        }
        UdpSocketControl control(0);
        EXPECT_FALSE(control.Bind(port, row.address));
        EXPECT_EQ(control.State(), sckClosed);
        EXPECT_EQ(control.GetData(), QByteArray());
    }
}
