#pragma once
// The gateway's firewall for LAN devices without proxy settings: installs the table of
// platform/firewall_rules.h through libnftables, one transaction per change (short synchronous
// netlink calls, fine on the event loop's thread), keeps IPv4 forwarding on while the table is
// there, replaces the paid clients and reads the forwarded byte counters. Needs CAP_NET_ADMIN
// and a kernel with nftables; without either, install() fails with the reason in errorText()
// and the gateway serves clients with proxy settings only.

#include "platform/firewall_rules.h"
#include "platform/ip_forwarding.h"
#include "platform/paid_client.h"

#include <QString>
#include <optional>
#include <set>
#include <vector>

struct nft_ctx;

class Firewall {
public:
    Firewall();
    // Removes what is still installed.
    ~Firewall();
    Firewall(const Firewall&) = delete;
    Firewall& operator=(const Firewall&) = delete;

    // The name of the adapter holding address (host byte order); empty when none does.
    static QString adapterHolding(quint32 address);

    // Installs the table, replacing one an earlier run left behind, and switches IPv4
    // forwarding on, its earlier value kept in a state file in stateDirectory until remove().
    // An empty setup.lanInterface is found from setup.gatewayAddress; otherAdaptersUnrouted is
    // set here from the earlier forwarding value. The paid sets start empty.
    bool install(FirewallSetup setup, const QString& stateDirectory);
    bool isInstalled() const { return installed_; }

    // Replaces the paid clients in one transaction, and deletes the connection tracking entries
    // of the addresses that were paid at the last call and are not now. False when either step
    // failed (the sets are replaced when only the second did).
    bool setPaidClients(const std::vector<PaidClient>& clients);

    // The bytes and packets forwarded from and to the LAN since install: one listing.
    std::optional<FirewallCounters> counters();

    // Gives IPv4 forwarding its earlier value back, deletes the table and the connection
    // tracking entries of the paid addresses. When forwarding cannot be given back the table
    // stays, so nothing is forwarded unfiltered, and the state file stays for the next start.
    bool remove();

    // Why the last call failed, for the operator.
    QString errorText() const { return error_; }

private:
    // Runs nft commands as one transaction; output (when given) receives what they list.
    bool run(const QString& commands, QByteArray* output = nullptr);
    bool forget(const std::set<quint32>& addresses);
    bool fail(const QString& reason);

    nft_ctx* nft_ = nullptr;
    IpForwarding forwarding_;
    FirewallSetup setup_;
    std::set<quint32> paidAddresses_;
    bool installed_ = false;
    QString error_;
    QString nftError_;
};
