#include "address/dhcp_server.h"

#include "address/dhcp_message.h"
#include "common/app_info.h"
#include "common/hex_string.h"
#include "common/ip_format.h"
#include "common/trace.h"

#include <QPointer>

namespace {

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
    handleDatagram(dhcp_(index).GetData(), dhcp_(0));
}

void DhcpServer::handleDatagram(const QByteArray& datagram, DatagramSocket& socket) {
    if (gatewayAddress_.size() != 4)
        return;
    bool withLeaseTime = true;

    const std::optional<DhcpRequest> read = DhcpMessage::readRequest(datagram);
    if (!read)
        return;
    const DhcpRequest& request = *read;
    TraceOut(requestTraceLine(request));

    const bool ethernet = request.htype == 1 && request.hlen == 6;
    ClientEntry* entry = registry_.RegisterClient(HexString(request.hardwareAddress), ethernet);
    if (!entry)
        return; // every number of the segment is leased: nothing to offer
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
        // Another host uses the address: offering it again would only be declined again.
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

    const QByteArray reply = DhcpMessage::buildReply(kind, datagram, assigned, gatewayAddress_,
                                                     withLeaseTime, request.clientIdentifierOption);
    const bool direct =
        static_cast<unsigned char>(request.ciaddr.at(0)) == 192 && request.flagsFirstByte == 0;
    socket.setRemoteHost(direct ? IpFormat(request.ciaddr).value() : broadcastHost_);
    TraceOut(replyTraceLine(kind, direct, assigned, reply));
    socket.setRemotePort(kClientPort);
    if (!socket.SendData(reply))
        return;
    if (kind == DhcpReplyKind::Nack)
        return;
    if (kind == DhcpReplyKind::Ack && withLeaseTime)
        registry_.LeaseGranted(entry);
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
