#pragma once
// The clients whose traffic the kernel may forward: each LAN client that took its lease by
// DHCP, holds it now and whose allowance runs, with the time its allowance has left.

#include "platform/paid_client.h"
#include "registry/allowed_list.h"
#include "registry/client_registry.h"

#include <QDateTime>
#include <vector>

std::vector<PaidClient> paidClients(const ClientRegistry& registry, const AllowedList& allowed,
                                    const QDateTime& now);
