// The client registry: host numbering on the segment, the allowance check, the idle sweep,
// lease-driven removal, and the display that mirrors every entry as five nodes.

#include "common/hex_string.h"
#include "registry/client_registry.h"
#include "support/fake_clock.h"
#include "support/fake_tree_display.h"

#include <QLocale>
#include <gtest/gtest.h>
#include <optional>

namespace {

QByteArray macRaw(int a, int b = 0) {
    return QByteArray::fromHex("000C29") + QByteArray(1, char(0x10)) + QByteArray(1, char(a)) +
           QByteArray(1, char(b));
}
QString mac(int a, int b = 0) {
    return HexString(macRaw(a, b));
}
QString addressOf(int n) {
    return QStringLiteral("192.168.11.%1").arg(n);
}

class ClientRegistryTest : public ::testing::Test {
protected:
    // The display holds exactly the registry's entries, in order, node for node.
    void expectMirrored() {
        ASSERT_EQ(display.nodeCount(), registry.NodeCount());
        ASSERT_EQ(registry.NodeCount(), static_cast<int>(registry.entries().size()) * 5);
        for (size_t i = 0; i < registry.entries().size(); ++i) {
            const ClientEntry& e = *registry.entries()[i];
            SCOPED_TRACE(e.key.toStdString());
            EXPECT_EQ(e.key, QStringLiteral("K%1").arg(e.hostNumber));
            EXPECT_EQ(e.address, addressOf(e.hostNumber));
            const TreeNode* nodes = &display.nodes()[i * 5];
            EXPECT_EQ(nodes[0].key, e.key);
            const QString texts[] = {e.macText, e.address, generalDateText(e.lastSeen), e.expiry,
                                     e.access};
            const int pictures[] = {e.rootPicture, 2, 4, 3, 5};
            for (int c = 0; c < 5; ++c) {
                EXPECT_EQ(nodes[c].text, texts[c]);
                EXPECT_EQ(nodes[c].picture, pictures[c]);
                EXPECT_EQ(nodes[c].key.isEmpty(), c > 0);
            }
        }
    }
    void TearDown() override { expectMirrored(); }

    // An entry's number, picture, access, expiry and when it was last seen, in one line.
    QString describe(const ClientEntry* e) const {
        const QString seen = e->lastSeen.isNull()         ? QStringLiteral("never seen")
                             : e->lastSeen == clock.now() ? QStringLiteral("seen now")
                                                          : QStringLiteral("seen before");
        return QStringLiteral("%1 pic%2 %3|%4|%5")
            .arg(e->hostNumber)
            .arg(e->rootPicture)
            .arg(e->access, e->expiry, seen);
    }

    std::vector<int> hostNumbers() const {
        std::vector<int> out;
        for (const auto& e : registry.entries())
            out.push_back(e->hostNumber);
        return out;
    }

    FakeClock clock;
    AllowedList allowed;
    FakeTreeDisplay display;
    ClientRegistry registry{clock, allowed, &display};
};

} // namespace

TEST_F(ClientRegistryTest, EmptyRegistryKnowsNoClientAndFirstGetsK100) {
    EXPECT_FALSE(registry.IsClientAllowed(addressOf(100)));
    EXPECT_EQ(registry.GetClientMac(addressOf(100)), QString());
    EXPECT_EQ(registry.NodeCount(), 0);

    ClientEntry* e = registry.RegisterClient(mac(1));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(describe(e), "100 pic1 Access Denied||seen now");
    EXPECT_EQ(e->key, QStringLiteral("K100"));
    EXPECT_EQ(e->address, QStringLiteral("192.168.11.100"));
    EXPECT_EQ(display.adds, 1);
    EXPECT_EQ(registry.GetClientMac(addressOf(100)), QStringLiteral("000C29100100"));
    EXPECT_EQ(registry.GetClientMac(addressOf(101)), QString());
}

TEST_F(ClientRegistryTest, NumbersAscendAndAFreedNumberIsReusedAtTheEnd) {
    EXPECT_EQ(registry.RegisterClient(mac(1))->hostNumber, 100);
    EXPECT_EQ(registry.RegisterClient(mac(2))->hostNumber, 101);
    EXPECT_EQ(registry.RegisterClient(mac(3))->hostNumber, 102);
    registry.ReleaseClient(registry.findByMac(mac(1))); // denied: removed
    expectMirrored();
    EXPECT_EQ(registry.RegisterClient(mac(4))->hostNumber, 100);
    EXPECT_EQ(hostNumbers(), (std::vector<int>{101, 102, 100}));
    EXPECT_EQ(display.rootKeys(), (std::vector<QString>{"K101", "K102", "K100"}));
}

TEST_F(ClientRegistryTest, SameMacIsTheSameEntrySeenAgainAndARefusalMarksItSeen) {
    ClientEntry* first = registry.RegisterClient(mac(1));
    clock.advanceSeconds(30);
    ClientEntry* again = registry.RegisterClient(mac(1), false);
    EXPECT_EQ(first, again);
    EXPECT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(again->lastSeen, clock.now());
    EXPECT_FALSE(again->ethernet);
    EXPECT_EQ(display.entry("K100")[2].text, generalDateText(clock.now()));

    clock.advanceSeconds(90);
    EXPECT_FALSE(registry.IsClientAllowed(addressOf(100)));
    EXPECT_EQ(again->lastSeen, clock.now());
    EXPECT_EQ(display.entry("K100")[2].text, generalDateText(clock.now()));
}

// A feed record gives no address: only a client that comes onto the LAN gets an entry, and
// then it shows its allowance at once. And the neighbour table has the last word on who is at
// an address.
TEST_F(ClientRegistryTest, AllowanceShowsOnlyOnceTheClientComesAndOnlyForItsOwnHardware) {
    registry.AllowClient(mac(2), 9999);
    EXPECT_TRUE(registry.entries().empty());
    allowed.add(macRaw(2), QDateTime());
    allowed.add(macRaw(3), clock.now().addDays(1));
    clock.advanceSeconds(5);
    EXPECT_EQ(describe(registry.RegisterClient(mac(2))), "100 pic1 Allowed|Never Expires|seen now");
    EXPECT_EQ(describe(registry.RegisterClient(mac(3))),
              "101 pic1 Allowed|" + generalDateText(clock.now().addDays(1).addSecs(-5)) +
                  "|seen now");

    EXPECT_TRUE(registry.IsClientAllowed(addressOf(100)));
    EXPECT_TRUE(registry.IsClientAllowed(addressOf(100), macRaw(2)));
    EXPECT_FALSE(registry.IsClientAllowed(addressOf(100), macRaw(9))); // an impostor
    EXPECT_EQ(registry.GetClientMac(addressOf(100), macRaw(2)), QStringLiteral("000C29100200"));
    EXPECT_EQ(registry.GetClientMac(addressOf(100), macRaw(9)), QString());
}

TEST_F(ClientRegistryTest, AllowingAKnownClientLeavesPictureAddressAndLastSeen) {
    ClientEntry* e = registry.RegisterClient(mac(1));
    const QDateTime seen = e->lastSeen;
    clock.advanceSeconds(60);
    registry.AllowClient(mac(1), 1);
    EXPECT_EQ(describe(e),
              "100 pic1 Allowed|" + generalDateText(clock.now().addDays(1)) + "|seen before");
    EXPECT_EQ(e->lastSeen, seen);
    EXPECT_EQ(display.entry("K100")[4].text, QStringLiteral("Allowed"));
}

TEST_F(ClientRegistryTest, ExpiryTextFollowsTheDays) {
    const QDateTime now = clock.now();
    const struct {
        const char* name;
        double days;
        QString expiry;
    } rows[] = {
        {"9999 never expires", 9999, QStringLiteral("Never Expires")},
        {"9998 is a date", 9998, generalDateText(now.addDays(9998))},
        {"one day", 1, generalDateText(now.addDays(1))},
        {"half a day is twelve hours", 0.5, generalDateText(now.addSecs(12 * 3600))},
        {"parts of a second round to whole seconds", 1.0 / 86400 * 0.6,
         generalDateText(now.addSecs(1))},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        registry.RegisterClient(mac(++n));
        registry.AllowClient(mac(n), row.days);
        EXPECT_EQ(registry.findByMac(mac(n))->expiry, row.expiry);
    }
}

TEST(ClientRegistryDateText, ShortDateAndTimeWithSecondsWithoutZone) {
    const QDateTime t(QDate(2026, 12, 6), QTime(9, 5, 7));
    const QString text = generalDateText(t);
    EXPECT_TRUE(text.startsWith(QLocale::system().toString(t.date(), QLocale::ShortFormat) + ' '))
        << text.toStdString();
    EXPECT_NE(text, generalDateText(t.addSecs(1))); // seconds are shown
    EXPECT_FALSE(text.contains(t.timeZoneAbbreviation())) << text.toStdString();
    EXPECT_EQ(text, text.trimmed());
    EXPECT_EQ(generalDateText(QDateTime()), QString());
}

// The allowed list holds 000C29-10-01-00 and 000C29-10-02-00, with allowances of their own.
TEST(ClientRegistryAllowance, OnlyAWholeListedEthernetAddressWithARunningAllowance) {
    const struct {
        const char* name;
        QString macText;
        bool ethernet;
        std::optional<qint64> endInSeconds; // allowance of the client's own address
        bool allowed;
    } rows[] = {
        {"listed, never expires", mac(1), true, std::nullopt, true},
        {"listed, one second left", mac(1), true, 1, true},
        {"allowance ended now", mac(1), true, 0, false},
        {"allowance ended an hour ago", mac(1), true, -3600, false},
        {"not listed", mac(3), true, std::nullopt, false},
        {"empty hardware address", QString(), true, std::nullopt, false},
        {"tail of one listed address and head of the next", QStringLiteral("10 01 00 00 0C 29 "),
         true, std::nullopt, false},
        {"first five bytes of a listed address", mac(1).left(15), true, std::nullopt, false},
        {"listed address and one byte more", mac(1) + QStringLiteral("00 "), true, std::nullopt,
         false},
        {"listed address on a non-ethernet client", mac(1), false, std::nullopt, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeClock clock;
        AllowedList allowed;
        const QDateTime end =
            row.endInSeconds ? clock.now().addSecs(*row.endInSeconds) : QDateTime();
        allowed.add(macRaw(1), end);
        allowed.add(macRaw(2), QDateTime());
        allowed.add(QByteArray(), QDateTime()); // a blank line in the feed admits no one
        ClientRegistry registry(clock, allowed);
        ClientEntry* e = registry.RegisterClient(row.macText, row.ethernet);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(registry.IsClientAllowed(e->address), row.allowed);
    }
}

TEST(AllowedList, ExactKeysAndEnds) {
    const QDateTime now(QDate(2026, 12, 6), QTime(12, 0, 0));
    AllowedList list;
    EXPECT_TRUE(list.isEmpty());
    list.add(macRaw(1), QDateTime());
    list.add(macRaw(2), now.addSecs(10));
    EXPECT_EQ(list.size(), 2);
    EXPECT_TRUE(list.isAllowed(macRaw(1), now.addYears(50)));
    EXPECT_TRUE(list.isAllowed(macRaw(2), now.addSecs(9)));
    EXPECT_FALSE(list.isAllowed(macRaw(2), now.addSecs(10)));
    EXPECT_FALSE(list.isAllowed(macRaw(1).mid(1), now));
    EXPECT_FALSE(list.isAllowed(macRaw(1).right(3) + macRaw(2).left(3), now));
    EXPECT_FALSE(list.isAllowed(QByteArray(), now));
    list.clear();
    EXPECT_EQ(list.size(), 0);
    EXPECT_FALSE(list.isAllowed(macRaw(1), now));
}

TEST_F(ClientRegistryTest, IdleSweepTakesOnlySilentDeniedClientsWithoutALease) {
    const struct {
        const char* name;
        bool allow;
        bool lease;
        qint64 silentMinutes;
        bool kept;
    } rows[] = {
        {"denied, silent 59 minutes", false, false, 59, true},
        {"denied, silent exactly an hour", false, false, 60, true},
        {"denied, silent 61 minutes", false, false, 61, false},
        {"allowed, silent two hours", true, false, 120, true},
        {"denied, lease still runs after two hours", false, true, 120, true},
        {"denied, lease ran out exactly a day after", false, true, 24 * 60, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeClock clock;
        AllowedList allowed;
        FakeTreeDisplay display;
        ClientRegistry registry(clock, allowed, &display);
        ClientEntry* e = registry.RegisterClient(mac(1));
        if (row.allow)
            registry.AllowClient(mac(1), 1);
        if (row.lease)
            registry.LeaseGranted(e);
        clock.advanceSeconds(row.silentMinutes * 60);
        registry.RemoveIdleClients();
        EXPECT_EQ(registry.findByMac(mac(1)) != nullptr, row.kept);
        EXPECT_EQ(display.nodeCount(), registry.NodeCount());
    }
}

TEST_F(ClientRegistryTest, IdleSweepRemovesEveryIdleEntryAndKeepsTheOrder) {
    registry.RegisterClient(mac(1));
    registry.RegisterClient(mac(2));
    registry.AllowClient(mac(2), 9999); // allowed: survives
    registry.RegisterClient(mac(3));
    registry.RegisterClient(mac(4));
    clock.advanceSeconds(61 * 60);
    registry.RegisterClient(mac(3)); // heard from again
    registry.RemoveIdleClients();
    EXPECT_EQ(hostNumbers(), (std::vector<int>{101, 102}));
    EXPECT_EQ(display.removes, 2);
}

TEST_F(ClientRegistryTest, ReleaseKeepsAllowedEntriesAndRemovesDeniedOnes) {
    ClientEntry* a = registry.RegisterClient(mac(1));
    ClientEntry* d = registry.RegisterClient(mac(2));
    registry.AllowClient(mac(1), 9999);
    registry.LeaseGranted(a);
    registry.LeaseGranted(d);
    registry.ReleaseClient(a);
    EXPECT_EQ(a->rootPicture, 6);
    EXPECT_TRUE(a->leaseEnd.isNull());
    EXPECT_EQ(display.entry("K100")[0].picture, 6);
    registry.ReleaseClient(d);
    EXPECT_EQ(registry.findByMac(mac(2)), nullptr);
    expectMirrored();
    EXPECT_EQ(registry.RegisterClient(mac(3))->hostNumber, 101);
}

TEST_F(ClientRegistryTest, DeclinedNumberIsHeldBackForAnHour) {
    registry.RegisterClient(mac(1));
    registry.RegisterClient(mac(2));
    registry.DeclineClient(registry.findByMac(mac(1)));
    EXPECT_EQ(registry.findByMac(mac(1)), nullptr);
    EXPECT_EQ(registry.RegisterClient(mac(1))->hostNumber, 102); // not even the same client
    clock.advanceSeconds(59 * 60);
    EXPECT_EQ(registry.RegisterClient(mac(3))->hostNumber, 103);
    clock.advanceSeconds(60);
    EXPECT_EQ(registry.RegisterClient(mac(4))->hostNumber, 100);
}

TEST_F(ClientRegistryTest, FullSegmentEvictsTheLongestUnseenEntryWithoutALease) {
    for (int i = 0; i < 153; ++i) // 100..252, all seen at the same moment
        ASSERT_NE(registry.RegisterClient(mac(i / 100 + 1, i % 100)), nullptr);
    clock.advanceSeconds(5);
    registry.RegisterClient(mac(9, 1)); // 253 and 254, seen later
    registry.RegisterClient(mac(9, 2));
    registry.AllowClient(mac(9, 1), 9999);
    ASSERT_EQ(registry.entries().size(), 155u);
    registry.LeaseGranted(registry.entries()[0].get()); // 100 keeps its number
    clock.advanceSeconds(10);

    const struct {
        const char* name;
        QString evicted;
        int number;
    } rows[] = {
        {"the earliest seen without a lease, allowed or not", mac(1, 1), 101},
        {"among equals the earliest goes", mac(1, 2), 102},
        {"then the next", mac(1, 3), 103},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ClientEntry* e = registry.RegisterClient(mac(20, ++n));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->hostNumber, row.number);
        EXPECT_EQ(registry.findByMac(row.evicted), nullptr);
        EXPECT_EQ(registry.entries().size(), 155u);
        EXPECT_EQ(registry.entries().back().get(), e);
        expectMirrored();
    }
    for (const auto& e : registry.entries())
        EXPECT_LE(e->hostNumber, 254);
}

TEST_F(ClientRegistryTest, NoNumberWhileEveryNumberIsLeasedOrHeldBack) {
    for (int i = 0; i < 155; ++i)
        registry.LeaseGranted(registry.RegisterClient(mac(i / 100 + 1, i % 100)));
    const int adds = display.adds;
    EXPECT_EQ(registry.RegisterClient(mac(30)), nullptr);
    registry.AllowClient(mac(31), 9999);
    EXPECT_EQ(registry.findByMac(mac(31)), nullptr);
    EXPECT_EQ(registry.entries().size(), 155u);
    EXPECT_EQ(display.adds, adds);

    // A decline frees no number: it is held back for the hour.
    registry.DeclineClient(registry.findByAddress(addressOf(180)));
    EXPECT_EQ(registry.RegisterClient(mac(30)), nullptr);
    clock.advanceSeconds(3600);
    registry.RemoveIdleClients(); // leases run a day: nothing idle yet
    ClientEntry* e = registry.RegisterClient(mac(30));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->hostNumber, 180);
}

TEST(HexToText, TwoDigitsPerByteBlanksSkipped) {
    const struct {
        const char* name;
        QString text;
        QByteArray bytes;
    } rows[] = {
        {"mac text", QStringLiteral("00 0C 29 AB CD EF "), QByteArray::fromHex("000C29ABCDEF")},
        {"lower case digits", QStringLiteral("ab cd ef "), QByteArray::fromHex("ABCDEF")},
        {"odd leftover digit ignored", QStringLiteral("ABC"), QByteArray::fromHex("AB")},
        {"single digit is no byte", QStringLiteral("A"), QByteArray()},
        {"empty text", QString(), QByteArray()},
        {"blanks only", QStringLiteral("   "), QByteArray()},
        {"blanks split digits anywhere", QStringLiteral("0 00 C"), QByteArray::fromHex("000C")},
        {"high bytes stay bytes", QStringLiteral("FF 80 "), QByteArray::fromHex("FF80")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HexToText(row.text), row.bytes);
    }
}
