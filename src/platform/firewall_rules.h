#pragma once
// The gateway's own nftables table, as text for libnftables: the whole table that captures LAN
// devices without proxy settings while unpaid and lets the kernel forward them once paid, the
// replacement of its paid-client sets, and the reading of its counters. Pure functions; the
// Firewall class runs them.
//
// The table (inet tarnix) holds:
// - set paid: (IPv4 address . Ethernet address) pairs, each with its allowance as timeout;
//   every packet from the LAN is looked up in it, so a pair that leaves it stops its flows.
// - set paid_addresses: their addresses with the same timeouts; only these get replies.
// - set garden: addresses the name service adds (default timeout, bounded size); TCP 443 to
//   them is forwarded for every client.
// - counters up and down: bytes forwarded from and to the LAN.
// - chains: capture (nat prerouting: unpaid TCP 80 to the proxy), lan_source_nat (nat
//   postrouting), forward (paid, garden, 443 refused, rest dropped) and input (the gateway's
//   DHCP, name service and proxy only).

#include "common/lan_network.h"
#include "platform/paid_client.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

struct FirewallSetup {
    QString lanInterface;       // the LAN adapter's name, as the kernel knows it
    quint32 gatewayAddress = 0; // the gateway's LAN address, host byte order
    int prefixLength = LanNetwork().prefixLength;
    quint16 proxyPort = LanNetwork().proxyPort;
    // IPv4 forwarding was off before the gateway switched it on: packets between the machine's
    // other adapters then stay unforwarded, as they were.
    bool otherAdaptersUnrouted = true;
    qint64 gardenTimeoutSeconds = 86400;
    int gardenSize = 4096;
};

struct FirewallCounters {
    quint64 upBytes = 0;
    quint64 upPackets = 0;
    quint64 downBytes = 0;
    quint64 downPackets = 0;
};

namespace FirewallRules {

inline constexpr char kTableFamily[] = "inet";
inline constexpr char kTableName[] = "tarnix";
inline constexpr char kPaidSet[] = "paid";
inline constexpr char kPaidAddressSet[] = "paid_addresses";
inline constexpr char kGardenSet[] = "garden";
// Longer allowances are written as this (ten years): nft takes no longer element timeouts.
inline constexpr qint64 kMaxTimeoutSeconds = 3650LL * 86400;

// Whether name can stand in the table text as an adapter name: what the kernel allows (1 to 15
// bytes, no "/", ":" or blank), less the characters an nft string cannot hold.
bool isInterfaceName(const QString& name);

// The whole table as one transaction that replaces any table of that name (left behind by a
// run that crashed) without failing when there is none. Empty for a setup it cannot express
// (adapter name, prefix length, zero gateway address or garden bounds).
QString tableText(const FirewallSetup& setup);
QString deleteTableText();

// "3600s", "1d", "41d3600s": nft's own parser refuses more than eight digits of seconds, so whole
// days are written as days. Capped at kMaxTimeoutSeconds.
QString timeoutText(qint64 seconds);
// "02:00:00:00:11:0a"; empty unless mac is six bytes.
QString macText(const QByteArray& mac);

// Whether a client goes into the paid sets: its allowance runs and its hardware address is six
// bytes.
bool isForwarded(const PaidClient& client);

// Empties both paid sets and fills them from clients, in one transaction. Clients whose
// allowance has run out (zero or fewer seconds) or whose hardware address is not six bytes are
// left out; a pair or address listed twice is written once, with the longer allowance.
QString paidClientsText(const std::vector<PaidClient>& clients);

// The listing the counters are read from (with JSON output), and its reading: both counters of
// this table, or none when the text is not such a listing.
QString listCountersText();
std::optional<FirewallCounters> parseCounters(const QByteArray& json);

// What the operator is told when the gateway may not change the firewall.
inline constexpr char kNoCapabilityText[] =
    "the gateway lacks the cap_net_admin capability: run it as root, or give the program that "
    "capability with setcap";
// Why nft refused the table, for the operator, from nft's error text: the missing capability,
// the kernel's missing nftables support, or else nft's own first line.
QString refusalReason(const QString& nftError);

} // namespace FirewallRules
