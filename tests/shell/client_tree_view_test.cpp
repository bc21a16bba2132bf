// The texts and pictures the "Active Clients" tree makes of a registry entry.

#include "shell/view/client_tree_view.h"

#include <QLocale>
#include <gtest/gtest.h>

TEST(ClientTreeView, EachEntryShowsItsHardwareAddressNumberTimesAndAccess) {
    const QDateTime seen(QDate(2026, 12, 6), QTime(9, 5, 7));
    ClientEntry entry;
    entry.hardwareAddress = QByteArray::fromHex("000C29ABCDEF");
    entry.address = Ipv4Address(192, 168, 11, 100);
    entry.lastSeen = seen;
    const struct {
        const char* name;
        bool allowed;
        QDateTime end;
        bool away;
        QString expiry;
        QString access;
        int rootPicture;
    } rows[] = {
        {"not allowed", false, QDateTime(), false, QString(), "Access Denied", 1},
        {"allowed for good", true, QDateTime(), false, "Never Expires", "Allowed", 1},
        {"allowed for a day", true, seen.addDays(1), false, generalDateText(seen.addDays(1)),
         "Allowed", 1},
        {"allowed and away", true, QDateTime(), true, "Never Expires", "Allowed", 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        entry.allowed = row.allowed;
        entry.allowanceEnd = row.end;
        entry.away = row.away;
        const ClientTreeView::EntryNodes nodes = ClientTreeView::nodesFor(entry);
        const QString texts[] = {"00 0C 29 AB CD EF ", "192.168.11.100", generalDateText(seen),
                                 row.expiry, row.access};
        const int pictures[] = {row.rootPicture, 2, 4, 3, 5};
        for (size_t i = 0; i < nodes.size(); ++i) {
            EXPECT_EQ(nodes[i].text, texts[i]);
            EXPECT_EQ(nodes[i].picture, pictures[i]);
        }
    }
}
