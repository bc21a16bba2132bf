// The web proxy's slots over loopback: idle closing and trimming by housekeeping, the head
// deadline, the limit of 300 client connections and one client's share of them.

#include "support/proxy_harness.h"

#include <QSet>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace proxytest;

namespace {

class ProxyServerSlots : public ::testing::Test {
protected:
    void SetUp() override { rig.registerClient(true); }

    QSet<int> openSlots() {
        const std::vector<int> taken = rig.proxy.takenSlots();
        return QSet<int>(taken.begin(), taken.end());
    }
    // Connects a client and waits for the proxy to take it: the slot it took, 0 when none.
    int connectClient(std::unique_ptr<TestClient>& client) {
        const QSet<int> before = openSlots();
        client = std::make_unique<TestClient>(rig.port);
        if (!client->connected || !waitUntil([&] { return openSlots().size() > before.size(); }))
            return 0;
        const QSet<int> added = openSlots() - before;
        return added.size() == 1 ? *added.begin() : 0;
    }
    // Sends bytes that the proxy keeps as part of a head, and waits until it has read them.
    bool touch(TestClient& client) {
        const double up = rig.proxy.upMegabytes;
        client.send("G");
        return waitUntil([&] { return rig.proxy.upMegabytes > up; });
    }

    ProxyRig rig;
};

TEST_F(ProxyServerSlots, IdleSlotsCloseAndClosedSlotsAreTrimmedFromTheEnd) {
    std::unique_ptr<TestClient> a, b, c, d, e, f;
    ASSERT_EQ(connectClient(a), 1);
    ASSERT_EQ(connectClient(b), 2);
    ASSERT_EQ(connectClient(c), 3);
    ASSERT_EQ(connectClient(d), 4);

    rig.clock.advanceMs(8640); // 0.0001 day
    rig.proxy.housekeeping();
    EXPECT_EQ(openSlots(), (QSet<int>{1, 2, 3, 4})) << "idle for exactly the limit";

    ASSERT_TRUE(touch(*d));
    rig.clock.advanceMs(1);
    rig.proxy.housekeeping();
    EXPECT_EQ(openSlots(), QSet<int>{4});
    EXPECT_TRUE(a->waitClosed());
    EXPECT_TRUE(c->waitClosed());
    // Closed slots below an open one stay, and newcomers take the lowest of them.
    EXPECT_EQ(rig.proxy.slotCount(), 4);
    ASSERT_EQ(connectClient(e), 1);
    ASSERT_EQ(connectClient(f), 2);

    d->socket.disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return openSlots() == QSet<int>{1, 2}; }));
    rig.proxy.housekeeping();
    EXPECT_EQ(rig.proxy.slotCount(), 2);

    rig.clock.advanceSeconds(9);
    rig.proxy.housekeeping();
    EXPECT_EQ(rig.proxy.slotCount(), 0);
    EXPECT_TRUE(e->waitClosed());
    EXPECT_TRUE(f->waitClosed());
}

TEST_F(ProxyServerSlots, ThreeHundredClientsAtMostTheNextIsClosedAtOnce) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 2048) {
        limit.rlim_cur = std::min<rlim_t>(2048, limit.rlim_max);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    std::vector<std::unique_ptr<TestClient>> clientList;
    // In batches, so that the listen queue never overflows into slow retries.
    while (clientList.size() < ProxyServer::kMaxSlots) {
        for (int i = 0; i < 25; ++i)
            clientList.push_back(std::make_unique<TestClient>(rig.port));
        const int expected = static_cast<int>(clientList.size());
        ASSERT_TRUE(waitUntil([&] { return openSlots().size() == expected; }, 10000));
    }
    EXPECT_EQ(rig.proxy.slotCount(), 300);

    TestClient extra(rig.port);
    EXPECT_TRUE(extra.waitClosed(2000));
    EXPECT_EQ(rig.proxy.slotCount(), 300);
    EXPECT_EQ(openSlots().size(), 300);
    EXPECT_TRUE(std::none_of(clientList.begin(), clientList.end(),
                             [](const auto& client) { return client->closed; }));
}

// A client that trickles its head keeps the slot busy for ten seconds at most, however often
// it sends.
TEST_F(ProxyServerSlots, ATrickledHeadIsCutOffAfterTenSeconds) {
    std::unique_ptr<TestClient> client;
    const int index = connectClient(client);
    ASSERT_GT(index, 0);
    for (int step = 1; step <= 4; ++step) {
        ASSERT_TRUE(touch(*client));
        rig.clock.advanceSeconds(3);
        rig.proxy.housekeeping();
        EXPECT_EQ(openSlots().contains(index), step < 4) << step;
    }
}

TEST(ProxyServerShare, OneClientHoldsAtMostItsShareOfTheSlots) {
    ProxyRig rig({true, 2});
    TestClient a1(rig.port), a2(rig.port);
    const auto open = [&] { return rig.proxy.connectionCount(); };
    ASSERT_TRUE(waitUntil([&] { return open() == 2; }));
    TestClient a3(rig.port);
    EXPECT_TRUE(a3.waitClosed());
    TestClient b(rig.port, kUnknownAddress);
    EXPECT_TRUE(waitUntil([&] { return open() == 3; }));
    EXPECT_FALSE(a1.closed || a2.closed || b.closed);
    // One that hangs up and reconnects at once is not refused for the connection it ended.
    a1.socket.abort();
    TestClient a4(rig.port);
    const double up = rig.proxy.upMegabytes;
    a4.send("G");
    EXPECT_TRUE(waitUntil([&] { return rig.proxy.upMegabytes > up; }));
}

} // namespace
