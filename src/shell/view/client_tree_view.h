#pragma once
// The "Active Clients" tree: shows the client registry on a QTreeWidget, one root per client
// with its four children (address, last seen, expiry, access), pictures from ImgLst. The texts
// are made here, from the registry's entries.

#include "registry/client_registry.h"
#include "registry/tree_display.h"

#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <array>

class QTreeWidget;
class QTreeWidgetItem;

class ClientTreeView final : public TreeDisplay {
public:
    static constexpr char kAllowed[] = "Allowed";
    static constexpr char kDenied[] = "Access Denied";
    static constexpr char kNeverExpires[] = "Never Expires";

    struct Node {
        QString text;
        int picture = 0; // 1-based picture of ImgLst
    };
    // The root first, then address, last seen, expiry and access.
    using EntryNodes = std::array<Node, 5>;
    static EntryNodes nodesFor(const ClientEntry& entry);

    explicit ClientTreeView(QTreeWidget* tree);

    void addEntry(const ClientEntry& entry) override;
    void updateEntry(const ClientEntry& entry) override;
    void removeEntry(const ClientEntry& entry) override;

private:
    void showNode(QTreeWidgetItem* item, const Node& node) const;

    QPointer<QTreeWidget> tree_;
    // Roots by host number: the registry shows an entry for every message of its client.
    QHash<int, QTreeWidgetItem*> roots_;
    std::array<QIcon, 7> pictures_; // 1-based
};

// A date-time as the operator reads it: the locale's short date, a blank, and the time.
QString generalDateText(const QDateTime& dateTime);
