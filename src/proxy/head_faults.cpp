#include "proxy/head_faults.h"

#include "proxy/request_head.h"

#include <QByteArrayView>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// RFC 9110 token characters.
bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

QByteArrayView trimmed(QByteArrayView text) {
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

// Asked of every header line: the sizes rule most names out before any byte is compared.
bool namedAs(QByteArrayView name, QByteArrayView wanted) {
    return name.size() == wanted.size() && startsWithIgnoringCase(name, wanted);
}

HeadFault controlByteFault(QByteArrayView head) {
    for (qsizetype i = 0; i < head.size(); ++i) {
        const auto c = static_cast<unsigned char>(head[i]);
        if (c == '\r') {
            if (i + 1 >= head.size() || head[i + 1] != '\n')
                return HeadFault::ControlByte;
        } else if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            return HeadFault::ControlByte;
        }
    }
    return HeadFault::None;
}

// What the header lines said about the message's host and framing.
struct Seen {
    int hosts = 0;
    int codings = 0;
    bool hasLength = false;
    QByteArrayView length;
    QByteArrayView lastCodings;
};

// One header line's shape, and what it adds to seen.
HeadFault headerLineFault(QByteArrayView line, Seen& seen) {
    if (isBlank(line.front()))
        return HeadFault::FoldedLine;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return HeadFault::MalformedLine;
    if (isBlank(line[colon - 1]))
        return HeadFault::BlankBeforeColon;
    const QByteArrayView name = line.first(colon);
    for (const char c : name) {
        if (!isTokenChar(c))
            return HeadFault::MalformedLine;
    }
    const QByteArrayView value = trimmed(line.sliced(colon + 1));
    if (namedAs(name, "Host")) {
        ++seen.hosts;
    } else if (namedAs(name, "Content-Length")) {
        if (seen.hasLength && value != seen.length)
            return HeadFault::DifferingLengths;
        seen.hasLength = true;
        seen.length = value;
    } else if (namedAs(name, "Transfer-Encoding")) {
        ++seen.codings;
        seen.lastCodings = value;
    }
    return HeadFault::None;
}

// Two hosts, or framing two readers could take differently.
HeadFault framingFault(const Seen& seen) {
    if (seen.hosts > 1)
        return HeadFault::SecondHost;
    if (seen.codings > 0 && seen.hasLength)
        return HeadFault::LengthWithCoding;
    if (seen.codings > 1)
        return HeadFault::UnchunkedCoding;
    if (seen.codings == 1) {
        const qsizetype comma = seen.lastCodings.lastIndexOf(',');
        if (!namedAs(trimmed(seen.lastCodings.sliced(comma + 1)), "chunked"))
            return HeadFault::UnchunkedCoding;
    }
    return HeadFault::None;
}

} // namespace

HeadFault requestHeadFault(const QByteArray& head) {
    if (const HeadFault fault = controlByteFault(head); fault != HeadFault::None)
        return fault;
    Seen seen;
    bool requestLineSeen = false;
    qsizetype pos = 0;
    while (pos < head.size()) {
        const qsizetype lf = head.indexOf('\n', pos);
        const qsizetype next = lf < 0 ? head.size() : lf + 1;
        QByteArrayView line(head.constData() + pos, next - pos);
        pos = next;
        while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
            line.chop(1);
        if (!requestLineSeen) {
            // Empty lines before the request line are tolerated, as readers of heads do.
            requestLineSeen = !line.isEmpty();
            continue;
        }
        if (line.isEmpty())
            break; // the end of the head
        if (const HeadFault fault = headerLineFault(line, seen); fault != HeadFault::None)
            return fault;
    }
    return framingFault(seen);
}
