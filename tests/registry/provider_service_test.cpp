// The provider page loaded from the reference provider service on loopback: what a right and a
// wrong login do to the allowed list, and a password with "&" arriving whole.

#include "platform/network_page_loader.h"
#include "registry/provider_page.h"
#include "support/fake_clock.h"
#include "support/provider_service_process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

TEST(ProviderServiceTest, RightLoginFillsTheAllowedListAndAWrongOneChangesNothing) {
    const QByteArray mac("\x00\x0C\x29\xAB\xCD\xEF", 6);
    const QString password = QStringLiteral("p&ss#w=rd x");
    ProviderServiceProcess service;
    ASSERT_TRUE(service.start("{\"op42\": \"p&ss#w=rd x\"}",
                              ProviderServiceProcess::unlimitedPurchase("op42", "000C29ABCDEF")))
        << service.errors().toStdString();
    FakeClock clock;
    AllowedList allowed;
    ClientRegistry registry{clock, allowed};
    NetworkPageLoader loader;
    ProviderPage page{loader, registry, allowed, clock};
    int completions = 0;
    QObject::connect(&loader, &PageLoader::DocumentComplete, [&] { ++completions; });
    const auto loaded = [&](int before) {
        return waitUntil([&] { return completions > before; }, 10000);
    };

    registry.RegisterClient(mac);
    page.setLogin(QStringLiteral("op42"), password);
    page.start();
    page.LoadProviderPage();
    ASSERT_TRUE(loaded(0));
    EXPECT_TRUE(allowed.isAllowed(*MacAddress::fromBytes(mac), clock.now()));
    EXPECT_EQ(page.reloadTimer().interval(), 3600 * 1000);
    ASSERT_EQ(registry.entries().size(), 1u);
    EXPECT_TRUE(registry.entries()[0]->allowed);
    EXPECT_TRUE(registry.entries()[0]->allowanceEnd.isNull()); // never expires

    page.setLogin(QStringLiteral("op42"), QStringLiteral("p")); // the password cut at its "&"
    page.LoadProviderPage();
    ASSERT_TRUE(loaded(1));
    EXPECT_TRUE(allowed.isAllowed(*MacAddress::fromBytes(mac), clock.now()));
    EXPECT_EQ(page.reloadTimer().interval(), 15 * 1000); // asked for again soon
}
