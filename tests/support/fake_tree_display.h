#pragma once
// A TreeDisplay that keeps the nodes in tree order, five per entry, so tests can read back what
// the window would show. Misuse (an unknown key, a key added twice) fails the running test.

#include "registry/tree_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

class FakeTreeDisplay final : public TreeDisplay {
public:
    void addEntry(const EntryNodes& nodes) override {
        if (rootIndex(nodes[0].key) >= 0)
            ADD_FAILURE() << "key added twice: " << nodes[0].key.toStdString();
        nodes_.insert(nodes_.end(), nodes.begin(), nodes.end());
        ++adds;
    }
    void updateEntry(const EntryNodes& nodes) override {
        const int at = rootIndex(nodes[0].key);
        if (at < 0) {
            ADD_FAILURE() << "update of unknown key: " << nodes[0].key.toStdString();
            return;
        }
        std::copy(nodes.begin(), nodes.end(), nodes_.begin() + at);
    }
    void removeEntry(const QString& key) override {
        const int at = rootIndex(key);
        if (at < 0) {
            ADD_FAILURE() << "removal of unknown key: " << key.toStdString();
            return;
        }
        nodes_.erase(nodes_.begin() + at, nodes_.begin() + at + 5);
        ++removes;
    }

    int nodeCount() const { return static_cast<int>(nodes_.size()); }
    const std::vector<TreeNode>& nodes() const { return nodes_; }
    // The keys of the roots, top to bottom.
    std::vector<QString> rootKeys() const {
        std::vector<QString> keys;
        for (size_t i = 0; i < nodes_.size(); i += 5)
            keys.push_back(nodes_[i].key);
        return keys;
    }
    // The five nodes of the entry with this key; empty nodes when the tree has no such root.
    EntryNodes entry(const QString& key) const {
        EntryNodes out;
        const int at = rootIndex(key);
        if (at >= 0)
            std::copy(nodes_.begin() + at, nodes_.begin() + at + 5, out.begin());
        return out;
    }
    // Index of the root with this key, or -1.
    int rootIndex(const QString& key) const {
        for (size_t i = 0; i < nodes_.size(); i += 5) {
            if (nodes_[i].key == key)
                return static_cast<int>(i);
        }
        return -1;
    }

    int adds = 0;
    int removes = 0;

private:
    std::vector<TreeNode> nodes_;
};
