// The gateway's nftables text where the table cannot be given (the system test loads the real
// table), the paid-set replacement and the reading of its counters.

#include "platform/firewall_rules.h"

#include <gtest/gtest.h>
#include <limits>
#include <tuple>

namespace {

FirewallSetup labSetup() {
    FirewallSetup setup;
    setup.lanInterface = QStringLiteral("lan0");
    setup.gatewayAddress = 0xC0A80B01; // 192.168.11.1
    return setup;
}

PaidClient client(quint32 address, const char* macHex, std::optional<qint64> secondsLeft) {
    return {address, QByteArray::fromHex(macHex), secondsLeft};
}

} // namespace

TEST(FirewallRules, SetupsTheTableCannotExpress) {
    const std::pair<const char*, void (*)(FirewallSetup&)> rows[] = {
        {"no adapter", [](FirewallSetup& s) { s.lanInterface.clear(); }},
        {"quote in the adapter name", [](FirewallSetup& s) { s.lanInterface = "la\"n0"; }},
        {"prefix 0 would masquerade everything", [](FirewallSetup& s) { s.prefixLength = 0; }},
        {"no gateway address", [](FirewallSetup& s) { s.gatewayAddress = 0; }},
        {"empty garden", [](FirewallSetup& s) { s.gardenSize = 0; }},
    };
    for (const auto& [name, change] : rows) {
        FirewallSetup setup = labSetup();
        change(setup);
        EXPECT_TRUE(FirewallRules::tableText(setup).isEmpty()) << name;
    }
}

TEST(FirewallRules, InterfaceNames) {
    const std::pair<const char*, bool> rows[] = {
        {"lan0", true},
        {"abcdefghijklmno", true},   // 15 bytes, the kernel's longest
        {"abcdefghijklmnop", false}, // 16
        {"a\"b", false},             // would end the nft string
    };
    for (const auto& [name, usable] : rows)
        EXPECT_EQ(FirewallRules::isInterfaceName(QString::fromUtf8(name)), usable) << name;
}

TEST(FirewallRules, Timeouts) {
    const std::pair<qint64, const char*> rows[] = {
        {1, "1s"},
        {86401, "1d1s"},
        {41 * 86400 + 3600, "41d3600s"},
        {100000000, "1157d35200s"}, // nine digits of seconds: nft refuses "100000000s"
        {std::numeric_limits<qint64>::max(), "3650d"},
    };
    for (const auto& [seconds, text] : rows)
        EXPECT_EQ(FirewallRules::timeoutText(seconds), QString::fromLatin1(text)) << seconds;
}

TEST(FirewallRules, PaidClientsReplaceBothSets) {
    const QString flushes = QStringLiteral("flush set inet tarnix paid\n"
                                           "flush set inet tarnix paid_addresses\n");
    const std::tuple<const char*, std::vector<PaidClient>, QString /* after the flushes */> rows[] =
        {
            {"empty list: both sets emptied", {}, QString()},
            {"run out or malformed: left out",
             {client(0xC0A80B64, "02000000110a", 0), client(0xC0A80B65, "02000000110b", -5),
              client(0xC0A80B66, "020000001", 60), client(0xC0A80B67, "02000000110d", 1)},
             "add element inet tarnix paid { 192.168.11.103 . 02:00:00:00:11:0d timeout 1s }\n"
             "add element inet tarnix paid_addresses { 192.168.11.103 timeout 1s }\n"},
            {"never outlasts any timeout",
             {client(0xC0A80B64, "02000000110a", {}), client(0xC0A80B64, "02000000110a", 90)},
             "add element inet tarnix paid { 192.168.11.100 . 02:00:00:00:11:0a }\n"
             "add element inet tarnix paid_addresses { 192.168.11.100 }\n"},
            {"one address, two hardware addresses: two pairs, one address",
             {client(0xC0A80B64, "02000000110a", 60), client(0xC0A80B64, "02000000110b", 120)},
             "add element inet tarnix paid { 192.168.11.100 . 02:00:00:00:11:0a timeout 60s, "
             "192.168.11.100 . 02:00:00:00:11:0b timeout 120s }\n"
             "add element inet tarnix paid_addresses { 192.168.11.100 timeout 120s }\n"},
        };
    for (const auto& [name, clients, elements] : rows)
        EXPECT_EQ(FirewallRules::paidClientsText(clients), flushes + elements) << name;
}

// Reading both counters is the system test's; here, what is not ours or not whole.
TEST(FirewallRules, CountersOfOurTableOnlyAndBoth) {
    const auto counter = [](const char* table, const char* name, const char* n) {
        return QByteArray(R"(, {"counter": {"family": "inet", "name": ")") + name +
               R"(", "table": ")" + table + R"(", "handle": 8, "packets": )" + n +
               R"(, "bytes": )" + n + "0}}";
    };
    const QByteArray head = R"({"nftables": [{"metainfo": {"json_schema_version": 1}})";
    const auto read = FirewallRules::parseCounters(
        head + counter("other", "up", "1") + counter("tarnix", "up", "2") +
        counter("tarnix", "down", "3") + counter("other", "down", "4") + "]}\n");
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tuple(read->upBytes, read->upPackets, read->downBytes, read->downPackets),
              std::tuple(20u, 2u, 30u, 3u));
    EXPECT_FALSE(FirewallRules::parseCounters(head + counter("tarnix", "up", "1") + "]}\n"));
    EXPECT_FALSE(FirewallRules::parseCounters(""));
}
