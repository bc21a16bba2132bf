// Reading a client's hardware address from the kernel's neighbour table.

#include "platform/neighbour_table.h"

#include <gtest/gtest.h>

TEST(NeighbourTable, CompleteEntriesOfTheWholeAddressOnly) {
    const QByteArray table =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.168.11.100   0x1         0x2         02:00:00:00:11:0a     *        lan0\n"
        "192.168.11.1000  0x1         0x2         02:00:00:00:11:ff     *        lan0\n"
        "192.168.11.101   0x1         0x0         00:00:00:00:00:00     *        lan0\n"
        "192.168.11.102   0x1         0x6         02:AB:cd:00:11:0c     *        lan0\n"
        "192.168.11.103   0x1         0x2         02:00:00:00:11        *        lan0\n"
        "192.168.11.104   0x1         0x2         02:00:00:00:11:0x     *        lan0";
    const struct {
        quint32 address;
        QByteArray mac;
    } rows[] = {
        {0xC0A80B64, QByteArray::fromHex("02000000110a")},
        {0xC0A80B65, {}}, // incomplete: the neighbour never answered
        {0xC0A80B66, QByteArray::fromHex("02abcd00110c")},
        {0xC0A80B67, {}}, // cut short
        {0xC0A80B68, {}}, // not hex
        {0xC0A80B0A, {}}, // "192.168.11.10" is no prefix match of .100
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        EXPECT_EQ(arpTableHardwareAddress(table, row.address), row.mac);
    }
}
