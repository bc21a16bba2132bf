#pragma once
// The client registry: the segment's lease table. Which hardware address holds which host
// number, when the client was last heard from, whether its lease runs, and whether the
// provider page has named it. Kept in memory only, in order of creation, and mirrored on a
// TreeDisplay. What a client may browse is the allowed list's word (registry/allowed_list.h).

#include "common/clock.h"
#include "common/ipv4_address.h"
#include "common/lan_network.h"
#include "common/mac_address.h"
#include "registry/allowed_list.h"
#include "registry/tree_display.h"

#include <QDateTime>
#include <QHash>
#include <memory>
#include <optional>
#include <vector>

struct ClientEntry {
    int hostNumber = 0;
    Ipv4Address address;
    QByteArray hardwareAddress; // as the client gave it (hlen bytes); keys the entry
    bool ethernet = true;       // htype 1 with a six-byte address
    QDateTime lastSeen;         // null until the client is first seen
    QDateTime leaseEnd;         // end of the lease of the last ACK sent; null when none runs
    // Named by a provider page since the entry was made: shown "Allowed" until it goes.
    bool allowed = false;
    QDateTime allowanceEnd; // when allowed: null for an allowance that never ends
    bool away = false;      // released its lease while allowed
    bool probing = false;   // its number is being probed before the offer: not to be taken
    // The number a probe found free, or one this client was given a lease on: offered again
    // without a probe. Any other number (0: none) is probed before it is offered.
    int checkedNumber = 0;

    // The Ethernet address, for a client that has one.
    std::optional<MacAddress> mac() const {
        return ethernet ? MacAddress::fromBytes(hardwareAddress) : std::nullopt;
    }
};

class ClientRegistry {
public:
    ClientRegistry(const Clock& clock, const AllowedList& allowedMacs,
                   TreeDisplay* display = nullptr, LanNetwork network = {});
    ~ClientRegistry();

    // Shows every entry on display from now on, those already held first. Null for none.
    void setDisplay(TreeDisplay* display);

    // The client's entry, created when the registry has none for hardwareAddress, with
    // preferredNumber when that one is free (a client that says it holds it keeps it) or else
    // the lowest free host number; marked as seen now either way. Null when no number can be
    // had: every number of the pool is held by a running lease or held back.
    ClientEntry* RegisterClient(const QByteArray& hardwareAddress, bool ethernet = true,
                                int preferredNumber = 0);
    // Marks the client's entry allowed until end (null: never). A MAC that has no entry gets
    // none: only a DHCP exchange gives a client an address, so a feed record can never make an
    // address stand for a paid client that is not on the LAN. The client's entry shows the
    // allowance once it comes.
    void AllowClient(const MacAddress& mac, const QDateTime& end);
    // Whether the client at this address may browse: its Ethernet address is in the allowed
    // list and its allowance runs. Marks the client as seen. neighbourMac: the hardware address
    // the kernel's neighbour table holds for the address, when it holds one; a host that took a
    // paid client's address by hand shows there and is refused.
    bool IsClientAllowed(Ipv4Address address, const QByteArray& neighbourMac = {});
    // The hardware address of the client at address as 12 hex digits (any length, two digits a
    // byte), or "" when no entry has the address (or the neighbour table names another host).
    QString GetClientMac(Ipv4Address address, const QByteArray& neighbourMac = {}) const;
    // Removes entries not allowed, last seen more than an hour ago, whose lease has run out.
    void RemoveIdleClients();
    // After a RELEASE: an allowed entry stays, shown away, any other is removed. The lease ends
    // either way.
    void ReleaseClient(ClientEntry* entry);

    // An ACK carrying a lease was sent for this entry: the lease runs one day from now.
    void LeaseGranted(ClientEntry* entry);
    // The client declined its address (another host uses it): the number is held back for an
    // hour, from every client but holder (the host found using it, when known), and the entry
    // is removed.
    void DeclineClient(ClientEntry* entry, const QByteArray& holder = {});
    // Another host uses this number: for an hour no client but that holder is given it.
    void HoldBack(int hostNumber, const QByteArray& holder = {});

    const std::vector<std::unique_ptr<ClientEntry>>& entries() const { return entries_; }
    int clientCount() const { return static_cast<int>(entries_.size()); }
    ClientEntry* findByHardwareAddress(const QByteArray& hardwareAddress) const;
    ClientEntry* findByAddress(Ipv4Address address) const;

private:
    ClientEntry* createEntry(const QByteArray& hardwareAddress, int preferredNumber);
    // The entry at address, unless the neighbour table names another host there.
    ClientEntry* clientAt(Ipv4Address address, const QByteArray& neighbourMac) const;
    bool isFreeFor(int hostNumber, const QByteArray& hardwareAddress, const QDateTime& now) const;
    bool isTaken(int hostNumber) const;
    int freeHostNumber(const QDateTime& now);
    ClientEntry* longestSilentWithoutLease(const QDateTime& now) const;
    void removeEntry(ClientEntry* entry);
    void show(const ClientEntry& entry);

    const Clock& clock_;
    const AllowedList& allowedMacs_;
    TreeDisplay* display_;
    LanNetwork network_;
    std::vector<std::unique_ptr<ClientEntry>> entries_;
    QHash<QByteArray, ClientEntry*> byHardware_; // every message of a client looks it up
    QHash<Ipv4Address, ClientEntry*> byAddress_; // every proxied request looks its client up
    struct Hold {
        QDateTime end;
        QByteArray holder; // the host known to use the number, when known
    };
    QHash<int, Hold> heldBack_; // host numbers no newcomer is given for an hour
};
