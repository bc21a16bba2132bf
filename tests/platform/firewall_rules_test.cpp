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
    const struct {
        const char* name;
        void (*change)(FirewallSetup&);
    } rows[] = {
        {"no adapter", [](FirewallSetup& s) { s.lanInterface.clear(); }},
        {"quote in the adapter name", [](FirewallSetup& s) { s.lanInterface = "la\"n0"; }},
        {"prefix 0 would masquerade everything", [](FirewallSetup& s) { s.prefixLength = 0; }},
        {"no gateway address", [](FirewallSetup& s) { s.gatewayAddress = 0; }},
        {"empty garden", [](FirewallSetup& s) { s.gardenSize = 0; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FirewallSetup setup = labSetup();
        row.change(setup);
        EXPECT_TRUE(FirewallRules::tableText(setup).isEmpty());
    }
}

TEST(FirewallRules, InterfaceNames) {
    const struct {
        const char* name;
        bool usable;
    } rows[] = {
        {"lan0", true},
        {"abcdefghijklmno", true},   // 15 bytes, the kernel's longest
        {"abcdefghijklmnop", false}, // 16
        {"a:b", false},              // the kernel's alias separator
        {"a\"b", false},             // would end the nft string
        {"l\xC3\xA4n", false},       // non-ASCII
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FirewallRules::isInterfaceName(QString::fromUtf8(row.name)), row.usable);
    }
}

TEST(FirewallRules, Timeouts) {
    const struct {
        qint64 seconds;
        const char* text;
    } rows[] = {
        {1, "1s"},
        {86401, "1d1s"},
        {41 * 86400 + 3600, "41d3600s"},
        {100000000, "1157d35200s"}, // nine digits of seconds: nft refuses "100000000s"
        {std::numeric_limits<qint64>::max(), "3650d"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        EXPECT_EQ(FirewallRules::timeoutText(row.seconds), QString::fromLatin1(row.text));
    }
}

TEST(FirewallRules, PaidClientsReplaceBothSets) {
    const QString flushes = QStringLiteral("flush set inet tarnix paid\n"
                                           "flush set inet tarnix paid_addresses\n");
    const struct {
        const char* name;
        std::vector<PaidClient> clients;
        QString elements; // after the flushes
    } rows[] = {
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
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FirewallRules::paidClientsText(row.clients), flushes + row.elements);
    }
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
