// The address server's decisions: which reply goes to whom for each message type, and what
// each message does to the registry. Replies are caught by a fake socket.

#include "address/dhcp_server.h"
#include "support/dhcp_datagram.h"
#include "support/fake_clock.h"
#include "support/fake_message_box.h"
#include "support/fake_tree_display.h"

#include <gtest/gtest.h>

namespace {

struct Sent {
    QString host;
    int port;
    QByteArray datagram;
};

class FakeDatagramSocket final : public DatagramSocket {
public:
    void setRemoteHost(const QString& host) override { host_ = host; }
    void setRemotePort(int port) override { port_ = port; }
    bool SendData(const QByteArray& datagram) override {
        if (failSends)
            return false;
        sent.push_back({host_, port_, datagram});
        return true;
    }
    std::vector<Sent> sent;
    bool failSends = false;

private:
    QString host_;
    int port_ = 0;
};

enum {
    kDiscover = 1,
    kOffer = 2,
    kRequest = 3,
    kDecline = 4,
    kAck = 5,
    kNack = 6,
    kRelease = 7,
    kInform = 8
};

class DhcpServerTest : public ::testing::Test {
protected:
    void receive(const QByteArray& datagram) {
        socket.sent.clear();
        server.handleDatagram(datagram, socket);
    }
    static int replyType(const Sent& sent) {
        // Options start at 240; the message type block 35 01 t follows 1, 3 and (OFFER, ACK)
        // 252 and 6.
        const int at = sent.datagram.indexOf(QByteArray("\x35\x01", 2), 240);
        return at < 0 ? -1 : static_cast<unsigned char>(sent.datagram.at(at + 2));
    }
    static QString yiaddr(const Sent& sent) {
        const QByteArray& d = sent.datagram;
        return QStringLiteral("%1.%2.%3.%4")
            .arg(static_cast<unsigned char>(d[16]))
            .arg(static_cast<unsigned char>(d[17]))
            .arg(static_cast<unsigned char>(d[18]))
            .arg(static_cast<unsigned char>(d[19]));
    }
    QStringList targets() const {
        QStringList out;
        for (const Sent& s : socket.sent)
            out << QStringLiteral("%1:%2").arg(s.host).arg(s.port);
        return out;
    }

    FakeClock clock;
    AllowedList allowed;
    FakeTreeDisplay tree;
    ClientRegistry registry{clock, allowed, &tree};
    FakeMessageBox messages;
    ControlArray<UdpSocketControl> dhcp;
    QByteArray gatewayAddress{"\xC0\xA8\x0B\x01", 4};
    QString broadcastHost{QStringLiteral("255.255.255.255")};
    DhcpServer server{dhcp, registry, messages, gatewayAddress, broadcastHost};
    FakeDatagramSocket socket;
};

const QStringList kBothBroadcasts = {QStringLiteral("255.255.255.255:68"),
                                     QStringLiteral("192.168.11.255:68")};

} // namespace

TEST_F(DhcpServerTest, DiscoverFromANewClientIsOfferedTheFirstNumberTwice) {
    receive(DhcpDatagram().type(kDiscover).end());
    ASSERT_EQ(socket.sent.size(), 2u);
    EXPECT_EQ(targets(), kBothBroadcasts);
    EXPECT_EQ(replyType(socket.sent[0]), kOffer);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.100"));
    EXPECT_EQ(socket.sent[0].datagram.mid(20, 4), gatewayAddress); // siaddr
    EXPECT_EQ(socket.sent[0].datagram.mid(12, 4), QByteArray(4, '\0'));
    EXPECT_EQ(socket.sent[0].datagram.size(), 313);
    EXPECT_EQ(socket.sent[1].datagram, socket.sent[0].datagram);
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(registry.entries()[0]->macText, QStringLiteral("00 0C 29 AB CD EF "));

    receive(DhcpDatagram().type(kDiscover).end());
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.100"));
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x01", 6)).type(kDiscover).end());
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.101"));
}

TEST_F(DhcpServerTest, RequestIsAnsweredByTheRequestedAddressOrElseByCiaddr) {
    receive(DhcpDatagram().type(kDiscover).end()); // the client now holds 100
    struct Row {
        const char* name;
        QByteArray datagram;
        int reply;
        QStringList targets;
    };
    const Row rows[] = {
        {"requested address equal to the assigned one is acknowledged",
         DhcpDatagram().type(kRequest).requested({192, 168, 11, 100}).end(), kAck, kBothBroadcasts},
        {"another requested address is refused once, by broadcast",
         DhcpDatagram().type(kRequest).requested({192, 168, 11, 150}).end(),
         kNack,
         {QStringLiteral("255.255.255.255:68")}},
        {"a renewing client with clear flags is answered direct and on the segment",
         DhcpDatagram().type(kRequest).ciaddr({192, 168, 11, 100}).end(),
         kAck,
         {QStringLiteral("192.168.11.100:68"), QStringLiteral("192.168.11.255:68")}},
        {"the broadcast flag sends the renewal answer to everyone",
         DhcpDatagram().type(kRequest).ciaddr({192, 168, 11, 100}).flags(0x80).end(), kAck,
         kBothBroadcasts},
        {"no requested address and no ciaddr is refused",
         DhcpDatagram().type(kRequest).end(),
         kNack,
         {QStringLiteral("255.255.255.255:68")}},
        {"a ciaddr in another 192 network is answered direct",
         DhcpDatagram().type(kRequest).ciaddr({192, 168, 1, 7}).end(),
         kNack,
         {QStringLiteral("192.168.1.7:68")}},
        {"any other first flags byte means broadcast",
         DhcpDatagram().type(kRequest).ciaddr({192, 168, 11, 100}).flags(0x01).end(), kAck,
         kBothBroadcasts},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        receive(row.datagram);
        ASSERT_FALSE(socket.sent.empty());
        EXPECT_EQ(replyType(socket.sent[0]), row.reply);
        EXPECT_EQ(targets(), row.targets);
    }
}

TEST_F(DhcpServerTest, AckStartsALeaseThatKeepsTheNumberThroughSilence) {
    receive(DhcpDatagram().type(kRequest).requested({192, 168, 11, 100}).end());
    ASSERT_EQ(replyType(socket.sent[0]), kAck);
    ClientEntry* entry = registry.entries()[0].get();
    EXPECT_EQ(entry->leaseEnd, clock.now().addDays(1));
    clock.advanceSeconds(2 * 3600);
    registry.RemoveIdleClients();
    EXPECT_EQ(registry.entries().size(), 1u);
}

TEST_F(DhcpServerTest, NackCopiesTheClientIdentifier) {
    receive(DhcpDatagram().type(kRequest).option(61, {1, 0, 12, 41, 171, 205, 239}).end());
    ASSERT_EQ(socket.sent.size(), 1u);
    EXPECT_TRUE(socket.sent[0].datagram.endsWith(
        QByteArray("\x3D\x07\x01\x00\x0C\x29\xAB\xCD\xEF\xFF", 10)));
}

TEST_F(DhcpServerTest, InformGetsAnAckWithoutLeaseTime) {
    receive(DhcpDatagram().type(kInform).ciaddr({192, 168, 11, 100}).flags(0x80).end());
    ASSERT_EQ(socket.sent.size(), 2u);
    EXPECT_EQ(replyType(socket.sent[0]), kAck);
    EXPECT_EQ(socket.sent[0].datagram.size(), 307);
    EXPECT_FALSE(registry.entries()[0]->leaseEnd.isValid());
}

TEST_F(DhcpServerTest, DeclineGetsNoReplyAndTheNextDiscoverAnotherNumber) {
    receive(DhcpDatagram().type(kDiscover).end());
    receive(DhcpDatagram().type(kDecline).requested({192, 168, 11, 100}).end());
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_TRUE(registry.entries().empty());
    receive(DhcpDatagram().type(kDiscover).end());
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.101"));
}

TEST_F(DhcpServerTest, ReleaseRemovesADeniedClientAndKeepsAnAllowedOne) {
    receive(DhcpDatagram().type(kDiscover).end());
    receive(DhcpDatagram().type(kRelease).ciaddr({192, 168, 11, 100}).end());
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_TRUE(registry.entries().empty());

    registry.AllowClient(QStringLiteral("00 0C 29 AB CD EF "), 1);
    receive(DhcpDatagram().type(kRelease).end());
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(registry.entries()[0]->rootPicture, 6);
    EXPECT_EQ(tree.nodeCount(), 5);
}

TEST_F(DhcpServerTest, OtherMessageTypesRegisterButGetNoReply) {
    int mac = 1;
    for (int type : {int(kOffer), int(kAck), int(kNack), 9, 200}) {
        SCOPED_TRACE(type);
        receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00", 5) + char(mac++)).type(type).end());
        EXPECT_TRUE(socket.sent.empty());
    }
    EXPECT_EQ(registry.entries().size(), 5u);
}

TEST_F(DhcpServerTest, JunkNeverReachesTheRegistry) {
    const QByteArray good = DhcpDatagram().type(kDiscover).end();
    QByteArray reply = good;
    reply[0] = 2;
    QByteArray noCookie = good;
    noCookie[236] = 0;
    for (const QByteArray& junk : {QByteArray(), good.left(12), good.left(17), good.left(239),
                                   reply, noCookie, DhcpDatagram().end()}) {
        receive(junk);
        EXPECT_TRUE(socket.sent.empty());
    }
    EXPECT_TRUE(registry.entries().empty());
}

TEST_F(DhcpServerTest, EmptyHardwareAddressIsServedButNeverAllowed) {
    receive(DhcpDatagram(QByteArray()).type(kDiscover).end());
    ASSERT_EQ(socket.sent.size(), 2u);
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(registry.entries()[0]->macText, QString());
    allowed.add(QByteArray(), QDateTime());
    EXPECT_FALSE(registry.IsClientAllowed(QStringLiteral("192.168.11.100")));
}

TEST_F(DhcpServerTest, AFailedSendSendsNoSecondCopy) {
    socket.failSends = true;
    receive(DhcpDatagram().type(kRequest).requested({192, 168, 11, 100}).end());
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_FALSE(registry.entries()[0]->leaseEnd.isValid());
}

TEST_F(DhcpServerTest, AFullSegmentGetsNoOffer) {
    for (int n = 0; n < 155; ++n) {
        QByteArray mac("\x02\x00\x00\x00\x00", 5);
        mac.append(static_cast<char>(n));
        receive(DhcpDatagram(mac).type(kRequest).requested({192, 168, 11, 100 + n}).end());
        ASSERT_EQ(replyType(socket.sent[0]), kAck);
    }
    receive(DhcpDatagram().type(kDiscover).end());
    EXPECT_TRUE(socket.sent.empty());
}

TEST_F(DhcpServerTest, SocketErrorsShowOneBoxAtATime) {
    server.DHCP_Error(0, 10054, QStringLiteral("reset"));
    server.DHCP_Error(0, 10054, QStringLiteral("reset"));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, QStringLiteral("Error"));
    EXPECT_EQ(messages.shown[0].title, QStringLiteral("Tarnix Gateway"));
    messages.answerLast(true);
    server.DHCP_Error(0, 10054, QStringLiteral("reset"));
    EXPECT_EQ(messages.shown.size(), 2u);
}

namespace {

// An address probe the test answers by hand.
class FakeAddressProbe final : public AddressProbe {
public:
    void probe(quint32 address, Answer done) override {
        asked.push_back(address & 0xFF);
        waiting.push_back(std::move(done));
    }
    int pending() const override { return static_cast<int>(waiting.size()); }
    void answer(bool inUse, QByteArray holder = QByteArray("\x02\x00\x00\x00\x00\x09", 6)) {
        auto done = std::move(waiting.front());
        waiting.erase(waiting.begin());
        done(inUse, inUse ? holder : QByteArray());
    }
    std::vector<quint32> asked; // host numbers
    std::vector<Answer> waiting;
};

} // namespace

TEST_F(DhcpServerTest, ANewNumberIsOfferedOnlyWhenNoHostAnswersForIt) {
    FakeAddressProbe probe;
    server.setAddressProbe(&probe);
    receive(DhcpDatagram().type(kDiscover).end());
    EXPECT_TRUE(socket.sent.empty()); // waits for the probe
    ASSERT_EQ(probe.asked, std::vector<quint32>({100}));

    probe.answer(true); // a host still holds .100 (a lease from before a restart)
    ASSERT_EQ(probe.asked, std::vector<quint32>({100, 101}));
    probe.answer(false);
    ASSERT_EQ(socket.sent.size(), 2u);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.101"));

    // .100 stays held back for others, and the known client is not probed again.
    receive(DhcpDatagram().type(kDiscover).end());
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.101"));
    EXPECT_EQ(probe.asked.size(), 2u);
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x01", 6)).type(kDiscover).end());
    EXPECT_EQ(probe.asked.back(), 102u);
}

TEST_F(DhcpServerTest, ProbingGivesUpAfterAFewAnsweredNumbers) {
    FakeAddressProbe probe;
    server.setAddressProbe(&probe);
    receive(DhcpDatagram().type(kDiscover).end());
    for (int attempt = 0; attempt < DhcpServer::kMaxProbeAttempts; ++attempt)
        probe.answer(true);
    EXPECT_TRUE(probe.waiting.empty());
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_TRUE(registry.entries().empty());
}

TEST_F(DhcpServerTest, AfterARestartAClientKeepsTheNumberItHolds) {
    FakeAddressProbe probe;
    server.setAddressProbe(&probe);
    // The registry starts empty; the client renews .150 (unicast, ciaddr) or reboots asking
    // for .151: each is given back its number, without a probe (it answers for it itself).
    receive(DhcpDatagram().type(kRequest).ciaddr({192, 168, 11, 150}).end());
    ASSERT_FALSE(socket.sent.empty());
    EXPECT_EQ(replyType(socket.sent[0]), kAck);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.150"));
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x01", 6))
                .type(kRequest)
                .requested({192, 168, 11, 151})
                .end());
    EXPECT_EQ(replyType(socket.sent[0]), kAck);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.151"));
    // A number held by another entry is not given away: that client gets a NACK.
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x02", 6))
                .type(kRequest)
                .requested({192, 168, 11, 150})
                .end());
    EXPECT_EQ(replyType(socket.sent[0]), kNack);
    // Outside 100..254 nothing is preferred.
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x03", 6))
                .type(kRequest)
                .requested({192, 168, 11, 20})
                .end());
    EXPECT_EQ(replyType(socket.sent[0]), kNack);
    EXPECT_TRUE(probe.asked.empty());
}

TEST_F(DhcpServerTest, DeclinesAndReleasesFromStrangersChangeNothing) {
    for (int n = 0; n < 200; ++n) {
        QByteArray mac("\x02\x00\x00\x00\x01", 5);
        mac.append(static_cast<char>(n));
        receive(DhcpDatagram(mac).type(kDecline).requested({192, 168, 11, 100}).end());
        receive(DhcpDatagram(mac).type(kRelease).ciaddr({192, 168, 11, 100}).end());
    }
    EXPECT_TRUE(registry.entries().empty());
    receive(DhcpDatagram().type(kDiscover).end());
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.100"));
}

TEST_F(DhcpServerTest, TheHostThatAnsweredTheProbeGetsItsNumberBack) {
    FakeAddressProbe probe;
    server.setAddressProbe(&probe);
    // After a restart a newcomer's probe of .100 is answered by the host that leased it.
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x05", 6)).type(kDiscover).end());
    probe.answer(true, QByteArray("\x00\x0C\x29\xAB\xCD\xEF", 6));
    probe.answer(false);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.101"));
    // That host renews .100 and keeps it; anyone else asking for .100 does not get it.
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x00\x06", 6))
                .type(kRequest)
                .requested({192, 168, 11, 100})
                .end());
    EXPECT_EQ(replyType(socket.sent[0]), kNack);
    receive(DhcpDatagram().type(kRequest).ciaddr({192, 168, 11, 100}).end());
    EXPECT_EQ(replyType(socket.sent[0]), kAck);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.100"));
}

TEST_F(DhcpServerTest, ANumberUnderProbeIsNotTakenByAFlood) {
    FakeAddressProbe probe;
    server.setAddressProbe(&probe);
    receive(DhcpDatagram().type(kDiscover).end()); // .100 is being probed for this client
    for (int n = 1; n <= 154; ++n) {
        QByteArray mac("\x02\x00\x00\x00\x00", 5);
        mac.append(static_cast<char>(n));
        receive(DhcpDatagram(mac).type(kRequest).requested({192, 168, 11, 100 + n}).end());
    }
    receive(DhcpDatagram(QByteArray("\x02\x00\x00\x00\x01\x00", 6)).type(kDiscover).end());
    EXPECT_EQ(probe.asked.size(), 1u); // nothing left to offer the newcomer
    probe.answer(false);
    ASSERT_EQ(socket.sent.size(), 2u);
    EXPECT_EQ(yiaddr(socket.sent[0]), QStringLiteral("192.168.11.100"));
}
