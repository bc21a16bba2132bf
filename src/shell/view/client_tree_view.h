#pragma once
// The "Active Clients" tree: shows the client registry on a QTreeWidget, one root per client
// with its four children, pictures from ImgLst.

#include "registry/tree_display.h"

#include <QHash>
#include <QIcon>
#include <QPointer>
#include <array>

class QTreeWidget;
class QTreeWidgetItem;

class ClientTreeView final : public TreeDisplay {
public:
    explicit ClientTreeView(QTreeWidget* tree);

    void addEntry(const EntryNodes& nodes) override;
    void updateEntry(const EntryNodes& nodes) override;
    void removeEntry(const QString& key) override;

private:
    QTreeWidgetItem* rootWithKey(const QString& key) const;
    void showNode(QTreeWidgetItem* item, const TreeNode& node) const;

    QPointer<QTreeWidget> tree_;
    // Roots by key: the registry names an entry for every message of its client.
    QHash<QString, QTreeWidgetItem*> roots_;
    std::array<QIcon, 7> pictures_; // 1-based
};
