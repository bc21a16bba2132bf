#include "platform/firewall.h"

#include "platform/connection_tracking.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <linux/capability.h>
#include <nftables/libnftables.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The effective set of this thread; when the kernel will not say, nft will.
bool hasNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return true;
    return (data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective & CAP_TO_MASK(CAP_NET_ADMIN)) != 0;
}

} // namespace

Firewall::Firewall() : nft_(nft_ctx_new(NFT_CTX_DEFAULT)) {
    if (nft_ != nullptr) {
        nft_ctx_buffer_output(nft_);
        nft_ctx_buffer_error(nft_);
    }
}

Firewall::~Firewall() {
    remove();
    if (nft_ != nullptr)
        nft_ctx_free(nft_);
}

QString Firewall::adapterHolding(quint32 address) {
    const QHostAddress wanted(address);
    for (const QNetworkInterface& adapter : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : adapter.addressEntries()) {
            if (entry.ip() == wanted)
                return adapter.name();
        }
    }
    return QString();
}

bool Firewall::fail(const QString& reason) {
    error_ = reason;
    return false;
}

bool Firewall::run(const QString& commands, QByteArray* output) {
    nftError_.clear();
    const int result = nft_run_cmd_from_buffer(nft_, commands.toUtf8().constData());
    // Reading a buffer also empties it for the next command.
    const QByteArray listed = nft_ctx_get_output_buffer(nft_);
    nftError_ = QString::fromUtf8(nft_ctx_get_error_buffer(nft_));
    if (output != nullptr)
        *output = listed;
    return result == 0;
}

bool Firewall::install(FirewallSetup setup, const QString& stateDirectory) {
    error_.clear();
    if (nft_ == nullptr)
        return fail(QStringLiteral("libnftables could not be set up"));
    if (setup.lanInterface.isEmpty())
        setup.lanInterface = adapterHolding(setup.gatewayAddress);
    if (setup.lanInterface.isEmpty())
        return fail(QStringLiteral("no adapter holds %1")
                        .arg(QHostAddress(setup.gatewayAddress).toString()));
    if (!FirewallRules::isInterfaceName(setup.lanInterface))
        return fail(QStringLiteral("the adapter name \"%1\" cannot be used in nftables rules")
                        .arg(setup.lanInterface));
    if (!hasNetAdmin())
        return fail(QString::fromLatin1(FirewallRules::kNoCapabilityText));
    // A failed install leaves nothing of this firewall, not even an earlier install's table.
    installed_ = false;
    paidAddresses_.clear();
    if (!forwarding_.remember(stateDirectory))
        return fail(forwarding_.errorText());
    setup.otherAdaptersUnrouted = forwarding_.earlier() == 0;
    const QString table = FirewallRules::tableText(setup);
    if (table.isEmpty()) {
        forwarding_.restore();
        return fail(QStringLiteral("the firewall setup cannot be written as nftables rules"));
    }
    // The table before forwarding: there is never a moment of forwarding without it.
    if (!run(table)) {
        error_ = FirewallRules::refusalReason(nftError_);
        // After a crash forwarding is still on and the old table still there: both go.
        forwarding_.restore();
        run(FirewallRules::deleteTableText());
        return false;
    }
    if (!forwarding_.switchOn()) {
        error_ = forwarding_.errorText();
        run(FirewallRules::deleteTableText());
        forwarding_.restore();
        return false;
    }
    setup_ = setup;
    installed_ = true;
    return true;
}

bool Firewall::setPaidClients(const std::vector<PaidClient>& clients) {
    error_.clear();
    if (!installed_)
        return fail(QStringLiteral("the firewall is not installed"));
    if (!run(FirewallRules::paidClientsText(clients)))
        return fail(QStringLiteral("the paid clients could not be set: %1")
                        .arg(nftError_.section(QLatin1Char('\n'), 0, 0)));
    std::set<quint32> now;
    for (const PaidClient& client : clients) {
        if (FirewallRules::isForwarded(client))
            now.insert(client.address);
    }
    std::set<quint32> ended;
    for (quint32 address : paidAddresses_) {
        if (now.count(address) == 0)
            ended.insert(address);
    }
    paidAddresses_ = std::move(now);
    return forget(ended);
}

bool Firewall::forget(const std::set<quint32>& addresses) {
    QString reason;
    if (ConnectionTracking::forgetForwarded(addresses, setup_.gatewayAddress, &reason) < 0)
        return fail(reason);
    return true;
}

std::optional<FirewallCounters> Firewall::counters() {
    error_.clear();
    if (!installed_) {
        fail(QStringLiteral("the firewall is not installed"));
        return std::nullopt;
    }
    const unsigned int flags = nft_ctx_output_get_flags(nft_);
    nft_ctx_output_set_flags(nft_, flags | NFT_CTX_OUTPUT_JSON);
    QByteArray listing;
    const bool listed = run(FirewallRules::listCountersText(), &listing);
    nft_ctx_output_set_flags(nft_, flags);
    std::optional<FirewallCounters> counters;
    if (listed)
        counters = FirewallRules::parseCounters(listing);
    if (!counters)
        fail(QStringLiteral("the counters could not be read: %1")
                 .arg(listed ? QStringLiteral("unexpected listing")
                             : nftError_.section(QLatin1Char('\n'), 0, 0)));
    return counters;
}

bool Firewall::remove() {
    error_.clear();
    if (!installed_)
        return true;
    if (!forwarding_.restore())
        return fail(forwarding_.errorText());
    installed_ = false;
    bool removed = true;
    // A table someone else deleted already is as good as removed.
    if (!run(FirewallRules::deleteTableText()) &&
        !nftError_.contains(QLatin1String("No such file or directory")))
        removed = fail(QStringLiteral("the firewall table could not be deleted: %1")
                           .arg(nftError_.section(QLatin1Char('\n'), 0, 0)));
    const std::set<quint32> paid = std::exchange(paidAddresses_, {});
    return forget(paid) && removed;
}
