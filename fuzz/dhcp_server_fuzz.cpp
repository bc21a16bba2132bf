// The address server answering one datagram, twice over (a new client, then a known one):
// every reply it sends must be a well-formed BOOTREPLY of its kind's size, sent to port 68,
// and never offers a number that a probe found in use. The hops byte, which the server ignores,
// says whether a probe runs (bit 0) and how its answers go (in use: bits 1 to 7).

#include "address/dhcp_server.h"
#include "fuzz_support.h"

#include <set>
#include <vector>

namespace {

struct FixedClock final : Clock {
    QDateTime now() const override { return QDateTime(QDate(2026, 12, 6), QTime(12, 0, 0)); }
    qint64 monotonicMs() const override { return 0; }
};

std::set<int> heldBack; // found in use by a probe: offered to nobody while the clock stands still

class QueuedProbe final : public AddressProbe {
public:
    void probe(quint32 address, Answer done) override {
        FUZZ_CHECK(address >> 8 == 0xC0A80B && (address & 0xFF) >= 100 && (address & 0xFF) <= 254);
        queue.push_back({int(address & 0xFF), std::move(done)});
    }
    int pending() const override { return int(queue.size()); }
    // Answers the probes in order, later than the call as a real probe does.
    void answerAll(int& answers, int inUseBits) {
        while (!queue.empty() && answers < 16) {
            auto [number, done] = std::move(queue.front());
            queue.erase(queue.begin());
            const bool inUse = (inUseBits >> answers++) & 1;
            if (inUse)
                heldBack.insert(number);
            // The holder is a host of its own, not one of the input's clients.
            done(inUse, inUse ? QByteArray("\x02\xff\xff\xff\xff\x01", 6) : QByteArray());
        }
        queue.clear(); // unanswered ones would outlive the socket they answer through
    }
    std::vector<std::pair<int, Answer>> queue;
};

class CheckingSocket final : public DatagramSocket {
public:
    bool send(const QByteArray& reply, Ipv4Address to, quint16 port) override {
        const quint32 address = to.value();
        FUZZ_CHECK(address == 0xFFFFFFFF || address == 0xC0A80BFF || address >> 24 == 192);
        FUZZ_CHECK(port == 68 && ++sent <= 2);
        const int type = checkedReplyType(reply), size = int(reply.size()),
                  host = byteAt(reply, 19);
        if (type == 6) // a NAK, only ever the first reply
            FUZZ_CHECK(sent == 1 && (size == 262 || (size >= 264 && size <= 519)));
        else // an offer (313) or an ACK (313, 307 without the lease times) of a pool number
            FUZZ_CHECK((size == 313 || (type == 5 && size == 307)) && (type == 2 || type == 5) &&
                       reply.mid(16, 3) == "\xC0\xA8\x0B" && host >= 100 && host <= 254);
        FUZZ_CHECK(type != 2 || !heldBack.count(host));
        return true;
    }
    int sent = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FixedClock clock;

    const AllowedList allowed;
    ClientRegistry registry(clock, allowed);
    CheckingSocket socket;
    DhcpServer server(socket, registry, clock, LanNetwork()); // 192.168.11.1/24
    QueuedProbe probe;
    const int hops = size > 3 ? data[3] : 0;
    if (hops & 1)
        server.setAddressProbe(&probe);
    heldBack.clear();
    int answers = 0;
    const QByteArray datagram = exactBytes(data, size);
    // Sent from its own ciaddr, as a client holding an address sends (and must, to release it).
    const Ipv4Address sender = Ipv4Address::fromBytes(datagram.mid(12, 4)).value_or(Ipv4Address());
    for (int round = 0; round < 2; ++round) {
        socket.sent = 0;
        server.handleDatagram(datagram, sender);
        probe.answerAll(answers, hops >> 1);
    }
    FUZZ_CHECK(registry.entries().size() <= 1);
    return 0;
}
