// Who the kernel forwards: clients with a running lease and a running allowance, each with the
// time its allowance has left.

#include "registry/paid_clients.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

TEST(PaidClients, LeasedEthernetClientsWhoseAllowanceRuns) {
    FakeClock clock;
    AllowedList allowed;
    ClientRegistry registry(clock, allowed);
    const auto mac = [](int n) { return QByteArray::fromHex("0200000000") + char(n); };
    const auto add = [&](int n, bool lease, bool ethernet = true) {
        ClientEntry* entry = registry.RegisterClient(mac(n), ethernet);
        if (lease)
            registry.LeaseGranted(entry);
        return entry;
    };
    add(1, true);        // 100: paid for an hour
    add(2, true);        // 101: paid for good
    add(3, false);       // 102: paid, but holds no lease
    add(4, true);        // 103: leased, never paid
    add(5, true, false); // 104: paid, not Ethernet
    add(6, true);        // 105: its allowance has run out
    allowed.add(mac(1), clock.now().addSecs(3600));
    allowed.add(mac(2), QDateTime());
    allowed.add(mac(3), QDateTime());
    allowed.add(mac(5), QDateTime());
    allowed.add(mac(6), clock.now().addSecs(10));
    clock.advanceSeconds(10);

    const std::vector<PaidClient> paid = paidClients(registry, allowed, clock.now());
    ASSERT_EQ(paid.size(), 2u);
    EXPECT_EQ(paid[0].address, 0xC0A80B64u);
    EXPECT_EQ(paid[0].mac, mac(1));
    EXPECT_EQ(paid[0].secondsLeft, 3590);
    EXPECT_EQ(paid[1].address, 0xC0A80B65u);
    EXPECT_FALSE(paid[1].secondsLeft.has_value());

    registry.ReleaseClient(registry.findByHardwareAddress(mac(1)));
    EXPECT_EQ(paidClients(registry, allowed, clock.now()).size(), 1u);
}
