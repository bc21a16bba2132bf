#pragma once
// A client whose traffic the kernel forwards while its allowance runs: its IPv4 address, its
// Ethernet address and the time left. The registry side builds lists of these for the firewall
// without needing anything of nftables.

#include <QByteArray>
#include <QtGlobal>
#include <optional>

struct PaidClient {
    quint32 address = 0;               // IPv4, host byte order
    QByteArray mac;                    // the six bytes of the Ethernet address
    std::optional<qint64> secondsLeft; // none: the allowance never runs out
};
