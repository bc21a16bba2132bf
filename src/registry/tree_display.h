#pragma once
// The display that mirrors the client registry node for node: per entry one root and its four
// children. The window shows it as the "Active Clients" tree; tests count its nodes.

#include <QString>
#include <array>

struct TreeNode {
    QString key; // the root's key ("K100"); children have none
    QString text;
    int picture = 0; // 1-based picture of ImgLst
};

// The root first, then address, last seen, expiry and access.
using EntryNodes = std::array<TreeNode, 5>;

class TreeDisplay {
public:
    virtual ~TreeDisplay() = default;
    // Appends the entry as the last root of the tree.
    virtual void addEntry(const EntryNodes& nodes) = 0;
    // Rewrites the texts and pictures of the entry whose root has this key.
    virtual void updateEntry(const EntryNodes& nodes) = 0;
    // Removes the root with this key and its children.
    virtual void removeEntry(const QString& key) = 0;
};
