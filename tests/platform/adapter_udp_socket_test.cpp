// The address service's socket over loopback: whole datagrams both ways with their sender,
// failures with the system's own text, binds that cannot be had.

#include "platform/adapter_udp_socket.h"
#include "support/bytes.h"
#include "support/wait.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <cstring>
#include <gtest/gtest.h>

namespace {
constexpr Ipv4Address kLoopback(127, 0, 0, 1);
}

TEST(AdapterUdpSocket, WholeDatagramsOfEveryByteValuePassBothWays) {
    AdapterUdpSocket socket;
    ASSERT_TRUE(socket.bind(kLoopback, 0));
    QList<QByteArray> received;
    QList<Ipv4Address> senders;
    QObject::connect(&socket, &AdapterUdpSocket::received,
                     [&](const QByteArray& datagram, Ipv4Address sender) {
                         received << datagram;
                         senders << sender;
                     });
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    const QByteArray all = everyByteValue();
    peer.writeDatagram(all, QHostAddress::LocalHost, socket.localPort());
    peer.writeDatagram("second!", QHostAddress::LocalHost, socket.localPort());
    ASSERT_TRUE(waitUntil([&] { return received.size() >= 2; }));
    EXPECT_EQ(received, (QList<QByteArray>{all, "second!"}));
    EXPECT_EQ(senders, (QList<Ipv4Address>{kLoopback, kLoopback}));

    EXPECT_TRUE(socket.send(all, kLoopback, peer.localPort()));
    ASSERT_TRUE(waitUntil([&] { return peer.hasPendingDatagrams(); }));
    EXPECT_EQ(peer.receiveDatagram().data(), all);
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
