#include "registry/paid_clients.h"

#include <QHostAddress>

std::vector<PaidClient> paidClients(const ClientRegistry& registry, const AllowedList& allowed,
                                    const QDateTime& now) {
    std::vector<PaidClient> paid;
    for (const auto& entry : registry.entries()) {
        // A feed record alone gives no address, and a released lease no longer holds one.
        const bool leased = !entry->leaseEnd.isNull() && entry->leaseEnd > now;
        if (!entry->ethernet || entry->mac.size() != 6 || !leased ||
            !allowed.isAllowed(entry->mac, now))
            continue;
        const QDateTime end = allowed.end(entry->mac);
        PaidClient client;
        client.address = QHostAddress(entry->address).toIPv4Address();
        client.mac = entry->mac;
        if (!end.isNull())
            client.secondsLeft = now.secsTo(end);
        paid.push_back(client);
    }
    return paid;
}
