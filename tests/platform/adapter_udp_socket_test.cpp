// The address service's socket over loopback: a failed send is reported with the system's own
// text. (Datagrams both ways on a LAN adapter: system.dhcp_socket_test.)

#include "platform/adapter_udp_socket.h"
#include "support/wait.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {
constexpr Ipv4Address kLoopback(127, 0, 0, 1);
}

TEST(AdapterUdpSocket, AFailedSendIsReportedAfterwardsWithTheSystemsText) {
    AdapterUdpSocket socket;
    EXPECT_FALSE(socket.send("x", kLoopback, 9)) << "not bound";
    ASSERT_TRUE(socket.bind(kLoopback, 0));
    QStringList reasons;
    QObject::connect(&socket, &AdapterUdpSocket::failed,
                     [&](const QString& reason) { reasons << reason; });
    EXPECT_FALSE(socket.send(QByteArray(70000, 'x'), kLoopback, 9)); // too big for a datagram
    EXPECT_TRUE(reasons.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return !reasons.isEmpty(); }));
    EXPECT_EQ(reasons, QStringList{QString::fromLocal8Bit(std::strerror(EMSGSIZE))});
    socket.close();
    socket.close();
    EXPECT_FALSE(socket.isOpen());
}
