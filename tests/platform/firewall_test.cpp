// The firewall's refusals that come before it changes anything: no adapter, an adapter name
// nft cannot hold, calls before install. (What it does to the kernel: system.lab_devices_test.)

#include "platform/firewall.h"

#include <gtest/gtest.h>

TEST(Firewall, AdapterHoldingAnAddress) {
    EXPECT_EQ(Firewall::adapterHolding(0x7F000001), QStringLiteral("lo"));
    EXPECT_TRUE(Firewall::adapterHolding(0xC0000201).isEmpty()); // 192.0.2.1, documentation only
}

TEST(Firewall, InstallRefusedBeforeTouchingAnything) {
    const struct {
        const char* name;
        QString lanInterface;
        quint32 gatewayAddress;
        QString error;
    } rows[] = {
        {"no adapter holds the gateway address", QString(), 0xC0000201,
         "no adapter holds 192.0.2.1"},
        {"adapter name nft cannot hold", "lan\"0", 0xC0A80B01,
         "the adapter name \"lan\"0\" cannot be used in nftables rules"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Firewall firewall;
        FirewallSetup setup;
        setup.lanInterface = row.lanInterface;
        setup.gatewayAddress = row.gatewayAddress;
        EXPECT_FALSE(firewall.install(setup, QStringLiteral("/nonexistent/state")));
        EXPECT_EQ(firewall.errorText(), row.error);
        EXPECT_FALSE(firewall.isInstalled());
    }
}

TEST(Firewall, NothingToChangeBeforeInstall) {
    Firewall firewall;
    EXPECT_FALSE(firewall.setPaidClients({{0xC0A80B64, QByteArray(6, '\x02'), std::nullopt}}));
    EXPECT_EQ(firewall.errorText(), QStringLiteral("the firewall is not installed"));
    EXPECT_FALSE(firewall.counters().has_value());
    EXPECT_TRUE(firewall.remove());
}
