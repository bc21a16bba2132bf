// The address server's decisions: which reply goes to whom for each message type, and what
// each message does to the registry. Replies are caught by a fake socket.

#include "address/dhcp_server.h"
#include "support/bytes.h"
#include "support/dhcp_datagram.h"
#include "support/fake_clock.h"
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
    bool send(const QByteArray& datagram, Ipv4Address address, quint16 port) override {
        sent.push_back({address.text(), port, datagram});
        return true;
    }
    std::vector<Sent> sent;
};

// An address probe the test answers by hand.
class FakeAddressProbe final : public AddressProbe {
public:
    void probe(quint32 address, Answer done) override {
        asked.push_back(address & 0xFF);
        waiting.push_back(std::move(done));
    }
    int pending() const override { return static_cast<int>(waiting.size()); }
    void answer(bool inUse, QByteArray holder = bytes({2, 0, 0, 0, 0, 9})) {
        auto done = std::move(waiting.front());
        waiting.erase(waiting.begin());
        done(inUse, inUse ? holder : QByteArray());
    }
    std::vector<quint32> asked; // host numbers
    std::vector<Answer> waiting;
};

enum { kDiscover = 1, kOffer, kRequest, kDecline, kAck, kNack, kRelease, kInform };

const QByteArray kMac = bytes({0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF});
const QString kBothBroadcasts = QStringLiteral("255.255.255.255:68 192.168.11.255:68");
const QString kBroadcast = QStringLiteral("255.255.255.255:68");

QByteArray otherMac(int n) {
    return bytes({2, 0, 0, 0, n >> 8, n & 0xFF});
}
QByteArray discover(const QByteArray& mac = kMac) {
    return DhcpDatagram(mac).type(kDiscover).end();
}
// A REQUEST for 192.168.11.host, by option 50.
QByteArray requestFor(int host, const QByteArray& mac = kMac) {
    return DhcpDatagram(mac).type(kRequest).requested({192, 168, 11, host}).end();
}
// A REQUEST (a RELEASE) of a client that holds 192.168.11.host already (ciaddr).
QByteArray renewal(int host, const QByteArray& mac = kMac, int type = kRequest) {
    return DhcpDatagram(mac).type(type).ciaddr({192, 168, 11, host}).end();
}

class DhcpServerTest : public ::testing::Test {
protected:
    // From 0.0.0.0, as a client without an address sends, unless the test says otherwise.
    void receive(const QByteArray& datagram, const QString& from = QStringLiteral("0.0.0.0")) {
        socket.sent.clear();
        server.handleDatagram(datagram, *Ipv4Address::fromText(from));
    }
    // The message type of the first reply (-1 when none), found after options 1, 3, 252, 6.
    int replyType() const {
        const int at = socket.sent.empty()
                           ? -1
                           : socket.sent[0].datagram.indexOf(QByteArray("\x35\x01", 2), 240);
        return at < 0 ? -1 : static_cast<unsigned char>(socket.sent[0].datagram.at(at + 2));
    }
    int yiaddr() const { // the host number offered, -1 when nothing was sent
        return socket.sent.empty() ? -1 : static_cast<unsigned char>(socket.sent[0].datagram[19]);
    }
    QString targets() const {
        QStringList out;
        for (const Sent& s : socket.sent)
            out << QStringLiteral("%1:%2").arg(s.host).arg(s.port);
        return out.join(QLatin1Char(' '));
    }

    FakeClock clock;
    AllowedList allowed;
    FakeTreeDisplay tree;
    ClientRegistry registry{clock, allowed, &tree};
    FakeDatagramSocket socket;
    DhcpServer server{socket, registry, clock, LanNetwork()}; // 192.168.11.1/24
    FakeAddressProbe probe; // in use after server.setAddressProbe(&probe)
};

} // namespace

TEST_F(DhcpServerTest, RequestIsAnsweredByTheRequestedAddressOrElseByCiaddr) {
    receive(discover()); // the client now holds 100, offered twice alike
    EXPECT_EQ(targets(), kBothBroadcasts);
    EXPECT_EQ(socket.sent[1].datagram, socket.sent[0].datagram);
    const struct {
        const char* name;
        QByteArray datagram;
        int reply;
        QString targets;
    } rows[] = {
        {"requested address equal to the assigned one is acknowledged", requestFor(100), kAck,
         kBothBroadcasts},
        {"another requested address is refused once, by broadcast", requestFor(150), kNack,
         kBroadcast},
        {"a renewing client with clear flags is answered direct and on the segment", renewal(100),
         kAck, QStringLiteral("192.168.11.100:68 192.168.11.255:68")},
        {"the broadcast flag sends the renewal answer to everyone",
         DhcpDatagram().type(kRequest).ciaddr({192, 168, 11, 100}).flags(0x80).end(), kAck,
         kBothBroadcasts},
        {"no requested address and no ciaddr is refused", DhcpDatagram().type(kRequest).end(),
         kNack, kBroadcast},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        receive(row.datagram);
        EXPECT_EQ(replyType(), row.reply);
        EXPECT_EQ(targets(), row.targets);
    }
}

TEST_F(DhcpServerTest, InformGetsNoLeaseAnAckALeaseThatOutlastsSilenceANackTheClientId) {
    receive(DhcpDatagram().type(kInform).ciaddr({192, 168, 11, 100}).flags(0x80).end());
    ASSERT_EQ(socket.sent.size(), 2u);
    EXPECT_EQ(replyType(), kAck);
    EXPECT_EQ(socket.sent[0].datagram.size(), 307);
    EXPECT_FALSE(registry.entries()[0]->leaseEnd.isValid());

    receive(requestFor(100));
    ASSERT_EQ(replyType(), kAck);
    EXPECT_EQ(registry.entries()[0]->leaseEnd, clock.now().addDays(1));
    clock.advanceSeconds(2 * 3600);
    registry.RemoveIdleClients();
    EXPECT_EQ(registry.entries().size(), 1u);

    receive(DhcpDatagram().type(kRequest).option(61, {1, 0, 12, 41, 171, 205, 239}).end());
    ASSERT_EQ(socket.sent.size(), 1u);
    EXPECT_TRUE(socket.sent[0].datagram.endsWith(bytes({61, 7, 1}) + kMac + bytes({255})));
}

TEST_F(DhcpServerTest, DeclineHoldsTheNumberBackAndStrangersChangeNothing) {
    for (int n = 0; n < 200; ++n) {
        const QByteArray stranger = otherMac(0x100 + n);
        receive(DhcpDatagram(stranger).type(kDecline).requested({192, 168, 11, 100}).end());
        receive(renewal(100, stranger, kRelease));
    }
    EXPECT_TRUE(registry.entries().empty());
    receive(discover());
    EXPECT_EQ(yiaddr(), 100);
    receive(DhcpDatagram().type(kDecline).requested({192, 168, 11, 100}).end());
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_TRUE(registry.entries().empty());
    receive(discover());
    EXPECT_EQ(yiaddr(), 101);
}

TEST_F(DhcpServerTest, ReleaseRemovesADeniedClientAndKeepsAnAllowedOne) {
    receive(discover());
    receive(renewal(100, kMac, kRelease), "192.168.11.100");
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_TRUE(registry.entries().empty());

    receive(discover());
    registry.AllowClient(*MacAddress::fromBytes(kMac), QDateTime());
    receive(DhcpDatagram().type(kRelease).end(), "192.168.11.100");
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_TRUE(registry.entries()[0]->away);
    EXPECT_EQ(tree.shown, std::vector<int>{100});
}

TEST_F(DhcpServerTest, MessagesInAPaidClientsNameChangeNothingUnlessTheyHoldTrue) {
    // Each row's client holds a lease and has paid; then a message with its hardware address
    // arrives, twice (the second must not take another probe), and the probe is answered.
    server.setAddressProbe(&probe);
    enum class Probe { NotAsked, Free, ClientItself, AnotherHost };
    const struct {
        const char* name;
        int type;
        int htype;
        bool fromHeldAddress; // else from 192.168.11.50
        Probe answer;
        bool kept;
    } rows[] = {
        {"a DECLINE of a number only the client answers for is false", kDecline, 1, false,
         Probe::ClientItself, true},
        {"a DECLINE of a number nobody answers for is false", kDecline, 1, false, Probe::Free,
         true},
        {"a DECLINE of a number another host answers for is believed", kDecline, 1, false,
         Probe::AnotherHost, false},
        {"a DISCOVER under hardware type 6 is dropped", kDiscover, 6, false, Probe::NotAsked, true},
        {"a DECLINE under hardware type 6 is dropped unprobed", kDecline, 6, false, Probe::NotAsked,
         true},
        {"a RELEASE under hardware type 6 is dropped, even from the held address", kRelease, 6,
         true, Probe::NotAsked, true},
        {"a RELEASE from another address is dropped", kRelease, 1, false, Probe::NotAsked, true},
        {"a RELEASE from the held address ends the lease; a paid entry stays", kRelease, 1, true,
         Probe::NotAsked, true},
    };
    int row = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const QByteArray mac = otherMac(++row);
        const int host = 100 + row;
        const QString address = QStringLiteral("192.168.11.%1").arg(host);
        allowed.add(mac, QDateTime());
        receive(requestFor(host, mac));
        ASSERT_EQ(replyType(), kAck);
        const ClientEntry before = *registry.findByHardwareAddress(mac);
        clock.advanceSeconds(60);

        DhcpDatagram message(mac);
        message.htype(r.htype).type(r.type);
        if (r.type == kRelease)
            message.ciaddr({192, 168, 11, host});
        else
            message.requested({192, 168, 11, host});
        const QString from = r.fromHeldAddress ? address : QStringLiteral("192.168.11.50");
        receive(message.end(), from);
        receive(message.end(), from);
        EXPECT_TRUE(socket.sent.empty());
        EXPECT_EQ(probe.waiting.size(), r.answer == Probe::NotAsked ? 0u : 1u);
        if (r.answer != Probe::NotAsked && !probe.waiting.empty()) {
            EXPECT_EQ(probe.asked.back(), quint32(host));
            probe.answer(r.answer != Probe::Free,
                         r.answer == Probe::ClientItself ? mac : otherMac(999));
        }

        const ClientEntry* entry = registry.findByHardwareAddress(mac);
        EXPECT_EQ(entry != nullptr, r.kept);
        if (!entry)
            continue;
        EXPECT_EQ(entry->hostNumber, host);
        if (r.type == kRelease && r.fromHeldAddress && r.htype == 1) {
            EXPECT_TRUE(entry->leaseEnd.isNull());
            EXPECT_TRUE(entry->away);
            continue;
        }
        EXPECT_EQ(entry->lastSeen, before.lastSeen);
        EXPECT_EQ(entry->leaseEnd, before.leaseEnd);
        EXPECT_TRUE(registry.IsClientAllowed(*Ipv4Address::fromText(address))); // still paid
    }
}

// So a flood of newcomers cannot queue probes without end; the next one is probed again.
TEST_F(DhcpServerTest, WithEveryProbeTakenANewcomersDiscoverIsDropped) {
    server.setAddressProbe(&probe);
    for (int n = 1; n <= DhcpServer::kMaxPendingProbes + 1; ++n)
        receive(discover(otherMac(n)));
    EXPECT_TRUE(socket.sent.empty());
    EXPECT_EQ(probe.asked.size(), size_t(DhcpServer::kMaxPendingProbes));
    probe.answer(false);
    receive(discover(otherMac(DhcpServer::kMaxPendingProbes + 1)));
    EXPECT_EQ(probe.asked.size(), size_t(DhcpServer::kMaxPendingProbes) + 1);
}

TEST_F(DhcpServerTest, ANumberProbedFreeWithinTheLastMinuteIsNotProbedAgain) {
    // So a flood of one-off newcomers cannot keep every probe busy and starve a real client.
    server.setAddressProbe(&probe);
    const struct {
        qint64 msAfterTheProbe;
        bool probedAgain;
    } rows[] = {{0, false}, {59999, false}, {60000, true}};
    int client = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.msAfterTheProbe);
        clock.advanceSeconds(61); // nothing remembered from the row before
        const QByteArray first = otherMac(++client);
        receive(discover(first));
        ASSERT_FALSE(probe.waiting.empty());
        probe.answer(false);
        receive(renewal(100, first, kRelease), "192.168.11.100");
        ASSERT_TRUE(registry.entries().empty());
        clock.advanceMs(row.msAfterTheProbe);
        const size_t asked = probe.asked.size();
        receive(discover(otherMac(++client)));
        EXPECT_EQ(probe.asked.size(), asked + (row.probedAgain ? 1 : 0));
        EXPECT_EQ(socket.sent.empty(), row.probedAgain);
        if (row.probedAgain)
            probe.answer(false);
        EXPECT_EQ(yiaddr(), 100);
        receive(renewal(100, otherMac(client), kRelease), "192.168.11.100");
    }
}

TEST_F(DhcpServerTest, ANumberUnderProbeIsNotTakenByAFlood) {
    server.setAddressProbe(&probe);
    receive(discover()); // .100 is being probed for this client
    for (int n = 1; n <= 154; ++n)
        receive(requestFor(100 + n, otherMac(n)));
    receive(discover(otherMac(0x100)));
    EXPECT_EQ(probe.asked.size(), 1u); // nothing left to offer the newcomer
    probe.answer(false);
    ASSERT_EQ(socket.sent.size(), 2u);
    EXPECT_EQ(yiaddr(), 100);
}
