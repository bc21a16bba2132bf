#pragma once
// The client registry: which hardware address holds which host number on the segment, when the
// client was last heard from, and whether the provider service admitted it. Kept in memory only,
// in order of creation, and mirrored on a TreeDisplay.

#include "common/clock.h"
#include "registry/allowed_list.h"
#include "registry/tree_display.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <memory>
#include <vector>

struct ClientEntry {
    int hostNumber = 0;
    QString key;     // "K" and the host number
    QString macText; // HexString of the hardware address, trailing blank included
    QByteArray mac;  // the hardware address itself, one byte per byte
    int rootPicture = 1;
    QString address;      // "192.168.11." and the host number
    QDateTime lastSeen;   // null until the client is first seen
    QString expiry;       // "", a general date text, or "Never Expires"
    QString access;       // "Access Denied" or "Allowed"
    QDateTime leaseEnd;   // end of the lease of the last ACK sent; null when none runs
    bool ethernet = true; // htype 1 with a six-byte address
    bool probing = false; // its number is being probed before the offer: not to be taken
    // The number a probe found free, or one this client was given a lease on: offered again
    // without a probe. Any other number (0: none) is probed before it is offered.
    int checkedNumber = 0;
};

class ClientRegistry {
public:
    static constexpr int kFirstHostNumber = 100;
    static constexpr int kLastHostNumber = 254;
    static constexpr char kAllowed[] = "Allowed";
    static constexpr char kDenied[] = "Access Denied";
    static constexpr char kNeverExpires[] = "Never Expires";

    // networkPrefix: the segment's first three address bytes as text, "192.168.11."; tests
    // put their clients on loopback ("127.0.0.").
    ClientRegistry(const Clock& clock, const AllowedList& allowedMacs,
                   TreeDisplay* display = nullptr,
                   QString networkPrefix = QStringLiteral("192.168.11."));
    ~ClientRegistry();

    // Shows every entry on display from now on, those already held first. Null for none.
    void setDisplay(TreeDisplay* display);

    // The client's entry, created when the registry has none for macText, with preferredNumber
    // when that one is free (a client that says it holds it keeps it) or else the lowest free
    // host number; marked as seen now either way. Null when no number can be had: every number
    // from 100 to 254 is held by a running lease or held back.
    ClientEntry* RegisterClient(const QString& macText, bool ethernet = true,
                                int preferredNumber = 0);
    // Marks the client's entry "Allowed" with an expiry days from now ("Never Expires" for
    // 9999). A MAC that has no entry gets none: only a DHCP exchange gives a client an address,
    // so a feed record can never make an address stand for a paid client that is not on the LAN.
    // The client's entry shows the allowance once it comes.
    void AllowClient(const QString& macText, double days);
    // Whether the client at this dotted address may browse: its whole six-byte Ethernet address
    // is in the allowed list and its allowance runs. Marks the client as seen. neighbourMac: the
    // hardware address the kernel's neighbour table holds for the address, when it holds one;
    // a host that took a paid client's address by hand shows there and is refused.
    bool IsClientAllowed(const QString& address, const QByteArray& neighbourMac = {});
    // The client's MAC as 12 hex digits without blanks, or "" when no entry has the address (or
    // the neighbour table names another host at it).
    QString GetClientMac(const QString& address, const QByteArray& neighbourMac = {}) const;
    // Removes denied entries last seen more than an hour ago whose lease has run out.
    void RemoveIdleClients();
    // After a RELEASE: an allowed entry stays with picture 6, any other is removed. The lease
    // ends either way.
    void ReleaseClient(ClientEntry* entry);

    // An ACK carrying a lease was sent for this entry: the lease runs one day from now.
    void LeaseGranted(ClientEntry* entry);
    // The client declined its address (another host uses it): the number is held back for an
    // hour, from every client but holderMacText (the host found using it, when known), and
    // the entry is removed.
    void DeclineClient(ClientEntry* entry, const QString& holderMacText = QString());
    // Another host uses this number: for an hour no client but that holder is given it.
    void HoldBack(int hostNumber, const QString& holderMacText = QString());

    const std::vector<std::unique_ptr<ClientEntry>>& entries() const { return entries_; }
    ClientEntry* findByMac(const QString& macText) const;
    ClientEntry* findByAddress(const QString& address) const;
    // Five display nodes per entry.
    int NodeCount() const { return static_cast<int>(entries_.size()) * 5; }

private:
    ClientEntry* createEntry(const QString& macText, int preferredNumber = 0);
    // The entry at address, unless the neighbour table names another host there.
    ClientEntry* clientAt(const QString& address, const QByteArray& neighbourMac) const;
    bool isFreeFor(int hostNumber, const QString& macText, const QDateTime& now) const;
    int freeHostNumber(const QDateTime& now);
    bool leaseRuns(const ClientEntry& entry, const QDateTime& now) const;
    void removeEntry(ClientEntry* entry);
    void show(const ClientEntry& entry, bool added);

    const Clock& clock_;
    const AllowedList& allowedMacs_;
    TreeDisplay* display_;
    QString networkPrefix_;
    std::vector<std::unique_ptr<ClientEntry>> entries_;
    QHash<QString, ClientEntry*> byMac_;     // every message of a client looks its entry up
    QHash<QString, ClientEntry*> byAddress_; // every proxied request looks its client up
    struct Hold {
        QDateTime end;
        QString holder; // MAC text of the host known to use the number, when known
    };
    QHash<int, Hold> heldBack_; // host numbers no newcomer is given for an hour
};

// The bytes whose hex digits text gives, two digits a byte; blanks are skipped and a single
// leftover digit is ignored.
QByteArray HexToText(const QString& text);

// A date-time as the operator reads it: the locale's short date, a blank, and the time.
QString generalDateText(const QDateTime& dateTime);
