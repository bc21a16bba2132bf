#pragma once
// What a gateway without a window (a system service) checks before it starts: nobody is there to
// type a login or to notice a gateway that serves half, so it ends at once and says why.

#include <QString>
#include <QStringList>

#include <cstdint>

namespace HeadlessStart {

// The capabilities the gateway needs (binding port 67, ARP probes, its firewall table) that
// the effective set (bit n for capability n) lacks, by name: "CAP_NET_ADMIN", ...
QStringList missingCapabilities(std::uint64_t effective);

// This process's effective capabilities.
std::uint64_t effectiveCapabilities();

// Why the gateway cannot run headless: a missing capability or no stored provider login.
// Empty when it can.
QString problem();

} // namespace HeadlessStart
