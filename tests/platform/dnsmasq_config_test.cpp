// The configuration handed to dnsmasq, as tables: the lines each kind of setting brings, the
// lines that must never be there (other files, DHCP, answers of its own), and the domains that
// must not reach the file.

#include "platform/dnsmasq_config.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const QHostAddress kLan(QStringLiteral("192.168.11.1"));

QStringList optionLines(const QString& text) {
    QStringList options;
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1Char('#')))
            options << line;
    }
    return options;
}

} // namespace

TEST(DnsmasqConfig, HasEachSettingsLinesAndNoneOfTheForbiddenOnes) {
    // The settings, whole lines present exactly once, beginnings no line may have.
    const std::tuple<const char*, DnsmasqSettings, QStringList, QStringList> rows[] = {
        {"listens on the one address and port, bound to it alone",
         {kLan, 53, {}},
         {"port=53", "listen-address=192.168.11.1", "bind-interfaces"},
         {"interface=", "except-interface=", "bind-dynamic", "local-service"}},
        {"forwards to the host's resolvers, follows their changes, makes up no answer",
         {kLan, 53, {"provider.lab"}},
         {"resolv-file=/etc/resolv.conf", "domain-needed", "bogus-priv"},
         {"no-resolv", "no-poll",
          "server=", "address=", "host-record=", "cname=", "local=", "stop-dns-rebind"}},
        {"reads no other file and serves no DHCP; no pid or lease file",
         {kLan, 53, {"provider.lab"}},
         {"pid-file="},
         {"conf-dir", "conf-file", "addn-hosts", "hostsdir", "servers-file", "dhcp", "read-ethers",
          "enable-tftp", "enable-ra", "enable-dbus", "dnssec", "trust-anchor"}},
        {"no garden set without domains", {kLan, 53, {}}, {}, {"nftset", "ipset"}},
        {"a domain that could end its line or name another set is left out",
         {kLan,
          53,
          {"evil.lab\ndhcp-script=/tmp/x", "a/b", "x#inet#filter#input", "a b", "", "..",
           "ok.lab"}},
         {"nftset=/ok.lab/4#inet#tarnix#garden"},
         {"dhcp-script", "nftset=/evil", "nftset=/a", "nftset=/x", "nftset=//"}},
    };
    // One option a line: a name, optionally "=" and printable characters.
    const QRegularExpression option(QStringLiteral("^[a-z-]+(=[\\x21-\\x7e]*)?$"));
    for (const auto& [name, settings, present, absent] : rows) {
        SCOPED_TRACE(name);
        const QString text = dnsmasqConfiguration(settings);
        const QStringList lines = optionLines(text);
        for (const QString& wanted : present)
            EXPECT_EQ(lines.count(wanted), 1) << qPrintable(wanted);
        for (const QString& line : lines) {
            for (const QString& unwanted : absent)
                EXPECT_FALSE(line.startsWith(unwanted)) << qPrintable(line);
            EXPECT_TRUE(option.match(line).hasMatch()) << qPrintable(line);
        }
        EXPECT_TRUE(text.endsWith(QLatin1Char('\n')));
    }
}

TEST(DnsmasqConfig, PlainDomainNamesAreWhatDnsmasqCanBeGiven) {
    const QString label49 = QString(49, QLatin1Char('a')) + QLatin1Char('.');
    const std::tuple<const char*, QString, bool> rows[] = {
        {"two labels", "provider.lab", true},
        {"label of 64", QString(64, QLatin1Char('a')) + ".lab", false},
        {"254 in all", label49.repeated(5) + "abcd", false},
        {"slash ends dnsmasq's domain list", "a/b", false},
        {"hash starts dnsmasq's set name", "a#b", false},
        {"not ASCII (punycode is)", QStringLiteral("b\u00fccher.example"), false},
    };
    for (const auto& [name, text, plain] : rows)
        EXPECT_EQ(isPlainDomainName(text), plain) << name;
}
