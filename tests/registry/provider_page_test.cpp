// The provider page's timing (schedule, forced refresh and its spacing, retries) and what a loaded
// feed does to the allowed list and the registry.

#include "registry/provider_page.h"
#include "support/fake_clock.h"
#include "support/fake_page_loader.h"
#include "support/fake_tree_display.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

const QByteArray kMac("\x00\x0C\x29\xAB\xCD\xEF", 6);
const QString kFeedA = QStringLiteral("***Allowed****%*000C29ABCDEF*0.5*");

class ProviderPageTest : public ::testing::Test {
protected:
    void SetUp() override { qputenv("TARNIX_PROVIDER_HOST", "provider.lab:8081"); }
    void TearDown() override { qunsetenv("TARNIX_PROVIDER_HOST"); }

    FakeClock clock;
    AllowedList allowed;
    FakeTreeDisplay tree;
    ClientRegistry registry{clock, allowed, &tree};
    FakePageLoader loader;
    ProviderPage page{loader, registry, allowed, clock};
};

} // namespace

TEST_F(ProviderPageTest, LoginIsPercentEncodedAndVersionSent) {
    page.setLogin(QStringLiteral("op 42"), QStringLiteral("a&b#c=d e+f%"));
    page.LoadProviderPage();
    ASSERT_EQ(loader.navigations.size(), 1u);
    EXPECT_EQ(loader.navigations[0].toEncoded(),
              "http://provider.lab:8081/Gateway/ProviderBanner.asp"
              "?id=op%2042&pwd=a%26b%23c%3Dd%20e%2Bf%25&ver=1.0.66");
}

TEST_F(ProviderPageTest, AFloodOfRefreshesLoadsOnceAtOnceAndOnceAtTheEndOfTheSpacingOrAtAnyLoad) {
    for (int second = 0; second <= 4; ++second) {
        clock.advanceSeconds(second == 0 ? 0 : 1);
        for (int i = 0; i < 20; ++i)
            page.forceRefresh();
        if (loader.loading)
            loader.complete(kFeedA);
    }
    EXPECT_EQ(loader.navigations.size(), 1u);
    EXPECT_EQ(page.heldRefreshDueMs(), 5000);

    page.loadHeldRefresh(); // a timer that fired early: held again for the rest
    EXPECT_EQ(loader.navigations.size(), 1u);
    EXPECT_EQ(page.heldRefreshTimer().interval(), 1000);
    clock.advanceSeconds(1);
    page.loadHeldRefresh();
    EXPECT_EQ(loader.navigations.size(), 2u);
    EXPECT_EQ(page.heldRefreshDueMs(), std::nullopt);
    loader.complete(kFeedA);
    page.loadHeldRefresh();
    EXPECT_EQ(loader.navigations.size(), 2u);

    // Any load started after a refresh, the hourly one too, serves it.
    clock.advanceSeconds(1);
    page.forceRefresh();
    ASSERT_TRUE(page.heldRefreshDueMs());
    page.LoadProviderPage();
    EXPECT_EQ(loader.navigations.size(), 3u);
    EXPECT_EQ(page.heldRefreshDueMs(), std::nullopt);
    EXPECT_FALSE(page.heldRefreshTimer().isActive());

    // One during a load that outlasts the spacing loads as soon as that load completes.
    page.forceRefresh();
    clock.advanceSeconds(30);
    loader.complete(kFeedA);
    EXPECT_EQ(loader.navigations.size(), 4u);
}

TEST_F(ProviderPageTest, FeedRebuildsTheAllowedListMarksClientsAndEndsAtTheExpiry) {
    registry.RegisterClient(QByteArray::fromHex("020000000001")); // denied
    registry.RegisterClient(kMac);
    clock.advanceSeconds(61 * 60);
    registry.RegisterClient(kMac); // seen again: not idle
    allowed.add(QByteArray("\x02\x00\x00\x00\x00\x01", 6), QDateTime());

    page.LoadProviderPage();
    loader.complete(QStringLiteral("***Allowed****%*000C29ABCDEF*0.5**%*005056010203*9999*"));
    EXPECT_EQ(allowed.size(), 2);
    EXPECT_FALSE(allowed.isAllowed(*MacAddress::fromBytes(QByteArray::fromHex("020000000001")),
                                   clock.now()));
    // The idle denied client was swept first; a MAC never on the LAN gets no entry.
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(registry.entries()[0]->hardwareAddress, kMac);
    EXPECT_TRUE(registry.entries()[0]->allowed);
    EXPECT_TRUE(allowed.isAllowed(*MacAddress::fromBytes(QByteArray::fromHex("005056010203")),
                                  clock.now()));
    // Half a day ends between loads.
    const Ipv4Address halfADay = registry.entries()[0]->address;
    clock.advanceSeconds(12 * 3600 - 1);
    EXPECT_TRUE(registry.IsClientAllowed(halfADay));
    clock.advanceSeconds(1);
    EXPECT_FALSE(registry.IsClientAllowed(halfADay));
}

TEST_F(ProviderPageTest, SpentAllowancesOrAMarkerWithoutRecordsAdmitNobody) {
    registry.RegisterClient(kMac);
    page.LoadProviderPage();
    loader.complete(QStringLiteral("***Allowed****%*000C29ABCDEF*0**%*005056010203*-2*"));
    EXPECT_TRUE(allowed.isEmpty());
    EXPECT_FALSE(registry.IsClientAllowed(Ipv4Address(192, 168, 11, 100)));
    EXPECT_EQ(registry.entries().size(), 1u);
    EXPECT_FALSE(registry.entries()[0]->allowed);

    page.LoadProviderPage();
    loader.complete(kFeedA);
    page.LoadProviderPage();
    loader.complete(QStringLiteral("***Allowed***"));
    EXPECT_TRUE(allowed.isEmpty());
    EXPECT_FALSE(registry.IsClientAllowed(Ipv4Address(192, 168, 11, 100)));
    EXPECT_TRUE(registry.entries()[0]->allowed); // shown as the operator last saw it
}
