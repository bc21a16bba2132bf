#include "shell/view/client_tree_view.h"

#include "common/hex_string.h"
#include "shell/view/image_list.h"

#include <QLocale>
#include <QTreeWidget>

namespace {

constexpr int kPictureRole = Qt::UserRole;
constexpr int kRootPictureSeen = 1;
constexpr int kRootPictureAway = 6;
constexpr int kAddressPicture = 2;
constexpr int kExpiryPicture = 3;
constexpr int kLastSeenPicture = 4;
constexpr int kAccessPicture = 5;

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

QString expiryText(const ClientEntry& entry) {
    if (!entry.allowed)
        return QString();
    if (entry.allowanceEnd.isNull())
        return QString::fromLatin1(ClientTreeView::kNeverExpires);
    return generalDateText(entry.allowanceEnd);
}

} // namespace

QString generalDateText(const QDateTime& dateTime) {
    if (dateTime.isNull())
        return QString();
    const QLocale locale = QLocale::system();
    return locale.toString(dateTime.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(dateTime.time(), timeFormatWithoutZone());
}

ClientTreeView::EntryNodes ClientTreeView::nodesFor(const ClientEntry& entry) {
    return {{
        {HexString(entry.hardwareAddress), entry.away ? kRootPictureAway : kRootPictureSeen},
        {entry.address.text(), kAddressPicture},
        {generalDateText(entry.lastSeen), kLastSeenPicture},
        {expiryText(entry), kExpiryPicture},
        {QString::fromLatin1(entry.allowed ? kAllowed : kDenied), kAccessPicture},
    }};
}

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
void ClientTreeView::showNode(QTreeWidgetItem* item, const Node& node) const {
    if (item->text(0) != node.text)
        item->setText(0, node.text);
    if (node.picture >= 1 && node.picture <= kImgLstCount &&
        item->data(0, kPictureRole).toInt() != node.picture) {
        item->setIcon(0, pictures_[static_cast<size_t>(node.picture)]);
        item->setData(0, kPictureRole, node.picture);
    }
}

void ClientTreeView::addEntry(const ClientEntry& entry) {
    if (!tree_)
        return;
    const EntryNodes nodes = nodesFor(entry);
    auto* root = new QTreeWidgetItem(tree_);
    showNode(root, nodes[0]);
    for (size_t i = 1; i < nodes.size(); ++i)
        showNode(new QTreeWidgetItem(root), nodes[i]);
    roots_.insert(entry.hostNumber, root);
    root->setExpanded(true);
}

void ClientTreeView::updateEntry(const ClientEntry& entry) {
    QTreeWidgetItem* root = tree_ ? roots_.value(entry.hostNumber) : nullptr;
    if (!root)
        return;
    const EntryNodes nodes = nodesFor(entry);
    showNode(root, nodes[0]);
    for (int i = 0; i < root->childCount() && i + 1 < static_cast<int>(nodes.size()); ++i)
        showNode(root->child(i), nodes[static_cast<size_t>(i) + 1]);
}

void ClientTreeView::removeEntry(const ClientEntry& entry) {
    QTreeWidgetItem* root = tree_ ? roots_.value(entry.hostNumber) : nullptr;
    roots_.remove(entry.hostNumber);
    delete root;
}
