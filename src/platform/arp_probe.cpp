#include "platform/arp_probe.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kArpLength = 28;

qint64 nowMs() {
    return QDeadlineTimer::current().deadline();
}

quint32 readAddress(const unsigned char* p) {
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3];
}

} // namespace

ArpProbe::ArpProbe(QObject* parent) : AddressProbe(parent) {
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &ArpProbe::expire);
}

ArpProbe::~ArpProbe() {
    close();
}

bool ArpProbe::open(const QString& localAddress) {
    close();
    const QHostAddress wanted(localAddress);
    for (const QNetworkInterface& adapter : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : adapter.addressEntries()) {
            if (entry.ip() != wanted)
                continue;
            const QByteArray mac = QByteArray::fromHex(adapter.hardwareAddress().toLatin1());
            if (mac.size() != 6 || mac == QByteArray(6, '\0'))
                return false; // not an Ethernet adapter (loopback has no ARP)
            const int fd =
                ::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ARP));
            if (fd < 0)
                return false;
            sockaddr_ll local = {};
            local.sll_family = AF_PACKET;
            local.sll_protocol = htons(ETH_P_ARP);
            local.sll_ifindex = adapter.index();
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                ::close(fd);
                return false;
            }
            fd_ = fd;
            interfaceIndex_ = adapter.index();
            ownMac_ = mac;
            notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, &ArpProbe::readPackets);
            return true;
        }
    }
    return false;
}

void ArpProbe::close() {
    delete notifier_;
    notifier_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void ArpProbe::probe(quint32 address, Answer done) {
    if (fd_ < 0) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(false, QByteArray()); });
        return;
    }
    unsigned char packet[kArpLength] = {0, 1, 8, 0, 6, 4, 0, 1}; // Ethernet, IPv4, request
    memcpy(packet + 8, ownMac_.constData(), 6);                  // sender MAC; sender IP 0
    const quint32 target = htonl(address);
    memcpy(packet + 24, &target, 4);
    sockaddr_ll to = {};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = interfaceIndex_;
    to.sll_halen = 6;
    memset(to.sll_addr, 0xFF, 6);
    ::sendto(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);

    waiting_.insert({address, {std::move(done), nowMs() + kWaitMs}});
    if (!expiry_.isActive())
        expiry_.start(kWaitMs);
}

void ArpProbe::readPackets() {
    unsigned char packet[64];
    for (int i = 0; i < 256; ++i) {
        const ssize_t n = ::recv(fd_, packet, sizeof packet, 0);
        if (n < kArpLength)
            return;
        // Any ARP packet whose sender is the probed address: a reply, or that host's own probe
        // or announcement.
        const quint32 sender = readAddress(packet + 14);
        const QByteArray senderMac(reinterpret_cast<char*>(packet + 8), 6);
        if (sender != 0 && waiting_.count(sender) > 0 && senderMac != ownMac_)
            answer(sender, senderMac);
    }
}

void ArpProbe::expire() {
    const qint64 now = nowMs();
    std::vector<quint32> due;
    qint64 next = -1;
    for (const auto& [address, waiting] : waiting_) {
        if (waiting.deadline <= now)
            due.push_back(address);
        else if (next < 0 || waiting.deadline < next)
            next = waiting.deadline;
    }
    for (quint32 address : due)
        answer(address, QByteArray());
    if (next >= 0)
        expiry_.start(static_cast<int>(std::max<qint64>(1, next - now)));
}

void ArpProbe::answer(quint32 address, const QByteArray& holder) {
    auto [first, last] = waiting_.equal_range(address);
    std::vector<Answer> callbacks;
    for (auto it = first; it != last; ++it)
        callbacks.push_back(std::move(it->second.done));
    waiting_.erase(first, last);
    for (auto& callback : callbacks)
        callback(!holder.isEmpty(), holder);
}
