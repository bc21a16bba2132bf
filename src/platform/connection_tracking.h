#pragma once
// The kernel's connection tracking table, through libnetfilter_conntrack (ctnetlink): forgetting
// the connections of LAN clients whose access has ended, so that none of them carries on by the
// address translation it was set up with. Needs CAP_NET_ADMIN.

#include <QString>
#include <set>

namespace ConnectionTracking {

// Deletes the IPv4 entries whose original source is one of addresses (host byte order), except
// those answered by the gateway itself (replySourceKept: its LAN address), which are the
// proxy's, the name service's and redirected web connections and never forwarded. The number
// deleted, or -1 with the reason in error.
int forgetForwarded(const std::set<quint32>& addresses, quint32 replySourceKept, QString* error);

} // namespace ConnectionTracking
