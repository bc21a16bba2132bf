#include "address/dhcp_server.h"

#include "address/captive_portal_url.h"
#include "address/dhcp_message.h"
#include "common/app_info.h"
#include "common/hex_string.h"
#include "common/ip_format.h"
#include "common/trace.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QPointer>

namespace {

qint64 monotonicMs() {
    return QDeadlineTimer::current().deadline();
}

enum MessageType {
    kDiscover = 1,
    kRequest = 3,
    kDecline = 4,
    kRelease = 7,
    kInform = 8,
};

QByteArray addressText(const QByteArray& raw) {
    return IpFormat(raw).value_or(QString()).toLatin1();
}

QByteArray requestTraceLine(const DhcpRequest& request) {
    return "**Opt: " + QByteArray::number(request.messageType) +
           " **Ciaddr: " + addressText(request.ciaddr) +
           " **Yiaddr: " + addressText(request.yiaddr) +
           " **Flag: " + QByteArray::number(request.flagsFirstByte) +
           " **Rip: " + addressText(request.requestedAddress);
}

QByteArray replyTraceLine(DhcpReplyKind kind, bool direct, const QByteArray& assigned,
                          const QByteArray& reply) {
    const QByteArray how = direct ? "Direct " : "Broadcast ";
    switch (kind) {
    case DhcpReplyKind::Offer:
        return how + "OFFER (" + addressText(assigned) + "): " + reply;
    case DhcpReplyKind::Ack:
        return how + "ACK: " + reply;
    case DhcpReplyKind::Nack:
        break;
    }
    return how + "NACK: " + reply;
}

} // namespace

DhcpServer::DhcpServer(ControlArray<UdpSocketControl>& dhcp, ClientRegistry& registry,
                       MessageBox& messages, const QByteArray& gatewayAddress,
                       const QString& broadcastHost, QObject* parent)
    : QObject(parent), dhcp_(dhcp), registry_(registry), messages_(messages),
      gatewayAddress_(gatewayAddress), broadcastHost_(broadcastHost) {}

void DhcpServer::DHCP_DataArrival(int index, qint64 bytesTotal) {
    Q_UNUSED(bytesTotal);
    if (index < 0 || index >= dhcp_.Count())
        return;
    UdpSocketControl& received = dhcp_(index);
    const QByteArray datagram = received.GetData();
    handleDatagram(datagram, received.RemoteHostIP(), dhcp_(0));
}

void DhcpServer::handleDatagram(const QByteArray& datagram, const QString& sender,
                                DatagramSocket& socket) {
    handle(datagram, sender, socket, 0);
}

quint32 DhcpServer::hostAddress(int hostNumber) const {
    return (quint32(static_cast<unsigned char>(gatewayAddress_[0])) << 24) |
           (quint32(static_cast<unsigned char>(gatewayAddress_[1])) << 16) |
           (quint32(static_cast<unsigned char>(gatewayAddress_[2])) << 8) | quint32(hostNumber);
}

void DhcpServer::handle(const QByteArray& datagram, const QString& sender, DatagramSocket& socket,
                        int attempt) {
    if (gatewayAddress_.size() != 4)
        return;
    const std::optional<DhcpRequest> read = DhcpMessage::readRequest(datagram);
    if (!read)
        return;
    const DhcpRequest& request = *read;
    if (TraceWanted())
        TraceOut(requestTraceLine(request));

    // A client that says which address it holds keeps it when it is free: after a restart the
    // gateway has forgotten every lease but the clients have not.
    int preferred = 0;
    if (request.messageType == kDiscover || request.messageType == kRequest) {
        const QByteArray& claimed =
            request.requestedAddress.isEmpty() ? request.ciaddr : request.requestedAddress;
        if (claimed.size() == 4 && claimed.left(3) == gatewayAddress_.left(3))
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
    if (request.messageType == kRelease &&
        QHostAddress(sender).toIPv4Address() != hostAddress(known->hostNumber))
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
        if (probed == probedFreeAt_.cend() || monotonicMs() - *probed >= kProbedFreeForMs) {
            probeThenAnswer(datagram, sender, socket, entry, attempt);
            return;
        }
        entry->checkedNumber = entry->hostNumber;
    }
    answer(datagram, request, entry, socket);
}

void DhcpServer::probeThenAnswer(const QByteArray& datagram, const QString& sender,
                                 DatagramSocket& socket, ClientEntry* entry, int attempt) {
    if (probe_->pending() >= kMaxPendingProbes)
        return; // a flood: the client asks again
    const QString macText = entry->macText;
    const int number = entry->hostNumber;
    DatagramSocket* out = &socket;
    // A flood of newcomers must not take this number away while the probe runs.
    entry->probing = true;
    probe_->probe(hostAddress(number), [server = QPointer<DhcpServer>(this), datagram, sender, out,
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
            server->probedFreeAt_.insert(number, monotonicMs());
        } else {
            server->probedFreeAt_.remove(number);
        }
        if (inUse) {
            // The holder itself may come back for its number (a lease from before a restart).
            server->registry_.DeclineClient(current, HexString(holder));
            if (attempt + 1 < kMaxProbeAttempts)
                server->handle(datagram, sender, *out, attempt + 1);
            return;
        }
        if (const std::optional<DhcpRequest> request = DhcpMessage::readRequest(datagram))
            server->answer(datagram, *request, current, *out);
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

void DhcpServer::answer(const QByteArray& datagram, const DhcpRequest& request, ClientEntry* entry,
                        DatagramSocket& socket) {
    bool withLeaseTime = true;
    const QByteArray assigned =
        gatewayAddress_.left(3) + QByteArray(1, static_cast<char>(entry->hostNumber));

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
    const QByteArray portal =
        entry->ethernet && providerId_ && kind != DhcpReplyKind::Nack
            ? CaptivePortalUrl::forClient(captivePortalTemplate_, *providerId_,
                                          request.hardwareAddress)
            : QByteArray();
    const QByteArray reply =
        DhcpMessage::buildReply(kind, datagram, assigned, gatewayAddress_, withLeaseTime,
                                request.clientIdentifierOption, portal);
    const bool direct =
        static_cast<unsigned char>(request.ciaddr.at(0)) == 192 && request.flagsFirstByte == 0;
    socket.setRemoteHost(direct ? IpFormat(request.ciaddr).value() : broadcastHost_);
    if (TraceWanted())
        TraceOut(replyTraceLine(kind, direct, assigned, reply));
    socket.setRemotePort(kClientPort);
    if (!socket.SendData(reply))
        return;
    if (kind == DhcpReplyKind::Nack)
        return;
    if (kind == DhcpReplyKind::Ack && withLeaseTime) {
        entry->checkedNumber = entry->hostNumber; // the client now answers for it itself
        registry_.LeaseGranted(entry);
        emit leaseGranted();
    }
    socket.setRemoteHost(QString::fromLatin1(kSegmentBroadcast));
    socket.SendData(reply);
}

void DhcpServer::DHCP_Error(int index, int number, const QString& description) {
    Q_UNUSED(index);
    Q_UNUSED(number);
    Q_UNUSED(description);
    if (errorBoxOpen_)
        return;
    errorBoxOpen_ = true;
    messages_.inform(QString::fromLatin1(AppInfo::kTitle), QStringLiteral("Error"),
                     [server = QPointer<DhcpServer>(this)] {
                         if (server)
                             server->errorBoxOpen_ = false;
                     });
}
