#pragma once
// A TreeDisplay that keeps the host numbers it shows in tree order, so tests can check that the
// display mirrors the registry. Misuse (an unknown entry, one added twice) fails the test.

#include "registry/client_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

class FakeTreeDisplay final : public TreeDisplay {
public:
    void addEntry(const ClientEntry& entry) override {
        if (std::count(shown.begin(), shown.end(), entry.hostNumber) != 0)
            ADD_FAILURE() << "added twice: " << entry.hostNumber;
        shown.push_back(entry.hostNumber);
    }
    void updateEntry(const ClientEntry& entry) override {
        if (std::count(shown.begin(), shown.end(), entry.hostNumber) == 0)
            ADD_FAILURE() << "update of an entry not shown: " << entry.hostNumber;
    }
    void removeEntry(const ClientEntry& entry) override {
        const auto at = std::find(shown.begin(), shown.end(), entry.hostNumber);
        if (at == shown.end()) {
            ADD_FAILURE() << "removal of an entry not shown: " << entry.hostNumber;
            return;
        }
        shown.erase(at);
    }

    std::vector<int> shown; // host numbers, top to bottom
};
