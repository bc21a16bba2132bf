// The gateway's nftables table as text: what it lets through, the paid-set replacement and the
// reading of its counters.

#include "platform/firewall_rules.h"

#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>
#include <limits>

namespace {

FirewallSetup labSetup() {
    FirewallSetup setup;
    setup.lanInterface = QStringLiteral("lan0");
    setup.gatewayAddress = 0xC0A80B01; // 192.168.11.1
    return setup;
}

// The lines of the chain or set named, without their indentation; empty when there is none.
QStringList block(const QString& text, const QString& header) {
    QStringList lines;
    bool inside = false;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!inside) {
            inside = line == header + QStringLiteral(" {");
            continue;
        }
        if (line == QLatin1String("}"))
            break;
        lines << line;
    }
    return lines;
}

PaidClient client(quint32 address, const char* macHex, std::optional<qint64> secondsLeft) {
    return {address, QByteArray::fromHex(macHex), secondsLeft};
}

} // namespace

TEST(FirewallRules, TableReplacesAnEarlierOneInOneTransaction) {
    const QStringList lines = FirewallRules::tableText(labSetup()).split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("add table inet tarnix"));
    EXPECT_EQ(lines[1], QStringLiteral("delete table inet tarnix"));
    EXPECT_EQ(lines[2], QStringLiteral("table inet tarnix {"));
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^\\s*table "))).size(), 1);
    EXPECT_EQ(FirewallRules::deleteTableText(), QStringLiteral("delete table inet tarnix\n"));
}

TEST(FirewallRules, SetupDecidesNamesAddressesAndPorts) {
    FirewallSetup other = labSetup();
    other.lanInterface = QStringLiteral("enp3s0.11");
    other.gatewayAddress = 0x0A2A0101; // 10.42.1.1
    other.prefixLength = 16;
    other.proxyPort = 3128;
    other.otherAdaptersUnrouted = false;
    other.gardenTimeoutSeconds = 7200;
    other.gardenSize = 100;
    const QString text = FirewallRules::tableText(other);
    EXPECT_EQ(block(text, QStringLiteral("chain capture")).last(),
              QStringLiteral("iifname \"enp3s0.11\" ip daddr != 10.42.1.1 tcp dport 80 "
                             "redirect to :3128"));
    EXPECT_EQ(block(text, QStringLiteral("chain lan_source_nat")).last(),
              QStringLiteral("ip saddr 10.42.0.0/16 ip saddr != 10.42.1.1 oifname != "
                             "\"enp3s0.11\" masquerade"));
    EXPECT_TRUE(block(text, QStringLiteral("chain lan_to_gateway"))
                    .contains(QStringLiteral("tcp dport { 53, 3128 } accept")));
    // Forwarding was on before: the machine goes on routing between its other adapters.
    EXPECT_EQ(block(text, QStringLiteral("chain forward")).size(), 3);
    EXPECT_EQ(block(text, QStringLiteral("set garden")).mid(2),
              (QStringList{"timeout 7200s", "size 100"}));
}

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
        {"wlan_1-x@y", true},
        {"abcdefghijklmno", true},   // 15 bytes, the kernel's longest
        {"abcdefghijklmnop", false}, // 16
        {"", false},
        {"..", false},
        {"a:b", false},        // the kernel's alias separator
        {"a\"b", false},       // would end the nft string
        {"a\\b", false},       // an escape inside it
        {"l\xC3\xA4n", false}, // non-ASCII
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
        {86400, "1d"},
        {86401, "1d1s"},
        {41 * 86400 + 3600, "41d3600s"},
        {100000000, "1157d35200s"},    // nine digits of seconds: nft refuses "100000000s"
        {3650LL * 86400 + 1, "3650d"}, // capped
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
        {"timeout in seconds, none for never",
         {client(0xC0A80B64, "02000000110a", 3600), client(0xC0A80B65, "02000000110b", {})},
         "add element inet tarnix paid { 192.168.11.100 . 02:00:00:00:11:0a timeout 3600s, "
         "192.168.11.101 . 02:00:00:00:11:0b }\n"
         "add element inet tarnix paid_addresses { 192.168.11.100 timeout 3600s, "
         "192.168.11.101 }\n"},
        {"run out or malformed: left out",
         {client(0xC0A80B64, "02000000110a", 0), client(0xC0A80B65, "02000000110b", -5),
          client(0xC0A80B66, "020000001", 60), client(0xC0A80B67, "02000000110d", 1)},
         "add element inet tarnix paid { 192.168.11.103 . 02:00:00:00:11:0d timeout 1s }\n"
         "add element inet tarnix paid_addresses { 192.168.11.103 timeout 1s }\n"},
        {"same pair twice: once, the longer allowance",
         {client(0xC0A80B64, "02000000110a", 60), client(0xC0A80B64, "02000000110a", 90)},
         "add element inet tarnix paid { 192.168.11.100 . 02:00:00:00:11:0a timeout 90s }\n"
         "add element inet tarnix paid_addresses { 192.168.11.100 timeout 90s }\n"},
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

TEST(FirewallRules, Counters) {
    const QByteArray metainfo =
        R"({"metainfo": {"version": "1.0.6", "release_name": "Lester Gooch #5", )"
        R"("json_schema_version": 1}})";
    const auto counter = [](const char* table, const char* name, const char* packets,
                            const char* bytes) {
        return QByteArray(R"({"counter": {"family": "inet", "name": ")") + name +
               R"(", "table": ")" + table + R"(", "handle": 8, "packets": )" + packets +
               R"(, "bytes": )" + bytes + "}}";
    };
    const auto listing = [&](std::initializer_list<QByteArray> items) {
        QByteArray text = R"({"nftables": [)" + metainfo;
        for (const QByteArray& item : items)
            text += ", " + item;
        return text + "]}\n";
    };
    const struct {
        const char* name;
        QByteArray json;
        std::optional<FirewallCounters> expected;
    } rows[] = {
        {"both counters",
         listing({counter("tarnix", "up", "12", "3400"), counter("tarnix", "down", "7", "90210")}),
         FirewallCounters{3400, 12, 90210, 7}},
        {"another table's counters are not ours",
         listing({counter("other", "up", "1", "1"), counter("tarnix", "up", "2", "20"),
                  counter("tarnix", "down", "3", "30"), counter("other", "down", "4", "4")}),
         FirewallCounters{20, 2, 30, 3}},
        {"one missing", listing({counter("tarnix", "up", "1", "1")}), std::nullopt},
        {"negative",
         listing({counter("tarnix", "up", "1", "-1"), counter("tarnix", "down", "1", "1")}),
         std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<FirewallCounters> read = FirewallRules::parseCounters(row.json);
        ASSERT_EQ(read.has_value(), row.expected.has_value());
        if (!read)
            continue;
        EXPECT_EQ(read->upBytes, row.expected->upBytes);
        EXPECT_EQ(read->upPackets, row.expected->upPackets);
        EXPECT_EQ(read->downBytes, row.expected->downBytes);
        EXPECT_EQ(read->downPackets, row.expected->downPackets);
    }
}

TEST(FirewallRules, RefusalReasons) {
    const QString noCapability = QString::fromLatin1(FirewallRules::kNoCapabilityText);
    const struct {
        const char* nftError;
        QString reason;
    } rows[] = {
        {"netlink: Error: cache initialization failed: Operation not permitted\n", noCapability},
        {"Error: Could not process rule: Operation not supported\n",
         "the kernel offers no nftables support for the gateway's table (Could not process "
         "rule: Operation not supported)"},
        {"Error: Could not process rule: Device or resource busy\n",
         "nft refused the gateway's table (Could not process rule: Device or resource busy)"},
        {"", "nft refused the gateway's table (no reason given)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.nftError);
        EXPECT_EQ(FirewallRules::refusalReason(QString::fromLatin1(row.nftError)), row.reason);
    }
}
