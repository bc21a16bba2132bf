#include "registry/client_registry.h"

#include <algorithm>

namespace {

constexpr qint64 kHourSeconds = 3600;

} // namespace

ClientRegistry::ClientRegistry(const Clock& clock, const AllowedList& allowedMacs,
                               TreeDisplay* display, LanNetwork network)
    : clock_(clock), allowedMacs_(allowedMacs), display_(display), network_(network) {}

ClientRegistry::~ClientRegistry() = default;

void ClientRegistry::setDisplay(TreeDisplay* display) {
    display_ = display;
    if (!display_)
        return;
    for (const auto& entry : entries_)
        display_->addEntry(*entry);
}

ClientEntry* ClientRegistry::RegisterClient(const QByteArray& hardwareAddress, bool ethernet,
                                            int preferredNumber) {
    const QDateTime now = clock_.now();
    ClientEntry* entry = findByHardwareAddress(hardwareAddress);
    const bool known = entry != nullptr;
    if (!entry)
        entry = createEntry(hardwareAddress, preferredNumber);
    if (!entry)
        return nullptr;
    // Shown again only when something shown changes (the clock counts whole seconds).
    const bool changed = entry->away || entry->lastSeen != now;
    entry->away = false;
    entry->lastSeen = now;
    entry->ethernet = ethernet;
    if (!known && display_)
        display_->addEntry(*entry);
    else if (changed)
        show(*entry);
    return entry;
}

void ClientRegistry::AllowClient(const MacAddress& mac, const QDateTime& end) {
    ClientEntry* entry = findByHardwareAddress(mac.bytes());
    if (!entry)
        return;
    entry->allowed = true;
    entry->allowanceEnd = end;
    show(*entry);
}

ClientEntry* ClientRegistry::clientAt(Ipv4Address address, const QByteArray& neighbourMac) const {
    ClientEntry* entry = findByAddress(address);
    if (!entry || (!neighbourMac.isEmpty() && neighbourMac != entry->hardwareAddress))
        return nullptr;
    return entry;
}

bool ClientRegistry::IsClientAllowed(Ipv4Address address, const QByteArray& neighbourMac) {
    ClientEntry* entry = clientAt(address, neighbourMac);
    if (!entry)
        return false;
    const QDateTime now = clock_.now();
    // The clock counts whole seconds, as the display does: a client asking many times within
    // one second is shown once.
    if (entry->lastSeen != now) {
        entry->lastSeen = now;
        show(*entry);
    }
    const std::optional<MacAddress> mac = entry->mac();
    return mac && allowedMacs_.isAllowed(*mac, now);
}

QString ClientRegistry::GetClientMac(Ipv4Address address, const QByteArray& neighbourMac) const {
    const ClientEntry* entry = clientAt(address, neighbourMac);
    return entry ? QString::fromLatin1(entry->hardwareAddress.toHex().toUpper()) : QString();
}

static bool leaseRuns(const ClientEntry& entry, const QDateTime& now) {
    return !entry.leaseEnd.isNull() && entry.leaseEnd > now;
}

void ClientRegistry::RemoveIdleClients() {
    const QDateTime now = clock_.now();
    const QDateTime idleBefore = now.addSecs(-kHourSeconds);
    std::vector<ClientEntry*> idle;
    for (const auto& e : entries_) {
        if (!e->allowed && !e->lastSeen.isNull() && e->lastSeen < idleBefore && !leaseRuns(*e, now))
            idle.push_back(e.get());
    }
    for (ClientEntry* entry : idle)
        removeEntry(entry);
}

void ClientRegistry::ReleaseClient(ClientEntry* entry) {
    if (!entry)
        return;
    entry->leaseEnd = QDateTime();
    if (entry->allowed) {
        entry->away = true;
        show(*entry);
    } else {
        removeEntry(entry);
    }
}

void ClientRegistry::LeaseGranted(ClientEntry* entry) {
    if (entry)
        entry->leaseEnd = clock_.now().addDays(1);
}

void ClientRegistry::DeclineClient(ClientEntry* entry, const QByteArray& holder) {
    if (!entry)
        return;
    HoldBack(entry->hostNumber, holder);
    removeEntry(entry);
}

void ClientRegistry::HoldBack(int hostNumber, const QByteArray& holder) {
    heldBack_.insert(hostNumber, {clock_.now().addSecs(kHourSeconds), holder});
}

bool ClientRegistry::isTaken(int hostNumber) const {
    return byAddress_.contains(network_.hostAddress(hostNumber));
}

// A number is free for a client when no entry holds it and it is not held back for another.
bool ClientRegistry::isFreeFor(int hostNumber, const QByteArray& hardwareAddress,
                               const QDateTime& now) const {
    if (hostNumber < network_.firstHostNumber || hostNumber > network_.lastHostNumber)
        return false;
    const auto held = heldBack_.constFind(hostNumber);
    if (held != heldBack_.constEnd() && held->end > now && held->holder != hardwareAddress)
        return false;
    return !isTaken(hostNumber);
}

ClientEntry* ClientRegistry::findByHardwareAddress(const QByteArray& hardwareAddress) const {
    return byHardware_.value(hardwareAddress);
}

ClientEntry* ClientRegistry::findByAddress(Ipv4Address address) const {
    return byAddress_.value(address);
}

ClientEntry* ClientRegistry::createEntry(const QByteArray& hardwareAddress, int preferredNumber) {
    const QDateTime now = clock_.now();
    const int number =
        isFreeFor(preferredNumber, hardwareAddress, now) ? preferredNumber : freeHostNumber(now);
    if (number == 0)
        return nullptr;
    auto entry = std::make_unique<ClientEntry>();
    entry->hostNumber = number;
    entry->address = network_.hostAddress(number);
    entry->hardwareAddress = hardwareAddress;
    // A client that paid before it first came shows its allowance at once.
    if (const std::optional<MacAddress> mac = MacAddress::fromBytes(hardwareAddress);
        mac && allowedMacs_.contains(*mac)) {
        entry->allowed = true;
        entry->allowanceEnd = allowedMacs_.end(*mac);
    }
    byHardware_.insert(hardwareAddress, entry.get());
    byAddress_.insert(entry->address, entry.get());
    entries_.push_back(std::move(entry));
    return entries_.back().get();
}

int ClientRegistry::freeHostNumber(const QDateTime& now) {
    for (auto it = heldBack_.begin(); it != heldBack_.end();) {
        if (it->end <= now)
            it = heldBack_.erase(it);
        else
            ++it;
    }
    for (int n = network_.firstHostNumber; n <= network_.lastHostNumber; ++n) {
        if (!heldBack_.contains(n) && !isTaken(n))
            return n;
    }
    // Every number is in use: the longest-silent entry without a running lease gives its number
    // up. Its allowance lives in the allowed list, so removing an allowed entry loses nothing.
    ClientEntry* oldest = longestSilentWithoutLease(now);
    if (!oldest)
        return 0;
    const int number = oldest->hostNumber;
    removeEntry(oldest);
    return number;
}

ClientEntry* ClientRegistry::longestSilentWithoutLease(const QDateTime& now) const {
    ClientEntry* oldest = nullptr;
    for (const auto& e : entries_) {
        if (leaseRuns(*e, now) || e->probing)
            continue;
        if (!oldest) {
            oldest = e.get();
            continue;
        }
        if (oldest->lastSeen.isNull())
            continue;
        if (e->lastSeen.isNull() || e->lastSeen < oldest->lastSeen)
            oldest = e.get();
    }
    return oldest;
}

void ClientRegistry::removeEntry(ClientEntry* entry) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [entry](const auto& e) { return e.get() == entry; });
    if (it == entries_.end())
        return;
    if (display_)
        display_->removeEntry(*entry);
    byHardware_.remove(entry->hardwareAddress);
    byAddress_.remove(entry->address);
    entries_.erase(it);
}

void ClientRegistry::show(const ClientEntry& entry) {
    if (display_)
        display_->updateEntry(entry);
}
