// The provider page loaded from the reference provider service on loopback: what a right and a
// wrong login do to the allowed list, and a password with "&" arriving whole.

#include "platform/network_page_loader.h"
#include "registry/provider_page.h"
#include "support/fake_clock.h"
#include "support/provider_service_process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace {

const QByteArray kMac("\x00\x0C\x29\xAB\xCD\xEF", 6);
const QString kPassword = QStringLiteral("p&ss#w=rd x");

class ProviderServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.start("{\"op42\": \"p&ss#w=rd x\"}",
                                  ProviderServiceProcess::unlimitedPurchase("op42", "000C29ABCDEF")))
            << service.errors().toStdString();
        QObject::connect(&loader, &PageLoader::DocumentComplete, [this] { ++completions; });
    }
    bool loadWith(const QString& password) {
        const int before = completions;
        page.setLogin(QStringLiteral("op42"), password);
        page.LoadProviderPage();
        return waitUntil([&] { return completions > before; }, 10000);
    }

    ProviderServiceProcess service;
    FakeClock clock;
    AllowedList allowed;
    ClientRegistry registry{clock, allowed};
    NetworkPageLoader loader;
    ProviderPage page{loader, registry, allowed, clock};
    int completions = 0;
};

} // namespace

TEST_F(ProviderServiceTest, RightLoginFillsTheAllowedList) {
    ASSERT_TRUE(loadWith(kPassword));
    EXPECT_TRUE(allowed.isAllowed(kMac, clock.now()));
    EXPECT_EQ(page.Timer2().interval(), ProviderPage::kHourlyInterval);
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_EQ(registry.entries()[0]->expiry, QStringLiteral("Never Expires"));
}

TEST_F(ProviderServiceTest, WrongLoginChangesNothingAndRetriesAfterSixtyTicks) {
    ASSERT_TRUE(loadWith(kPassword));
    ASSERT_TRUE(loadWith(QStringLiteral("p"))); // the password cut at its "&"
    EXPECT_TRUE(allowed.isAllowed(kMac, clock.now()));
    EXPECT_EQ(page.Timer2().interval(), ProviderPage::kRetryInterval);

    const int before = completions;
    page.setLogin(QStringLiteral("op42"), kPassword);
    for (int tick = 0; tick < 59; ++tick)
        page.Timer2_Timer();
    EXPECT_FALSE(loader.isLoading());
    page.Timer2_Timer();
    ASSERT_TRUE(waitUntil([&] { return completions > before; }, 10000));
    EXPECT_EQ(page.Timer2().interval(), ProviderPage::kHourlyInterval);
}
