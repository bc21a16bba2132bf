#pragma once
// DHCP messages as the address service reads and writes them, byte for byte: the fields taken
// from a client's request with its option scan, and the OFFER, ACK and NACK replies with their
// fixed option blocks (and the captive-portal API address when one is configured). Pure
// functions over whole datagrams.

#include "common/ipv4_address.h"
#include "common/lan_network.h"

#include <QByteArray>
#include <optional>

// What the server takes from one request.
struct DhcpRequest {
    int htype = 0;
    int hlen = 0;               // as the request says, 0..255
    QByteArray hardwareAddress; // hlen bytes from chaddr on, fewer if the datagram ends first
    Ipv4Address ciaddr;
    int flagsFirstByte = 0;                      // the whole byte, not only the broadcast bit
    int messageType = 0;                         // option 53
    std::optional<Ipv4Address> requestedAddress; // option 50 when its length is 4
    QByteArray clientIdentifierOption; // option 61 whole: code, length, data; empty when absent
};

enum class DhcpReplyKind { Offer, Ack, Nack };

namespace DhcpMessage {

inline constexpr int kFixedPartSize = 240;
inline constexpr char kDomainName[] = "Tarnix";

// The request fields and the values of its option scan. Only a well-formed request is read:
// op 1 (BOOTREQUEST), at least 240 bytes, the magic cookie 99.130.83.99 and a message type;
// anything else gives nothing, so junk on the wire never reaches the registry.
std::optional<DhcpRequest> readRequest(const QByteArray& datagram);

// The reply of the given kind to request (a datagram that readRequest accepted): the fixed part
// with the request's xid, flags, giaddr, chaddr, sname, file and magic cookie, then the option
// blocks of the kind and the end option, without padding. assignedAddress and gatewayAddress are
// four raw bytes. withLeaseTime applies to an ACK (an ACK to an INFORM has none);
// clientIdentifierOption (whole option, may be empty) is copied into a NACK only.
// captivePortalUrl, when not empty, goes into an OFFER or ACK as option 114, last before the
// end option (left out when over 255 bytes: the caller keeps it shorter, captive_portal_url.h).
QByteArray buildReply(DhcpReplyKind kind, const QByteArray& request, Ipv4Address assignedAddress,
                      const LanNetwork& network, bool withLeaseTime,
                      const QByteArray& clientIdentifierOption,
                      const QByteArray& captivePortalUrl = QByteArray());

} // namespace DhcpMessage
