// The client registry: host numbering on the segment, the allowance check, the idle sweep,
// lease-driven removal, and a display that mirrors every entry in order.

#include "registry/client_registry.h"
#include "support/fake_clock.h"
#include "support/fake_tree_display.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

QByteArray mac(int a, int b = 0) {
    return QByteArray::fromHex("000C2910") + char(a) + char(b);
}
MacAddress macValue(int a, int b = 0) {
    return *MacAddress::fromBytes(mac(a, b));
}
Ipv4Address addressOf(int n) {
    return Ipv4Address(192, 168, 11, n);
}

class ClientRegistryTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(display.shown, hostNumbers()); }

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

// A feed record gives no address: only a client that comes onto the LAN gets an entry, and
// then it shows its allowance at once. And the neighbour table has the last word on who is at
// an address.
TEST_F(ClientRegistryTest, AllowanceShowsOnlyOnceTheClientComesAndOnlyForItsOwnHardware) {
    registry.AllowClient(macValue(2), QDateTime());
    EXPECT_TRUE(registry.entries().empty());
    allowed.add(macValue(2), QDateTime());
    allowed.add(macValue(3), clock.now().addDays(1));
    const ClientEntry* never = registry.RegisterClient(mac(2));
    const ClientEntry* day = registry.RegisterClient(mac(3));
    EXPECT_TRUE(never->allowed && never->allowanceEnd.isNull());
    EXPECT_TRUE(day->allowed);
    EXPECT_EQ(day->allowanceEnd, clock.now().addDays(1));

    EXPECT_TRUE(registry.IsClientAllowed(addressOf(100)));
    EXPECT_TRUE(registry.IsClientAllowed(addressOf(100), mac(2)));
    EXPECT_FALSE(registry.IsClientAllowed(addressOf(100), mac(9))); // an impostor
    EXPECT_EQ(registry.GetClientMac(addressOf(100), mac(2)), QStringLiteral("000C29100200"));
    EXPECT_EQ(registry.GetClientMac(addressOf(100), mac(9)), QString());
}

// The allowed list holds 000C29-10-01-00 and 000C29-10-02-00, with allowances of their own.
TEST(ClientRegistryAllowance, OnlyAWholeListedEthernetAddressWithARunningAllowance) {
    const struct {
        const char* name;
        QByteArray hardware;
        bool ethernet;
        std::optional<qint64> endInSeconds; // allowance of the client's own address
        bool allowed;
    } rows[] = {
        {"listed, never expires", mac(1), true, std::nullopt, true},
        {"allowance ended now", mac(1), true, 0, false},
        {"not listed", mac(3), true, std::nullopt, false},
        {"tail of one listed address and head of the next", mac(1).right(3) + mac(2).left(3), true,
         std::nullopt, false},
        {"listed address on a non-ethernet client", mac(1), false, std::nullopt, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeClock clock;
        AllowedList allowed;
        allowed.add(macValue(1),
                    row.endInSeconds ? clock.now().addSecs(*row.endInSeconds) : QDateTime());
        allowed.add(macValue(2), QDateTime());
        allowed.add(QByteArray(), QDateTime()); // a blank record in the feed admits no one
        EXPECT_EQ(allowed.size(), 2);
        ClientRegistry registry(clock, allowed);
        ClientEntry* e = registry.RegisterClient(row.hardware, row.ethernet);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(registry.IsClientAllowed(e->address), row.allowed);
    }
}

TEST(ClientRegistryIdleSweep, TakesOnlySilentClientsNotAllowedWithoutALease) {
    const struct {
        const char* name;
        bool allow;
        bool lease;
        qint64 silentMinutes;
        bool kept;
    } rows[] = {
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
        registry.RegisterClient(mac(9)); // heard from again below
        ClientEntry* e = registry.RegisterClient(mac(1));
        if (row.allow)
            registry.AllowClient(macValue(1), QDateTime());
        if (row.lease)
            registry.LeaseGranted(e);
        clock.advanceSeconds(row.silentMinutes * 60);
        registry.RegisterClient(mac(9));
        registry.RemoveIdleClients();
        EXPECT_EQ(registry.findByHardwareAddress(mac(1)) != nullptr, row.kept);
        EXPECT_EQ(display.shown, (row.kept ? std::vector<int>{100, 101} : std::vector<int>{100}));
    }
}

TEST_F(ClientRegistryTest, DeclinedNumberIsHeldBackForAnHour) {
    registry.RegisterClient(mac(1));
    registry.RegisterClient(mac(2));
    registry.DeclineClient(registry.findByHardwareAddress(mac(1)));
    EXPECT_EQ(registry.findByHardwareAddress(mac(1)), nullptr);
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
    registry.AllowClient(macValue(9, 1), QDateTime());
    ASSERT_EQ(registry.clientCount(), 155);
    registry.LeaseGranted(registry.entries()[0].get()); // 100 keeps its number
    clock.advanceSeconds(10);

    // The earliest seen without a lease goes, allowed or not; among equals the earliest made.
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        ClientEntry* e = registry.RegisterClient(mac(20, n));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->hostNumber, 100 + n);
        EXPECT_EQ(registry.findByHardwareAddress(mac(1, n)), nullptr);
        EXPECT_EQ(registry.clientCount(), 155);
        EXPECT_EQ(registry.entries().back().get(), e);
    }
}

TEST_F(ClientRegistryTest, NoNumberWhileEveryNumberIsLeasedOrHeldBack) {
    for (int i = 0; i < 155; ++i)
        registry.LeaseGranted(registry.RegisterClient(mac(i / 100 + 1, i % 100)));
    EXPECT_EQ(registry.RegisterClient(mac(30)), nullptr);
    registry.AllowClient(macValue(31), QDateTime());
    EXPECT_EQ(registry.findByHardwareAddress(mac(31)), nullptr);
    EXPECT_EQ(registry.clientCount(), 155);

    // A decline frees no number: it is held back for the hour.
    registry.DeclineClient(registry.findByAddress(addressOf(180)));
    EXPECT_EQ(registry.RegisterClient(mac(30)), nullptr);
    clock.advanceSeconds(3600);
    registry.RemoveIdleClients(); // leases run a day: nothing idle yet
    ClientEntry* e = registry.RegisterClient(mac(30));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->hostNumber, 180);
}
