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
        EXPECT_EQ(find(entry), shown.end()) << "added twice: " << entry.hostNumber;
        shown.push_back(entry.hostNumber);
    }
    void updateEntry(const ClientEntry& entry) override {
        EXPECT_NE(find(entry), shown.end()) << "update of an entry not shown: " << entry.hostNumber;
    }
    void removeEntry(const ClientEntry& entry) override {
        const auto at = find(entry);
        EXPECT_NE(at, shown.end()) << "removal of an entry not shown: " << entry.hostNumber;
        if (at != shown.end())
            shown.erase(at);
    }
    std::vector<int>::iterator find(const ClientEntry& entry) {
        return std::find(shown.begin(), shown.end(), entry.hostNumber);
    }

    std::vector<int> shown; // host numbers, top to bottom
};
