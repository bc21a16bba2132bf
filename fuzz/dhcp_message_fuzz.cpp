// DHCP requests from the wire: whatever readRequest accepts must be read within the datagram,
// and every reply built from it must be well formed and of its kind's size.

#include "address/dhcp_message.h"
#include "fuzz_support.h"

#include <tuple>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray datagram = exactBytes(data, size);
    const std::optional<DhcpRequest> request = DhcpMessage::readRequest(datagram);
    if (!request)
        return 0;
    FUZZ_CHECK(size >= 240 && data[0] == 1 && request->htype == data[1] &&
               request->hlen == data[2]);
    FUZZ_CHECK(request->hardwareAddress == datagram.mid(28, request->hlen));
    FUZZ_CHECK(request->ciaddr.bytes() == datagram.mid(12, 4));
    const QByteArray& clientId = request->clientIdentifierOption;
    FUZZ_CHECK(clientId.isEmpty() ||
               (byteAt(clientId, 0) == 61 && clientId.size() == 2 + byteAt(clientId, 1)));

    const LanNetwork network; // 192.168.11.1/24
    // Each kind with or without the lease times, its message type and size.
    const std::tuple<DhcpReplyKind, bool, int, qsizetype> kinds[] = {
        {DhcpReplyKind::Offer, true, 2, 313},
        {DhcpReplyKind::Ack, true, 5, 313},
        {DhcpReplyKind::Ack, false, 5, 307},
        {DhcpReplyKind::Nack, false, 6, 262 + clientId.size()}};
    for (const auto& [kind, withLeaseTime, type, replySize] : kinds) {
        // The requested address stands in for the assigned one.
        const QByteArray reply = DhcpMessage::buildReply(
            kind, datagram, request->requestedAddress.value_or(Ipv4Address()), network,
            withLeaseTime, clientId);
        FUZZ_CHECK(reply.size() == replySize && checkedReplyType(reply) == type);
        // xid, flags, giaddr, chaddr, sname and file come back as they were sent.
        FUZZ_CHECK(reply.mid(4, 4) == datagram.mid(4, 4) &&
                   reply.mid(10, 2) == datagram.mid(10, 2));
        FUZZ_CHECK(reply.mid(24, 212) == datagram.mid(24, 212));
    }
    return 0;
}
