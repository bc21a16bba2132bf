// DHCP messages byte for byte: golden OFFER, ACK and NACK replies, the option scan of a request
// and the datagrams that are refused. Datagrams under test sit in buffers of their exact size so
// that AddressSanitizer catches any read past their end.

#include "address/captive_portal_url.h"
#include "address/dhcp_message.h"
#include "support/bytes.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

const QByteArray kMac = bytes({0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF});
const Ipv4Address kAssigned(192, 168, 11, 20);
const LanNetwork kNetwork; // 192.168.11.1/24, proxy on 8080
const QByteArray kClientId = bytes({61, 7, 1, 0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF});

const QByteArray none; // an absent option or value in the tables below
// The captive-portal API address of the golden ACK, as the server makes it for this client.
const QByteArray kPortalUrl = CaptivePortalUrl::forClient(
    QStringLiteral("https://provider.example/capport-api?id={id}&mac={mac}"),
    QStringLiteral("op 42"), kMac);
QByteArray typeOption(int type) {
    return bytes({53, 1, type});
}

// A request whose every fixed field that the reply copies or overwrites holds a recognisable
// value (hops, secs, ciaddr, yiaddr and siaddr too), so the golden replies pin each of them.
QByteArray baseRequest(const QByteArray& options) {
    QByteArray d(DhcpMessage::kFixedPartSize, '\0');
    auto put = [&d](qsizetype offset, const QByteArray& value) {
        d.replace(offset, value.size(), value);
    };
    put(0, bytes({1, 1, 6, 1}));             // op BOOTREQUEST, Ethernet, hlen 6, hops 1
    put(4, bytes({0x39, 0x03, 0xF3, 0x26})); // xid
    put(8, bytes({0x00, 0x05, 0x80, 0x00})); // secs 5, broadcast flag
    put(12, bytes({192, 168, 11, 99}));      // ciaddr
    put(16, bytes({1, 2, 3, 4}));            // yiaddr
    put(20, bytes({5, 6, 7, 8}));            // siaddr
    put(24, bytes({10, 0, 0, 1}));           // giaddr
    put(28, kMac);
    put(44, QByteArray("srv"));       // sname
    put(108, QByteArray("boot.img")); // file
    put(236, bytes({99, 130, 83, 99}));
    return d + options;
}

// In a vector of exactly their size: QByteArray's spare terminator byte would hide a one-byte
// overrun from AddressSanitizer.
struct ExactDatagram {
    explicit ExactDatagram(const QByteArray& data)
        : storage(data.begin(), data.end()),
          view(QByteArray::fromRawData(storage.data(), storage.size())) {}
    ExactDatagram(const ExactDatagram&) = delete;
    ExactDatagram& operator=(const ExactDatagram&) = delete;
    std::vector<char> storage;
    QByteArray view;
};

// Golden files sit next to this source: hex digits, blanks and "#" comments.
QByteArray golden(const char* name) {
    QFile file(QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/golden/") +
               QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot open " << name;
        return {};
    }
    QByteArray hex;
    for (const QByteArray& line : file.readAll().split('\n'))
        hex += line.split('#').first().simplified().replace(' ', QByteArray());
    return QByteArray::fromHex(hex);
}

// Hex, so that a failure shows where two long replies differ.
QByteArray hex(const QByteArray& bytes) {
    return bytes.toHex(' ');
}

} // namespace

TEST(DhcpMessageReply, MatchesGoldenFiles) {
    const QByteArray offer = golden("offer.hex");
    const QByteArray ackInform = golden("ack_inform.hex");
    const QByteArray nack = golden("nack_client_id.hex");
    const QByteArray url255(255, 'u');
    const struct {
        const char* name;
        DhcpReplyKind kind;
        int requestType;
        bool withLeaseTime;
        QByteArray clientIdentifier;
        QByteArray captivePortalUrl;
        QByteArray expected;
    } rows[] = {
        {"offer to a discover", DhcpReplyKind::Offer, 1, true, none, none, offer},
        {"an offer carries the lease time whatever the flag says, never the client identifier",
         DhcpReplyKind::Offer, 1, false, kClientId, none, offer},
        {"ack to an inform, without lease time", DhcpReplyKind::Ack, 8, false, kClientId, none,
         ackInform},
        {"ack to a request with the captive-portal API address last", DhcpReplyKind::Ack, 3, true,
         none, kPortalUrl, golden("ack_captive_portal.hex")},
        {"nack ends with the copied client identifier, no lease time, no portal address",
         DhcpReplyKind::Nack, 3, true, kClientId, kPortalUrl, nack},
        {"an address over 255 bytes is left out, never cut", DhcpReplyKind::Offer, 1, true, none,
         url255 + "u", offer},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The request's own options must not leak into the reply.
        const ExactDatagram request(
            baseRequest(typeOption(row.requestType) + kClientId + bytes({55, 3, 1, 3, 6, 255})));
        EXPECT_EQ(hex(DhcpMessage::buildReply(row.kind, request.view, kAssigned, kNetwork,
                                              row.withLeaseTime, row.clientIdentifier,
                                              row.captivePortalUrl)),
                  hex(row.expected));
    }
}

// The fixed fields, and the options of each row.
TEST(DhcpMessageRead, FieldsAndOptionScan) {
    struct Row {
        const char* name;
        QByteArray options;
        int type;
        QByteArray requested;
        QByteArray clientId;
    };
    const QByteArray addr = bytes({192, 168, 11, 20});
    const Row rows[] = {
        {"type in the last four bytes is seen", bytes({53, 1, 1, 255}), 1, none, none},
        {"pad bytes are skipped one by one", bytes({0, 0, 0, 53, 1, 3, 0, 50, 4}) + addr, 3, addr,
         none},
        {"end option stops the scan", bytes({53, 1, 1, 255, 0, 53, 1, 3, 50, 4}) + addr, 1, none,
         none},
        {"data bytes of other options are not read as options",
         bytes({12, 4, 53, 1, 8, 255, 53, 1, 3}), 3, none, none},
        {"option whose length runs past the end is ignored", bytes({53, 1, 3, 50, 4, 192, 168}), 3,
         none, none},
        {"option 61 is copied whole with code and length", bytes({53, 1, 3}) + kClientId, 3, none,
         kClientId},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ExactDatagram datagram(baseRequest(row.options));
        const auto request = DhcpMessage::readRequest(datagram.view);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->htype * 256 + request->hlen, 0x106);
        EXPECT_EQ(request->hardwareAddress, kMac);
        EXPECT_EQ(request->ciaddr, Ipv4Address(192, 168, 11, 99));
        EXPECT_EQ(request->flagsFirstByte, 0x80);
        EXPECT_EQ(request->messageType, row.type);
        EXPECT_EQ(request->requestedAddress ? request->requestedAddress->bytes() : QByteArray(),
                  row.requested);
        EXPECT_EQ(request->clientIdentifierOption, row.clientId);
    }
}

TEST(DhcpMessageRead, RejectsMalformedRequests) {
    const QByteArray good = baseRequest(bytes({53, 1, 1, 255})); // read by the option scan
    auto withByte = [&good](int offset, int value) {
        QByteArray out = good;
        out[offset] = static_cast<char>(value);
        return out;
    };
    const struct {
        const char* name;
        QByteArray datagram;
    } rows[] = {
        {"empty datagram", {}},
        {"239 bytes, one short of the fixed part", good.left(239)},
        {"fixed part alone has no message type", good.left(240)},
        {"op 2 is a reply", withByte(0, 2)},
        {"wrong last cookie byte", withByte(239, 100)},
        {"no message type option", baseRequest(bytes({50, 4, 192, 168, 11, 20, 255}))},
        {"message type running past the end", baseRequest(bytes({53, 2, 1}))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ExactDatagram datagram(row.datagram);
        EXPECT_FALSE(DhcpMessage::readRequest(datagram.view));
    }
}
