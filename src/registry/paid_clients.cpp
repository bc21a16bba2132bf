#include "registry/paid_clients.h"

std::vector<PaidClient> paidClients(const ClientRegistry& registry, const AllowedList& allowed,
                                    const QDateTime& now) {
    std::vector<PaidClient> paid;
    for (const auto& entry : registry.entries()) {
        // A feed record alone gives no address, and a released lease no longer holds one.
        const bool leased = !entry->leaseEnd.isNull() && entry->leaseEnd > now;
        const std::optional<MacAddress> mac = entry->mac();
        if (!mac || !leased || !allowed.isAllowed(*mac, now))
            continue;
        const QDateTime end = allowed.end(*mac);
        PaidClient client;
        client.address = entry->address.value();
        client.mac = mac->bytes();
        if (!end.isNull())
            client.secondsLeft = now.secsTo(end);
        paid.push_back(client);
    }
    return paid;
}
