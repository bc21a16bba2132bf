// The firewall's refusals that come before it changes anything: no adapter, an adapter name
// nft cannot hold, calls before install. (What it does to the kernel: system.lab_devices_test.)

#include "platform/firewall.h"

#include <gtest/gtest.h>

TEST(Firewall, InstallRefusedBeforeTouchingAnything) {
    EXPECT_EQ(Firewall::adapterHolding(0x7F000001), QStringLiteral("lo"));
    EXPECT_TRUE(Firewall::adapterHolding(0xC0000201).isEmpty()); // 192.0.2.1, documentation only
    const std::tuple<QString, quint32, QString> rows[] = {
        {QString(), 0xC0000201, "no adapter holds 192.0.2.1"},
        {"lan\"0", 0xC0A80B01, "the adapter name \"lan\"0\" cannot be used in nftables rules"},
    };
    Firewall firewall;
    for (const auto& [lanInterface, gatewayAddress, error] : rows) {
        FirewallSetup setup;
        setup.lanInterface = lanInterface;
        setup.gatewayAddress = gatewayAddress;
        EXPECT_FALSE(firewall.install(setup, QStringLiteral("/nonexistent/state")));
        EXPECT_EQ(firewall.errorText(), error);
        EXPECT_FALSE(firewall.isInstalled());
    }
    // Nothing to change before install.
    EXPECT_FALSE(firewall.setPaidClients({{0xC0A80B64, QByteArray(6, '\x02'), std::nullopt}}));
    EXPECT_EQ(firewall.errorText(), QStringLiteral("the firewall is not installed"));
    EXPECT_FALSE(firewall.counters().has_value());
    EXPECT_TRUE(firewall.remove());
}
