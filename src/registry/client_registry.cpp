#include "registry/client_registry.h"

#include "common/hex_string.h"
#include "registry/allowance_feed.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kRootPictureSeen = 1;
constexpr int kRootPictureAllowedAway = 6;
constexpr int kAddressPicture = 2;
constexpr int kExpiryPicture = 3;
constexpr int kLastSeenPicture = 4;
constexpr int kAccessPicture = 5;
constexpr qint64 kHourSeconds = 3600;

// The locale's long time format names the time zone; the operator reads local time only, so the
// zone letters are dropped (quoted literals kept as they are).
QString timeFormatWithoutZone() {
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    out.remove(QLatin1String("()")); // a zone some locales put in brackets
    out = out.trimmed();
    while (out.contains(QLatin1String("  ")))
        out.replace(QLatin1String("  "), QLatin1String(" "));
    return out;
}

} // namespace

// Only MAC texts made by HexString come here; any other character counts as 0.
static int hexDigit(QChar c) {
    return std::max(0, hexDigitValue(c));
}

QByteArray HexToText(const QString& text) {
    QString digits = text;
    digits.remove(QLatin1Char(' '));
    QByteArray out;
    out.reserve(digits.size() / 2);
    for (qsizetype i = 0; i + 1 < digits.size(); i += 2)
        out.append(static_cast<char>(hexDigit(digits[i]) * 16 + hexDigit(digits[i + 1])));
    return out;
}

QString generalDateText(const QDateTime& dateTime) {
    if (dateTime.isNull())
        return QString();
    const QLocale locale = QLocale::system();
    return locale.toString(dateTime.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(dateTime.time(), timeFormatWithoutZone());
}

ClientRegistry::ClientRegistry(const Clock& clock, const AllowedList& allowedMacs,
                               TreeDisplay* display, QString networkPrefix)
    : clock_(clock), allowedMacs_(allowedMacs), display_(display),
      networkPrefix_(std::move(networkPrefix)) {}

void ClientRegistry::setDisplay(TreeDisplay* display) {
    display_ = display;
    for (const auto& entry : entries_)
        show(*entry, true);
}

ClientRegistry::~ClientRegistry() = default;

ClientEntry* ClientRegistry::RegisterClient(const QString& macText, bool ethernet,
                                            int preferredNumber) {
    const QDateTime now = clock_.now();
    if (ClientEntry* entry = findByMac(macText)) {
        // Shown again only when something shown changes (the clock counts whole seconds).
        const bool changed = entry->rootPicture != kRootPictureSeen || entry->lastSeen != now;
        entry->rootPicture = kRootPictureSeen;
        entry->lastSeen = now;
        entry->ethernet = ethernet;
        if (changed)
            show(*entry, false);
        return entry;
    }
    ClientEntry* entry = createEntry(macText, preferredNumber);
    if (!entry)
        return nullptr;
    entry->rootPicture = kRootPictureSeen;
    entry->lastSeen = now;
    entry->ethernet = ethernet;
    show(*entry, true);
    return entry;
}

void ClientRegistry::AllowClient(const QString& macText, double days) {
    ClientEntry* entry = findByMac(macText);
    if (!entry)
        return;
    if (days == kNeverExpiresDays) {
        entry->expiry = QString::fromLatin1(kNeverExpires);
    } else {
        // Whole seconds, like every other time the registry shows.
        const qint64 seconds = std::llround(days * 86400.0);
        entry->expiry = generalDateText(clock_.now().addMSecs(seconds * 1000));
    }
    entry->access = QString::fromLatin1(kAllowed);
    show(*entry, false);
}

ClientEntry* ClientRegistry::clientAt(const QString& address,
                                      const QByteArray& neighbourMac) const {
    ClientEntry* entry = findByAddress(address);
    if (!entry || (!neighbourMac.isEmpty() && neighbourMac != entry->mac))
        return nullptr;
    return entry;
}

bool ClientRegistry::IsClientAllowed(const QString& address, const QByteArray& neighbourMac) {
    ClientEntry* entry = clientAt(address, neighbourMac);
    if (!entry)
        return false;
    const QDateTime now = clock_.now();
    // The clock counts whole seconds, as the display does: a client asking many times within
    // one second is shown once.
    if (entry->lastSeen != now) {
        entry->lastSeen = now;
        show(*entry, false);
    }
    return entry->ethernet && entry->mac.size() == 6 && allowedMacs_.isAllowed(entry->mac, now);
}

QString ClientRegistry::GetClientMac(const QString& address, const QByteArray& neighbourMac) const {
    const ClientEntry* entry = clientAt(address, neighbourMac);
    if (!entry)
        return QString();
    QString mac = entry->macText;
    mac.remove(QLatin1Char(' '));
    return mac;
}

void ClientRegistry::RemoveIdleClients() {
    const QDateTime now = clock_.now();
    const QDateTime idleBefore = now.addSecs(-kHourSeconds);
    const QString allowed = QString::fromLatin1(kAllowed);
    for (;;) {
        const auto idle = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) {
            return e->access != allowed && !e->lastSeen.isNull() && e->lastSeen < idleBefore &&
                   !leaseRuns(*e, now);
        });
        if (idle == entries_.end())
            return;
        removeEntry(idle->get());
    }
}

void ClientRegistry::ReleaseClient(ClientEntry* entry) {
    if (!entry)
        return;
    entry->leaseEnd = QDateTime();
    if (entry->access == QLatin1String(kAllowed)) {
        entry->rootPicture = kRootPictureAllowedAway;
        show(*entry, false);
    } else {
        removeEntry(entry);
    }
}

void ClientRegistry::LeaseGranted(ClientEntry* entry) {
    if (entry)
        entry->leaseEnd = clock_.now().addDays(1);
}

void ClientRegistry::DeclineClient(ClientEntry* entry, const QString& holderMacText) {
    if (!entry)
        return;
    HoldBack(entry->hostNumber, holderMacText);
    removeEntry(entry);
}

void ClientRegistry::HoldBack(int hostNumber, const QString& holderMacText) {
    heldBack_.insert(hostNumber, {clock_.now().addSecs(kHourSeconds), holderMacText});
}

// A number is free for a client when no entry holds it and it is not held back for another.
bool ClientRegistry::isFreeFor(int hostNumber, const QString& macText, const QDateTime& now) const {
    if (hostNumber < kFirstHostNumber || hostNumber > kLastHostNumber)
        return false;
    const auto held = heldBack_.constFind(hostNumber);
    if (held != heldBack_.constEnd() && held->end > now && held->holder != macText)
        return false;
    return std::none_of(entries_.begin(), entries_.end(),
                        [hostNumber](const auto& e) { return e->hostNumber == hostNumber; });
}

ClientEntry* ClientRegistry::findByMac(const QString& macText) const {
    return byMac_.value(macText);
}

ClientEntry* ClientRegistry::findByAddress(const QString& address) const {
    return byAddress_.value(address);
}

ClientEntry* ClientRegistry::createEntry(const QString& macText, int preferredNumber) {
    const int number = isFreeFor(preferredNumber, macText, clock_.now())
                           ? preferredNumber
                           : freeHostNumber(clock_.now());
    if (number == 0)
        return nullptr;
    auto entry = std::make_unique<ClientEntry>();
    entry->hostNumber = number;
    entry->key = QStringLiteral("K") + QString::number(number);
    entry->macText = macText;
    entry->mac = HexToText(macText);
    entry->address = networkPrefix_ + QString::number(number);
    entry->access = QString::fromLatin1(kDenied);
    // A client that paid before it first came shows its allowance at once.
    if (allowedMacs_.contains(entry->mac)) {
        const QDateTime end = allowedMacs_.end(entry->mac);
        entry->access = QString::fromLatin1(kAllowed);
        entry->expiry = end.isNull() ? QString::fromLatin1(kNeverExpires) : generalDateText(end);
    }
    byMac_.insert(macText, entry.get());
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
    for (int n = kFirstHostNumber; n <= kLastHostNumber; ++n) {
        if (heldBack_.contains(n))
            continue;
        const bool taken = std::any_of(entries_.begin(), entries_.end(),
                                       [n](const auto& e) { return e->hostNumber == n; });
        if (!taken)
            return n;
    }
    // Every number is in use: the longest-silent entry without a running lease gives its number
    // up. Its allowance lives in the allowed list, so removing an allowed entry loses nothing.
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
    if (!oldest)
        return 0;
    const int number = oldest->hostNumber;
    removeEntry(oldest);
    return number;
}

bool ClientRegistry::leaseRuns(const ClientEntry& entry, const QDateTime& now) const {
    return !entry.leaseEnd.isNull() && entry.leaseEnd > now;
}

void ClientRegistry::removeEntry(ClientEntry* entry) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [entry](const auto& e) { return e.get() == entry; });
    if (it == entries_.end())
        return;
    if (display_)
        display_->removeEntry(entry->key);
    byMac_.remove(entry->macText);
    byAddress_.remove(entry->address);
    entries_.erase(it);
}

void ClientRegistry::show(const ClientEntry& entry, bool added) {
    if (!display_)
        return;
    EntryNodes nodes;
    nodes[0] = {entry.key, entry.macText, entry.rootPicture};
    nodes[1] = {QString(), entry.address, kAddressPicture};
    nodes[2] = {QString(), generalDateText(entry.lastSeen), kLastSeenPicture};
    nodes[3] = {QString(), entry.expiry, kExpiryPicture};
    nodes[4] = {QString(), entry.access, kAccessPicture};
    if (added)
        display_->addEntry(nodes);
    else
        display_->updateEntry(nodes);
}
