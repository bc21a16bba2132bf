#include "proxy/head_rewrite.h"

#include <utility>

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Whether the lower-case needle starts at at, ignoring the case of the head's bytes.
bool matchesAt(const QByteArray& head, qsizetype at, QByteArrayView needle) {
    if (head.size() - at < needle.size())
        return false;
    for (qsizetype i = 0; i < needle.size(); ++i) {
        if (lowerAscii(head.at(at + i)) != needle[i])
            return false;
    }
    return true;
}

// Replaces every occurrence of the lower-case what, ignoring case, by with; no copy is made
// when there is none (the common case).
void replaceIgnoringCase(QByteArray& head, QByteArrayView what, QByteArrayView with) {
    QByteArray out;
    qsizetype done = 0;
    const char first = what.front();
    const qsizetype last = head.size() - what.size();
    for (qsizetype at = 0; at <= last; ++at) {
        if (lowerAscii(head.at(at)) != first || !matchesAt(head, at, what))
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
        if (lineEnd - pos >= 5 && qstrnicmp(head.constData() + pos, 5, "host:", 5) == 0) {
            qsizetype value = pos + 5;
            while (value < lineEnd && (head.at(value) == ' ' || head.at(value) == '\t'))
                ++value;
            return {value, lineEnd}; // trailing blanks go with the value they follow
        }
        pos = lf + 1;
    }
    return {-1, -1};
}

void setHost(QByteArray& head, const QByteArray& authority) {
    const auto [start, end] = hostValueSpan(head);
    if (start >= 0) {
        if (qstrnicmp(head.constData() + start, end - start, authority.constData(),
                      authority.size()) != 0)
            head.replace(start, end - start, authority);
        return;
    }
    const qsizetype lf = head.indexOf('\n');
    if (lf < 0)
        return;
    const QByteArray lineEnd = (lf > 0 && head.at(lf - 1) == '\r') ? "\r\n" : "\n";
    head.insert(lf + 1, "Host: " + authority + lineEnd);
}

} // namespace

QByteArray upstreamHead(QByteArray head, const QByteArray& method, const Destination& destination) {
    // One after the other, as a "Proxy-Connection" may only appear once the first is renamed.
    replaceIgnoringCase(head, "if-modified-since", "nothing1");
    replaceIgnoringCase(head, "proxy-connection", "Connection");
    if (destination.fromTarget)
        setHost(head, destination.authority);
    if (!destination.host.isEmpty()) {
        QByteArray absolute = method + " http://" + destination.host;
        if (destination.port != 80)
            absolute += ":" + QByteArray::number(destination.port);
        absolute += "/";
        if (head.size() >= absolute.size() && qstrnicmp(head.constData(), absolute.size(),
                                                        absolute.constData(), absolute.size()) == 0)
            head.replace(0, absolute.size(), method + " /");
    }
    return head;
}
