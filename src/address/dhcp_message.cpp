// DHCP requests read and replies written byte for byte; see dhcp_message.h.

#include "address/dhcp_message.h"

namespace {

// Fixed-part offsets.
constexpr qsizetype kOp = 0;
constexpr qsizetype kHtype = 1;
constexpr qsizetype kHlen = 2;
constexpr qsizetype kHops = 3;
constexpr qsizetype kSecs = 8;
constexpr qsizetype kFlags = 10;
constexpr qsizetype kCiaddr = 12;
constexpr qsizetype kYiaddr = 16;
constexpr qsizetype kSiaddr = 20;
constexpr qsizetype kChaddr = 28;
constexpr qsizetype kCookie = 236;

constexpr int kBootRequest = 1;
constexpr int kBootReply = 2;
constexpr unsigned char kMagicCookie[4] = {99, 130, 83, 99};

enum Option : int {
    kPad = 0,
    kSubnetMask = 1,
    kRouter = 3,
    kDomainNameServer = 6,
    kDomainNameOption = 15,
    kRequestedAddress = 50,
    kLeaseTime = 51,
    kMessageType = 53,
    kServerIdentifier = 54,
    kClientIdentifier = 61,
    kCaptivePortal = 114,
    kProxyAutoDiscovery = 252,
    kEnd = 255,
};

constexpr int kTypeOffer = 2;
constexpr int kTypeAck = 5;
constexpr int kTypeNack = 6;

int byteAt(const QByteArray& data, qsizetype index) {
    return static_cast<unsigned char>(data.at(index));
}

void putAddress(QByteArray& message, qsizetype offset, Ipv4Address address) {
    message.replace(offset, 4, address.bytes());
}

void appendOption(QByteArray& out, int code, const QByteArray& data) {
    out.append(static_cast<char>(code));
    out.append(static_cast<char>(data.size()));
    out.append(data);
}

} // namespace

namespace DhcpMessage {

std::optional<DhcpRequest> readRequest(const QByteArray& datagram) {
    const qsizetype size = datagram.size();
    if (size < kFixedPartSize || byteAt(datagram, kOp) != kBootRequest)
        return std::nullopt;
    for (qsizetype i = 0; i < 4; ++i) {
        if (byteAt(datagram, kCookie + i) != kMagicCookie[i])
            return std::nullopt;
    }

    DhcpRequest request;
    request.htype = byteAt(datagram, kHtype);
    request.hlen = byteAt(datagram, kHlen);
    // hlen is taken at its word even past chaddr's 16 bytes, but only up to the datagram's end.
    request.hardwareAddress = datagram.mid(kChaddr, request.hlen);
    request.ciaddr = *Ipv4Address::fromBytes(datagram.mid(kCiaddr, 4));
    request.flagsFirstByte = byteAt(datagram, kFlags);

    bool haveMessageType = false;
    qsizetype pos = kFixedPartSize;
    while (pos < size) {
        const int code = byteAt(datagram, pos);
        if (code == kPad) {
            ++pos;
            continue;
        }
        if (code == kEnd || pos + 1 >= size)
            break;
        const qsizetype length = byteAt(datagram, pos + 1);
        const qsizetype dataStart = pos + 2;
        // A truncated option cannot be trusted, nor anything after it.
        if (dataStart + length > size)
            break;
        switch (code) {
        case kMessageType:
            if (length >= 1) {
                request.messageType = byteAt(datagram, dataStart);
                haveMessageType = true;
            }
            break;
        case kRequestedAddress:
            if (length == 4)
                request.requestedAddress = Ipv4Address::fromBytes(datagram.mid(dataStart, 4));
            break;
        case kClientIdentifier:
            request.clientIdentifierOption = datagram.mid(pos, length + 2);
            break;
        default:
            break;
        }
        pos = dataStart + length;
    }
    if (!haveMessageType)
        return std::nullopt;
    return request;
}

QByteArray buildReply(DhcpReplyKind kind, const QByteArray& request, Ipv4Address assignedAddress,
                      const LanNetwork& network, bool withLeaseTime,
                      const QByteArray& clientIdentifierOption,
                      const QByteArray& captivePortalUrl) {
    // Start from the request's fixed part: htype, hlen, xid, flags, giaddr, chaddr, sname, file
    // and the cookie go back as they came; the rest is overwritten below.
    QByteArray reply = request.left(kFixedPartSize);
    if (reply.size() < kFixedPartSize)
        reply.append(kFixedPartSize - reply.size(), '\0');
    const Ipv4Address zero;
    const QByteArray gateway = network.gateway.bytes();
    const bool nack = kind == DhcpReplyKind::Nack;

    reply[kOp] = static_cast<char>(kBootReply);
    reply[kHops] = 0;
    reply[kSecs] = 0;
    reply[kSecs + 1] = 0;
    if (kind != DhcpReplyKind::Ack)
        putAddress(reply, kCiaddr, zero);
    putAddress(reply, kYiaddr, nack ? zero : assignedAddress);
    putAddress(reply, kSiaddr, nack ? zero : network.gateway);

    appendOption(reply, kSubnetMask, Ipv4Address(network.mask()).bytes());
    appendOption(reply, kRouter, gateway);
    if (!nack) {
        appendOption(reply, kProxyAutoDiscovery, network.proxyScriptUrl());
        appendOption(reply, kDomainNameServer, gateway);
    }
    int type = kTypeNack;
    if (kind == DhcpReplyKind::Offer)
        type = kTypeOffer;
    else if (kind == DhcpReplyKind::Ack)
        type = kTypeAck;
    appendOption(reply, kMessageType, QByteArray(1, static_cast<char>(type)));
    appendOption(reply, kServerIdentifier, gateway);
    if (kind == DhcpReplyKind::Offer || (kind == DhcpReplyKind::Ack && withLeaseTime))
        appendOption(reply, kLeaseTime, QByteArray("\x00\x01\x51\x80", 4)); // 86400 s, one day
    if (!nack)
        appendOption(reply, kDomainNameOption, QByteArray(kDomainName, sizeof(kDomainName) - 1));
    if (nack)
        reply.append(clientIdentifierOption);
    // RFC 8910: the API address belongs in OFFER and ACK (an INFORM's too), not in a NACK,
    // which configures nothing; servers may send it unasked, as option 252 is. One that a
    // length byte cannot hold is left out rather than cut.
    if (!nack && !captivePortalUrl.isEmpty() && captivePortalUrl.size() <= 255)
        appendOption(reply, kCaptivePortal, captivePortalUrl);
    reply.append(static_cast<char>(kEnd));
    return reply;
}

} // namespace DhcpMessage
