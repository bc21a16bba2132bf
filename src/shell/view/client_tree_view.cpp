#include "shell/view/client_tree_view.h"

#include "shell/view/image_list.h"

#include <QTreeWidget>

namespace {

constexpr int kPictureRole = Qt::UserRole;

} // namespace

ClientTreeView::ClientTreeView(QTreeWidget* tree) : tree_(tree) {
    // Every row is one line of text with a small picture: the tree need not measure each.
    if (tree_)
        tree_->setUniformRowHeights(true);
    // Drawn once: the last-seen node changes with every request a client makes.
    for (int number = 1; number <= kImgLstCount; ++number)
        pictures_[static_cast<size_t>(number)] = ImgLst(number);
}

// The registry shows an entry again for every request of its client; only what changed is
// set, since each change repaints the tree (most of a busy proxy's time otherwise).
void ClientTreeView::showNode(QTreeWidgetItem* item, const TreeNode& node) const {
    if (item->text(0) != node.text)
        item->setText(0, node.text);
    if (node.picture >= 1 && node.picture <= kImgLstCount &&
        item->data(0, kPictureRole).toInt() != node.picture) {
        item->setIcon(0, pictures_[static_cast<size_t>(node.picture)]);
        item->setData(0, kPictureRole, node.picture);
    }
}

void ClientTreeView::addEntry(const EntryNodes& nodes) {
    if (!tree_)
        return;
    auto* root = new QTreeWidgetItem(tree_);
    showNode(root, nodes[0]);
    for (size_t i = 1; i < nodes.size(); ++i)
        showNode(new QTreeWidgetItem(root), nodes[i]);
    roots_.insert(nodes[0].key, root);
    root->setExpanded(true);
}

void ClientTreeView::updateEntry(const EntryNodes& nodes) {
    QTreeWidgetItem* root = rootWithKey(nodes[0].key);
    if (!root)
        return;
    showNode(root, nodes[0]);
    for (int i = 0; i < root->childCount() && i + 1 < static_cast<int>(nodes.size()); ++i)
        showNode(root->child(i), nodes[static_cast<size_t>(i) + 1]);
}

void ClientTreeView::removeEntry(const QString& key) {
    QTreeWidgetItem* root = rootWithKey(key);
    roots_.remove(key);
    delete root;
}

QTreeWidgetItem* ClientTreeView::rootWithKey(const QString& key) const {
    return tree_ ? roots_.value(key) : nullptr;
}
