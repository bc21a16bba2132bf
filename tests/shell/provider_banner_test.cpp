// The whole window over the reference provider service on loopback: the provider page shows as
// the banner, a client it lists appears "Allowed" in the client tree (the password with "&"
// and "#" arrives whole), and a wrong login changes nothing but asks again soon.

#include "platform/network_page_loader.h"
#include "shell/view/gateway_window.h"
#include "support/fake_clock.h"
#include "support/fake_message_box.h"
#include "support/fake_notify_area.h"
#include "support/provider_service_process.h"

#include <QTextBrowser>
#include <QTreeWidget>
#include <gtest/gtest.h>

TEST(ProviderBanner, PageShowsAndAPaidClientTurnsAllowedInTheTree) {
    ProviderServiceProcess service;
    ASSERT_TRUE(service.start(R"({"op42": "p&ss#w=rd x"})",
                              R"([{"id": "op42", "mac": "000C29ABCDEF", "plan": "unlimited", )"
                              R"("days": null, "purchased_at": "2026-01-01T00:00:00Z", )"
                              R"("ends_at": null}])"))
        << service.errors().toStdString();
    QTemporaryDir dir;
    qputenv("TARNIX_INI", dir.filePath(QStringLiteral("Tarnix.ini")).toUtf8());

    FakeMessageBox messages;
    FakeNotifyArea notifyArea;
    FakeClock clock;
    NetworkPageLoader loader;
    GatewayShell model({messages, notifyArea, clock, loader});
    GatewayWindow window(model);
    model.registry().RegisterClient(QByteArray::fromHex("000C29ABCDEF"));
    model.setProviderText(QStringLiteral("op42"));
    model.setPwdText(QStringLiteral("p&ss#w=rd x"));
    model.providerPage().start(); // the hourly schedule, as a started gateway has it
    model.loadProviderPage();

    QTreeWidget* tree = window.clientTree();
    ASSERT_TRUE(waitUntil(
        [&] {
            return tree->topLevelItemCount() == 1 && tree->topLevelItem(0)->childCount() == 4 &&
                   tree->topLevelItem(0)->child(3)->text(0) == QStringLiteral("Allowed");
        },
        10000));
    EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("00 0C 29 AB CD EF "));
    EXPECT_EQ(tree->topLevelItem(0)->child(2)->text(0), QStringLiteral("Never Expires"));
    EXPECT_TRUE(window.banner()->toPlainText().contains(QStringLiteral("Tarnix Provider")));
    EXPECT_TRUE(model.allowedMacs().isAllowed(
        *MacAddress::fromBytes(QByteArray::fromHex("000C29ABCDEF")), clock.now()));
    EXPECT_EQ(model.providerPage().reloadTimer().interval(), 3600 * 1000);

    int completions = 0;
    QObject::connect(&loader, &PageLoader::DocumentComplete, [&] { ++completions; });
    model.setPwdText(QStringLiteral("p")); // the password cut at its "&"
    model.loadProviderPage();
    ASSERT_TRUE(waitUntil([&] { return completions > 0; }, 10000));
    EXPECT_TRUE(tree->topLevelItem(0)->child(3)->text(0) == QStringLiteral("Allowed"));
    EXPECT_EQ(model.providerPage().reloadTimer().interval(), 15 * 1000);
    qunsetenv("TARNIX_INI");
}
