#include "address/dhcp_server.h"

#include "address/captive_portal_url.h"
#include "address/dhcp_message.h"

#include <QPointer>

namespace {

enum MessageType {
    kDiscover = 1,
    kRequest = 3,
    kDecline = 4,
    kRelease = 7,
    kInform = 8,
};

constexpr Ipv4Address kLimitedBroadcast(0xFFFFFFFF); // 255.255.255.255

} // namespace

DhcpServer::DhcpServer(DatagramSocket& socket, ClientRegistry& registry, const Clock& clock,
                       LanNetwork network, QObject* parent)
    : QObject(parent), socket_(socket), registry_(registry), clock_(clock), network_(network) {}

void DhcpServer::handleDatagram(const QByteArray& datagram, Ipv4Address sender) {
    handle(datagram, sender, 0);
}

// A client that says which address it holds keeps it when it is free: after a restart the
// gateway has forgotten every lease but the clients have not.
int DhcpServer::claimedNumber(const DhcpRequest& request) const {
    if (request.messageType != kDiscover && request.messageType != kRequest)
        return 0;
    return network_.hostNumberOf(request.requestedAddress.value_or(request.ciaddr)).value_or(0);
}

// A message in a known client's name that cannot be that client's: an Ethernet client's address
// bytes under another hardware type or length (it would mark the entry non-Ethernet, never
// allowed), or a RELEASE from another address than the one it holds (clients release unicast
// from it, RFC 2131).
bool DhcpServer::inAnotherName(const DhcpRequest& request, const ClientEntry& known,
                               Ipv4Address sender) const {
    const bool ethernet = request.htype == 1 && request.hlen == 6;
    if (known.ethernet && !ethernet)
        return true;
    return request.messageType == kRelease && sender != known.address;
}

void DhcpServer::handle(const QByteArray& datagram, Ipv4Address sender, int attempt) {
    const std::optional<DhcpRequest> read = DhcpMessage::readRequest(datagram);
    if (!read)
        return;
    const DhcpRequest& request = *read;
    ClientEntry* const known = registry_.findByHardwareAddress(request.hardwareAddress);
    // A DECLINE or RELEASE from a client without an entry concerns no number of ours; taking
    // it would let anyone hold back the whole segment.
    if (!known && (request.messageType == kDecline || request.messageType == kRelease))
        return;
    if (known && inAnotherName(request, *known, sender))
        return;
    // A DECLINE waits for the probe's word, and nothing changes before it. Without a probe
    // (no cap_net_raw; the packaged service has it) it is believed as it stands.
    if (request.messageType == kDecline && probe_) {
        probeThenDecline(known);
        return;
    }
    const bool ethernet = request.htype == 1 && request.hlen == 6;
    ClientEntry* entry =
        registry_.RegisterClient(request.hardwareAddress, ethernet, claimedNumber(request));
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

void DhcpServer::probeThenAnswer(const QByteArray& datagram, Ipv4Address sender, ClientEntry* entry,
                                 int attempt) {
    if (probe_->pending() >= kMaxPendingProbes)
        return; // a flood: the client asks again
    const QByteArray hardwareAddress = entry->hardwareAddress;
    const int number = entry->hostNumber;
    // A flood of newcomers must not take this number away while the probe runs.
    entry->probing = true;
    probe_->probe(
        network_.hostAddress(number).value(),
        [server = QPointer<DhcpServer>(this), datagram, sender, hardwareAddress, number,
         attempt](bool inUse, const QByteArray& holder) {
            if (!server)
                return;
            ClientEntry* current = server->registry_.findByHardwareAddress(hardwareAddress);
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
                server->registry_.DeclineClient(current, holder);
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
    const QByteArray hardwareAddress = entry->hardwareAddress;
    const int number = entry->hostNumber;
    entry->probing = true;
    probe_->probe(
        network_.hostAddress(number).value(), [server = QPointer<DhcpServer>(this), hardwareAddress,
                                               number](bool inUse, const QByteArray& holder) {
            if (!server)
                return;
            ClientEntry* current = server->registry_.findByHardwareAddress(hardwareAddress);
            if (!current || current->hostNumber != number)
                return;
            current->probing = false;
            if (!inUse || holder == hardwareAddress)
                return; // nobody, or the client itself, uses the number: a false DECLINE
            server->probedFreeAt_.remove(number);
            server->registry_.DeclineClient(current, holder);
        });
}

void DhcpServer::answer(const QByteArray& datagram, const DhcpRequest& request,
                        ClientEntry* entry) {
    bool withLeaseTime = true;
    const Ipv4Address assigned = entry->address;

    DhcpReplyKind kind;
    switch (request.messageType) {
    case kDiscover:
        kind = DhcpReplyKind::Offer;
        break;
    case kRequest: {
        const Ipv4Address claimed = request.requestedAddress.value_or(request.ciaddr);
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
    const QByteArray reply = DhcpMessage::buildReply(
        kind, datagram, assigned, network_, withLeaseTime, request.clientIdentifierOption, portal);
    // Answered directly only to a 192.x.x.x ciaddr without the broadcast flag's byte set.
    const bool direct = (request.ciaddr.value() >> 24) == 192 && request.flagsFirstByte == 0;
    if (!socket_.send(reply, direct ? request.ciaddr : kLimitedBroadcast, kClientPort))
        return;
    if (kind == DhcpReplyKind::Nack)
        return;
    if (kind == DhcpReplyKind::Ack && withLeaseTime) {
        entry->checkedNumber = entry->hostNumber; // the client now answers for it itself
        registry_.LeaseGranted(entry);
        emit leaseGranted();
    }
    socket_.send(reply, network_.segmentBroadcast(), kClientPort);
}
