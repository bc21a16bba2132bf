#pragma once
// The display that mirrors the client registry entry for entry, in the registry's order. The
// window shows it as the "Active Clients" tree and makes its own texts from the entries.

struct ClientEntry;

class TreeDisplay {
public:
    virtual ~TreeDisplay() = default;
    // Appends the entry at the end.
    virtual void addEntry(const ClientEntry& entry) = 0;
    // Something shown of the entry has changed.
    virtual void updateEntry(const ClientEntry& entry) = 0;
    // The entry goes (called before it is destroyed).
    virtual void removeEntry(const ClientEntry& entry) = 0;
};
