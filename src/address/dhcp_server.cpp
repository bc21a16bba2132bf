#include "address/dhcp_server.h"

#include "address/captive_portal_url.h"
#include "address/dhcp_message.h"
#include "common/hex_string.h"

#include <QPointer>

namespace {

enum MessageType {
    kDiscover = 1,
    kRequest = 3,
    kDecline = 4,
    kRelease = 7,
    kInform = 8,
};

constexpr quint32 kLimitedBroadcast = 0xFFFFFFFF; // 255.255.255.255

QByteArray addressBytes(quint32 address) {
    const char bytes[] = {char(address >> 24), char(address >> 16), char(address >> 8),
                          char(address)};
    return QByteArray(bytes, 4);
}

quint32 addressValue(const QByteArray& bytes) {
    quint32 value = 0;
    for (const char byte : bytes.left(4))
        value = (value << 8) | static_cast<unsigned char>(byte);
    return value;
}

} // namespace

DhcpServer::DhcpServer(DatagramSocket& socket, ClientRegistry& registry, const Clock& clock,
                       quint32 gatewayAddress, QObject* parent)
    : QObject(parent), socket_(socket), registry_(registry), clock_(clock),
      gatewayAddress_(gatewayAddress) {}

void DhcpServer::handleDatagram(const QByteArray& datagram, quint32 sender) {
    handle(datagram, sender, 0);
}

quint32 DhcpServer::hostAddress(int hostNumber) const {
    return (gatewayAddress_ & 0xFFFFFF00) | quint32(hostNumber);
}

void DhcpServer::handle(const QByteArray& datagram, quint32 sender, int attempt) {
    const std::optional<DhcpRequest> read = DhcpMessage::readRequest(datagram);
    if (!read)
        return;
    const DhcpRequest& request = *read;

    // A client that says which address it holds keeps it when it is free: after a restart the
    // gateway has forgotten every lease but the clients have not.
    int preferred = 0;
    if (request.messageType == kDiscover || request.messageType == kRequest) {
        const QByteArray& claimed =
            request.requestedAddress.isEmpty() ? request.ciaddr : request.requestedAddress;
        if (claimed.size() == 4 && (addressValue(claimed) >> 8) == (gatewayAddress_ >> 8))
            preferred = static_cast<unsigned char>(claimed.at(3));
    }
    const QString macText = HexString(request.hardwareAddress);
    ClientEntry* const known = registry_.findByMac(macText);
    // A DECLINE or RELEASE from a client without an entry concerns no number of ours; taking
    // it would let anyone hold back the whole segment.
    if (!known && (request.messageType == kDecline || request.messageType == kRelease))
        return;
    const bool ethernet = request.htype == 1 && request.hlen == 6;
    // An Ethernet client's address bytes under another hardware type or length come from
    // someone else: the message would mark the entry non-Ethernet (never allowed), or release
    // or decline its number in its name.
    if (known && known->ethernet && !ethernet)
        return;
    // A client releases unicast from the address it holds (RFC 2131); a RELEASE from anywhere
    // else is someone ending another's lease.
    if (request.messageType == kRelease && sender != hostAddress(known->hostNumber))
        return;
    // A DECLINE waits for the probe's word, and nothing changes before it. Without a probe
    // (no cap_net_raw; the packaged service has it) it is believed as it stands.
    if (request.messageType == kDecline && probe_) {
        probeThenDecline(known);
        return;
    }
    ClientEntry* entry = registry_.RegisterClient(macText, ethernet, preferred);
    if (!entry)
        return; // every number of the segment is leased: nothing to offer
    if (request.messageType == kDiscover && probe_ && entry->checkedNumber != entry->hostNumber) {
        // Asking again while the probe runs changes nothing: its answer brings the offer.
        if (entry->probing)
            return;
        const auto probed = probedFreeAt_.constFind(entry->hostNumber);
        if (probed == probedFreeAt_.cend() || clock_.monotonicMs() - *probed >= kProbedFreeForMs) {
            probeThenAnswer(datagram, sender, entry, attempt);
            return;
        }
        entry->checkedNumber = entry->hostNumber;
    }
    answer(datagram, request, entry);
}

void DhcpServer::probeThenAnswer(const QByteArray& datagram, quint32 sender, ClientEntry* entry,
                                 int attempt) {
    if (probe_->pending() >= kMaxPendingProbes)
        return; // a flood: the client asks again
    const QString macText = entry->macText;
    const int number = entry->hostNumber;
    // A flood of newcomers must not take this number away while the probe runs.
    entry->probing = true;
    probe_->probe(hostAddress(number), [server = QPointer<DhcpServer>(this), datagram, sender,
                                        macText, number,
                                        attempt](bool inUse, const QByteArray& holder) {
        if (!server)
            return;
        ClientEntry* current = server->registry_.findByMac(macText);
        if (!current || current->hostNumber != number)
            return; // the client's entry changed meanwhile; its next message starts over
        current->probing = false;
        if (!inUse) {
            current->checkedNumber = number;
            server->probedFreeAt_.insert(number, server->clock_.monotonicMs());
        } else {
            server->probedFreeAt_.remove(number);
        }
        if (inUse) {
            // The holder itself may come back for its number (a lease from before a restart).
            server->registry_.DeclineClient(current, HexString(holder));
            if (attempt + 1 < kMaxProbeAttempts)
                server->handle(datagram, sender, attempt + 1);
            return;
        }
        if (const std::optional<DhcpRequest> request = DhcpMessage::readRequest(datagram))
            server->answer(datagram, *request, current);
    });
}

// A DECLINE says another host answers for the client's number, and anyone can send one in the
// client's name: it is believed only when a host other than the client answers the probe.
void DhcpServer::probeThenDecline(ClientEntry* entry) {
    // One probe an entry: a flood of DECLINEs in one name must not take every probe.
    if (entry->probing || probe_->pending() >= kMaxPendingProbes)
        return;
    const QString macText = entry->macText;
    const int number = entry->hostNumber;
    entry->probing = true;
    probe_->probe(hostAddress(number), [server = QPointer<DhcpServer>(this), macText,
                                        number](bool inUse, const QByteArray& holder) {
        if (!server)
            return;
        ClientEntry* current = server->registry_.findByMac(macText);
        if (!current || current->hostNumber != number)
            return;
        current->probing = false;
        const QString holderMacText = HexString(holder);
        if (!inUse || holderMacText == macText)
            return; // nobody, or the client itself, uses the number: a false DECLINE
        server->probedFreeAt_.remove(number);
        server->registry_.DeclineClient(current, holderMacText);
    });
}

void DhcpServer::answer(const QByteArray& datagram, const DhcpRequest& request,
                        ClientEntry* entry) {
    bool withLeaseTime = true;
    const QByteArray assigned = addressBytes(hostAddress(entry->hostNumber));

    DhcpReplyKind kind;
    switch (request.messageType) {
    case kDiscover:
        kind = DhcpReplyKind::Offer;
        break;
    case kRequest: {
        const QByteArray& claimed =
            request.requestedAddress.isEmpty() ? request.ciaddr : request.requestedAddress;
        kind = claimed == assigned ? DhcpReplyKind::Ack : DhcpReplyKind::Nack;
        break;
    }
    case kDecline:
        // Another host uses the address (taken on the client's word only when no probe can
        // ask): offering it again would only be declined again.
        probedFreeAt_.remove(entry->hostNumber);
        registry_.DeclineClient(entry);
        return;
    case kRelease:
        registry_.ReleaseClient(entry);
        return;
    case kInform:
        withLeaseTime = false;
        kind = DhcpReplyKind::Ack;
        break;
    default:
        return;
    }

    // A client that is not Ethernet is never let through: no portal for it to pay at.
    const QByteArray portal = entry->ethernet && kind != DhcpReplyKind::Nack
                                  ? CaptivePortalUrl::forClient(captivePortalTemplate_, providerId_,
                                                                request.hardwareAddress)
                                  : QByteArray();
    const QByteArray reply =
        DhcpMessage::buildReply(kind, datagram, assigned, addressBytes(gatewayAddress_),
                                withLeaseTime, request.clientIdentifierOption, portal);
    // Answered directly only to a 192.x.x.x ciaddr without the broadcast flag's byte set.
    const bool direct =
        static_cast<unsigned char>(request.ciaddr.at(0)) == 192 && request.flagsFirstByte == 0;
    if (!socket_.send(reply, direct ? addressValue(request.ciaddr) : kLimitedBroadcast,
                      kClientPort))
        return;
    if (kind == DhcpReplyKind::Nack)
        return;
    if (kind == DhcpReplyKind::Ack && withLeaseTime) {
        entry->checkedNumber = entry->hostNumber; // the client now answers for it itself
        registry_.LeaseGranted(entry);
        emit leaseGranted();
    }
    socket_.send(reply, gatewayAddress_ | 0xFF, kClientPort); // the segment's broadcast
}
