#include "platform/firewall_rules.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <map>

namespace {

// The gateway's name service and DHCP server, and the web's plain and TLS ports.
constexpr int kNameServicePort = 53;
constexpr int kDhcpServerPort = 67;
constexpr int kWebPort = 80;
constexpr int kTlsPort = 443;
constexpr int kInterfaceNameMax = 15; // IFNAMSIZ less its terminating zero

QString table() {
    return QStringLiteral("%1 %2").arg(FirewallRules::kTableFamily, FirewallRules::kTableName);
}

QString dotted(quint32 address) {
    return QHostAddress(address).toString();
}

// prefixLength from 1 to 32.
quint32 networkOf(quint32 address, int prefixLength) {
    return address & (~quint32(0) << (32 - prefixLength));
}

QString elementTimeout(const std::optional<qint64>& secondsLeft) {
    return secondsLeft ? QStringLiteral(" timeout ") + FirewallRules::timeoutText(*secondsLeft)
                       : QString();
}

// The longer of two allowances; none (never runs out) is the longest.
std::optional<qint64> longer(const std::optional<qint64>& a, const std::optional<qint64>& b) {
    if (!a || !b)
        return std::nullopt;
    return std::max(*a, *b);
}

template <typename Key>
void keepLonger(std::map<Key, std::optional<qint64>>& into, const Key& key,
                const std::optional<qint64>& secondsLeft) {
    const auto [it, inserted] = into.try_emplace(key, secondsLeft);
    if (!inserted)
        it->second = longer(it->second, secondsLeft);
}

} // namespace

namespace FirewallRules {

bool isInterfaceName(const QString& name) {
    if (name.isEmpty() || name.size() > kInterfaceNameMax || name == QLatin1String(".") ||
        name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F || c == QLatin1Char('/') ||
            c == QLatin1Char(':') || c == QLatin1Char('"') || c == QLatin1Char('\\'))
            return false;
    }
    return true;
}

QString tableText(const FirewallSetup& setup) {
    if (!isInterfaceName(setup.lanInterface) || setup.prefixLength < 1 || setup.prefixLength > 32 ||
        setup.gatewayAddress == 0 || setup.gardenSize < 1 || setup.gardenTimeoutSeconds < 1)
        return QString();
    const QString lan = QLatin1Char('"') + setup.lanInterface + QLatin1Char('"');
    const QString gateway = dotted(setup.gatewayAddress);
    const QString segment = dotted(networkOf(setup.gatewayAddress, setup.prefixLength)) +
                            QLatin1Char('/') + QString::number(setup.prefixLength);
    const QString proxy = QString::number(setup.proxyPort);

    QStringList t;
    // Creating it first makes the delete succeed when no earlier run left the table behind.
    t << QStringLiteral("add table %1").arg(table());
    t << QStringLiteral("delete table %1").arg(table());
    t << QStringLiteral("table %1 {").arg(table());
    t << QStringLiteral("    set %1 {").arg(kPaidSet);
    t << QStringLiteral("        type ipv4_addr . ether_addr");
    t << QStringLiteral("        flags timeout");
    t << QStringLiteral("    }");
    t << QStringLiteral("    set %1 {").arg(kPaidAddressSet);
    t << QStringLiteral("        type ipv4_addr");
    t << QStringLiteral("        flags timeout");
    t << QStringLiteral("    }");
    t << QStringLiteral("    set %1 {").arg(kGardenSet);
    t << QStringLiteral("        type ipv4_addr");
    t << QStringLiteral("        flags timeout");
    t << QStringLiteral("        timeout %1").arg(timeoutText(setup.gardenTimeoutSeconds));
    t << QStringLiteral("        size %1").arg(setup.gardenSize);
    t << QStringLiteral("    }");
    // Per-address limits on the name service, which has none of its own: one client's flood of
    // queries or of silent TCP connections cannot crowd the others out.
    t << QStringLiteral("    set name_queries {");
    t << QStringLiteral("        type ipv4_addr");
    t << QStringLiteral("        flags dynamic,timeout");
    t << QStringLiteral("        timeout 1m");
    t << QStringLiteral("        size 4096");
    t << QStringLiteral("    }");
    t << QStringLiteral("    set name_connections {");
    t << QStringLiteral("        type ipv4_addr");
    t << QStringLiteral("        flags dynamic");
    t << QStringLiteral("        size 4096");
    t << QStringLiteral("    }");
    t << QStringLiteral("    counter up {");
    t << QStringLiteral("    }");
    t << QStringLiteral("    counter down {");
    t << QStringLiteral("    }");
    // NAT rules see only the first packet of a connection: paid clients keep their port 80.
    t << QStringLiteral("    chain capture {");
    t << QStringLiteral("        type nat hook prerouting priority dstnat; policy accept;");
    t << QStringLiteral("        iifname %1 ip saddr . ether saddr @%2 accept").arg(lan, kPaidSet);
    t << QStringLiteral("        iifname %1 ip daddr != %2 tcp dport %3 redirect to :%4")
             .arg(lan, gateway)
             .arg(kWebPort)
             .arg(proxy);
    t << QStringLiteral("    }");
    // postrouting knows no input adapter: the LAN is told by its source addresses, less the
    // gateway's own (its own traffic keeps its address).
    t << QStringLiteral("    chain lan_source_nat {");
    t << QStringLiteral("        type nat hook postrouting priority srcnat; policy accept;");
    t << QStringLiteral("        ip saddr %1 ip saddr != %2 oifname != %3 masquerade")
             .arg(segment, gateway, lan);
    t << QStringLiteral("    }");
    t << QStringLiteral("    chain forward {");
    t << QStringLiteral("        type filter hook forward priority filter; policy accept;");
    t << QStringLiteral("        iifname %1 jump from_lan").arg(lan);
    t << QStringLiteral("        oifname %1 jump to_lan").arg(lan);
    if (setup.otherAdaptersUnrouted)
        t << QStringLiteral("        drop comment \"forwarding was off: other adapters stay "
                            "unrouted\"");
    t << QStringLiteral("    }");
    // Every packet, not only a connection's first, so a pair that expires or is removed stops
    // its flows at once.
    t << QStringLiteral("    chain from_lan {");
    t << QStringLiteral("        ip saddr . ether saddr @%1 counter name \"up\" accept")
             .arg(kPaidSet);
    t << QStringLiteral("        ip daddr @%1 tcp dport %2 counter name \"up\" accept")
             .arg(kGardenSet)
             .arg(kTlsPort);
    t << QStringLiteral("        tcp dport %1 reject with tcp reset").arg(kTlsPort);
    // inet's plain reject is ICMP port unreachable: QUIC falls back to TCP at once.
    t << QStringLiteral("        udp dport %1 reject").arg(kTlsPort);
    t << QStringLiteral("        drop");
    t << QStringLiteral("    }");
    t << QStringLiteral("    chain to_lan {");
    t << QStringLiteral("        ct state established,related ip daddr @%1 counter name \"down\" "
                        "accept")
             .arg(kPaidAddressSet);
    t << QStringLiteral("        ct state established ip saddr @%1 tcp sport %2 counter name "
                        "\"down\" accept")
             .arg(kGardenSet)
             .arg(kTlsPort);
    t << QStringLiteral("        drop");
    t << QStringLiteral("    }");
    t << QStringLiteral("    chain input {");
    t << QStringLiteral("        type filter hook input priority filter; policy accept;");
    t << QStringLiteral("        iifname %1 jump lan_to_gateway").arg(lan);
    t << QStringLiteral("    }");
    // Replies to the gateway's own connections pass; redirected port 80 arrives as the proxy
    // port. Echo requests are answered, and IPv6's neighbour discovery keeps working.
    t << QStringLiteral("    chain lan_to_gateway {");
    t << QStringLiteral("        ct state established,related accept");
    t << QStringLiteral("        udp dport %1 add @name_queries { ip saddr limit rate over "
                        "200/second burst 400 packets } drop")
             .arg(kNameServicePort);
    t << QStringLiteral("        tcp dport %1 ct state new add @name_connections { ip saddr ct "
                        "count over 4 } reject with tcp reset")
             .arg(kNameServicePort);
    t << QStringLiteral("        udp dport { %1, %2 } accept")
             .arg(kNameServicePort)
             .arg(kDhcpServerPort);
    t << QStringLiteral("        tcp dport { %1, %2 } accept").arg(kNameServicePort).arg(proxy);
    t << QStringLiteral("        icmp type echo-request accept");
    t << QStringLiteral("        meta l4proto ipv6-icmp accept");
    t << QStringLiteral("        meta l4proto tcp reject with tcp reset");
    t << QStringLiteral("        reject");
    t << QStringLiteral("    }");
    t << QStringLiteral("}");
    return t.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString deleteTableText() {
    return QStringLiteral("delete table %1\n").arg(table());
}

QString timeoutText(qint64 seconds) {
    seconds = std::clamp<qint64>(seconds, 0, kMaxTimeoutSeconds);
    const qint64 days = seconds / 86400;
    const qint64 rest = seconds % 86400;
    if (days == 0)
        return QString::number(rest) + QLatin1Char('s');
    return QString::number(days) + QLatin1Char('d') +
           (rest != 0 ? QString::number(rest) + QLatin1Char('s') : QString());
}

QString macText(const QByteArray& mac) {
    if (mac.size() != 6)
        return QString();
    return QString::fromLatin1(mac.toHex(':'));
}

bool isForwarded(const PaidClient& client) {
    return client.mac.size() == 6 && (!client.secondsLeft || *client.secondsLeft > 0);
}

QString paidClientsText(const std::vector<PaidClient>& clients) {
    std::map<std::pair<quint32, QString>, std::optional<qint64>> pairs;
    std::map<quint32, std::optional<qint64>> addresses;
    for (const PaidClient& client : clients) {
        if (!isForwarded(client))
            continue;
        keepLonger(pairs, {client.address, macText(client.mac)}, client.secondsLeft);
        keepLonger(addresses, client.address, client.secondsLeft);
    }
    QString text = QStringLiteral("flush set %1 %2\nflush set %1 %3\n")
                       .arg(table(), kPaidSet, kPaidAddressSet);
    if (pairs.empty())
        return text;
    QStringList elements;
    for (const auto& [pair, secondsLeft] : pairs)
        elements << dotted(pair.first) + QStringLiteral(" . ") + pair.second +
                        elementTimeout(secondsLeft);
    text += QStringLiteral("add element %1 %2 { %3 }\n")
                .arg(table(), kPaidSet, elements.join(QStringLiteral(", ")));
    elements.clear();
    for (const auto& [address, secondsLeft] : addresses)
        elements << dotted(address) + elementTimeout(secondsLeft);
    text += QStringLiteral("add element %1 %2 { %3 }\n")
                .arg(table(), kPaidAddressSet, elements.join(QStringLiteral(", ")));
    return text;
}

QString listCountersText() {
    return QStringLiteral("list counters table %1\n").arg(table());
}

std::optional<FirewallCounters> parseCounters(const QByteArray& json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonValue items = document.object().value(QLatin1String("nftables"));
    if (!items.isArray())
        return std::nullopt;
    FirewallCounters result;
    bool up = false;
    bool down = false;
    for (const QJsonValue& item : items.toArray()) {
        const QJsonObject counter = item.toObject().value(QLatin1String("counter")).toObject();
        if (counter.value(QLatin1String("family")).toString() != QLatin1String(kTableFamily) ||
            counter.value(QLatin1String("table")).toString() != QLatin1String(kTableName))
            continue;
        const QJsonValue bytes = counter.value(QLatin1String("bytes"));
        const QJsonValue packets = counter.value(QLatin1String("packets"));
        if (!bytes.isDouble() || !packets.isDouble() || bytes.toInteger(-1) < 0 ||
            packets.toInteger(-1) < 0)
            continue;
        const QString name = counter.value(QLatin1String("name")).toString();
        if (name == QLatin1String("up")) {
            result.upBytes = quint64(bytes.toInteger());
            result.upPackets = quint64(packets.toInteger());
            up = true;
        } else if (name == QLatin1String("down")) {
            result.downBytes = quint64(bytes.toInteger());
            result.downPackets = quint64(packets.toInteger());
            down = true;
        }
    }
    if (!up || !down)
        return std::nullopt;
    return result;
}

QString refusalReason(const QString& nftError) {
    QString line;
    for (const QString& candidate : nftError.split(QLatin1Char('\n'))) {
        line = candidate.trimmed();
        if (!line.isEmpty())
            break;
    }
    for (const QLatin1String prefix : {QLatin1String("netlink: "), QLatin1String("Error: ")}) {
        if (line.startsWith(prefix))
            line.remove(0, prefix.size());
    }
    if (line.contains(QLatin1String("Operation not permitted")))
        return QString::fromLatin1(kNoCapabilityText);
    // No nf_tables, or none of the expressions or NAT types the table uses (errno texts of
    // EOPNOTSUPP, EPROTONOSUPPORT, EAFNOSUPPORT and ENOENT).
    for (const char* missing : {"not supported", "No such file or directory"}) {
        if (line.contains(QLatin1String(missing)))
            return QStringLiteral("the kernel offers no nftables support for the gateway's table "
                                  "(%1)")
                .arg(line);
    }
    if (line.isEmpty())
        line = QStringLiteral("no reason given");
    return QStringLiteral("nft refused the gateway's table (%1)").arg(line);
}

} // namespace FirewallRules
