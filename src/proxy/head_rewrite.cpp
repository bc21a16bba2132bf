#include "proxy/head_rewrite.h"

#include <charconv>
#include <utility>

namespace {

// Replaces every occurrence of the lower-case what, ignoring case, by with; no copy is made
// when there is none (the common case).
void replaceIgnoringCase(QByteArray& head, QByteArrayView what, QByteArrayView with) {
    QByteArray out;
    qsizetype done = 0;
    const char first = what.front();
    const qsizetype last = head.size() - what.size();
    for (qsizetype at = 0; at <= last; ++at) {
        // A quick look at the first byte (what starts with a letter) before the whole name.
        if ((head.at(at) | 0x20) != first ||
            !startsWithIgnoringCase(QByteArrayView(head).sliced(at), what))
            continue;
        out.append(head.constData() + done, at - done);
        out.append(with);
        done = at + what.size();
        at = done - 1;
    }
    if (done == 0)
        return;
    out.append(head.constData() + done, head.size() - done);
    head = out;
}

// Where the Host line's value starts and its line ends, or {-1, -1} when the head has none.
std::pair<qsizetype, qsizetype> hostValueSpan(const QByteArray& head) {
    qsizetype pos = head.indexOf('\n') + 1;
    while (pos > 0 && pos < head.size()) {
        const qsizetype lf = head.indexOf('\n', pos);
        if (lf < 0)
            break;
        const qsizetype lineEnd = (lf > pos && head.at(lf - 1) == '\r') ? lf - 1 : lf;
        if (startsWithIgnoringCase(QByteArrayView(head.constData() + pos, lineEnd - pos),
                                   "host:")) {
            qsizetype value = pos + 5;
            while (value < lineEnd && (head.at(value) == ' ' || head.at(value) == '\t'))
                ++value;
            return {value, lineEnd}; // trailing blanks go with the value they follow
        }
        pos = lf + 1;
    }
    return {-1, -1};
}

void setHost(QByteArray& head, const QByteArray& authority, std::pair<qsizetype, qsizetype> span) {
    const auto [start, end] = span;
    if (start >= 0) {
        if (end - start != authority.size() ||
            !startsWithIgnoringCase(QByteArrayView(head).sliced(start), authority))
            head.replace(start, end - start, authority);
        return;
    }
    const qsizetype lf = head.indexOf('\n');
    if (lf < 0)
        return;
    const QByteArray lineEnd = (lf > 0 && head.at(lf - 1) == '\r') ? "\r\n" : "\n";
    head.insert(lf + 1, "Host: " + authority + lineEnd);
}

// The size of "METHOD http://host[:port]/" at the start of head, ignoring case; 0 when the
// request line does not start so. Matched piece by piece, with nothing built per request.
qsizetype absolutePrefix(const QByteArray& head, const QByteArray& method,
                         const Destination& destination) {
    char port[8] = {':'};
    qsizetype portSize = 0;
    if (destination.port != 80)
        portSize = std::to_chars(port + 1, port + sizeof port, destination.port).ptr - port;
    const QByteArrayView parts[] = {method, " http://", destination.host,
                                    QByteArrayView(port, portSize), "/"};
    qsizetype at = 0;
    for (const QByteArrayView part : parts) {
        if (!startsWithIgnoringCase(QByteArrayView(head).sliced(at), part))
            return 0;
        at += part.size();
    }
    return at;
}

} // namespace

QByteArray upstreamHead(QByteArray head, const QByteArray& method, const Destination& destination) {
    RequestHeadScan scan;
    scan.renames = true;
    return upstreamHead(std::move(head), method, destination, scan);
}

QByteArray upstreamHead(QByteArray head, const QByteArray& method, const Destination& destination,
                        const RequestHeadScan& scan) {
    if (scan.renames) {
        // One after the other, as a "Proxy-Connection" may only appear once the first is renamed.
        replaceIgnoringCase(head, "if-modified-since", "nothing1");
        replaceIgnoringCase(head, "proxy-connection", "Connection");
    }
    // The scan's Host line moved if anything was renamed.
    if (destination.fromTarget)
        setHost(head, destination.authority,
                scan.renames ? hostValueSpan(head) : std::pair(scan.hostStart, scan.hostEnd));
    if (!destination.host.isEmpty()) {
        if (const qsizetype prefix = absolutePrefix(head, method, destination); prefix > 0)
            head.replace(0, prefix, method + " /");
    }
    return head;
}
