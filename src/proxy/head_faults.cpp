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

bool containsIgnoringCase(QByteArrayView text, QByteArrayView what) {
    for (qsizetype at = 0; at + what.size() <= text.size(); ++at) {
        if (startsWithIgnoringCase(text.sliced(at), what))
            return true;
    }
    return false;
}

// Whether a name the rewrite renames starts rest: two bytes looked at before the whole name.
bool renamedNameAt(QByteArrayView rest) {
    if (rest.size() < 16)
        return false;
    const char first = char(rest[0] | 0x20);
    const char second = char(rest[1] | 0x20);
    if (first == 'i' && second == 'f')
        return startsWithIgnoringCase(rest, "if-modified-since");
    return first == 'p' && second == 'r' && startsWithIgnoringCase(rest, "proxy-connection");
}

// The bytes of one line of the head, line end included: whether one is a control byte other
// than HT (or a CR not followed by LF), and whether a name the rewrite renames starts in it.
bool controlByteIn(QByteArrayView line, bool& renames) {
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c == '\r') {
            if (i + 1 >= line.size() || line[i + 1] != '\n')
                return true;
        } else if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            return true;
        } else if (!renames) {
            renames = renamedNameAt(line.sliced(i));
        }
    }
    return false;
}

// What the header lines said about the message's host and framing.
struct Seen {
    int hosts = 0;
    int codings = 0;
    bool hasLength = false;
    bool hasExpect = false;
};

// One header line's shape, and what it adds to seen and to the scan (at: where the line starts
// in the head).
HeadFault headerLineFault(QByteArrayView line, qsizetype at, Seen& seen, RequestHeadScan& scan) {
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
        if (++seen.hosts == 1) {
            scan.hostEnd = at + line.size();
            scan.hostStart = scan.hostEnd - (line.size() - colon - 1);
            while (scan.hostStart < scan.hostEnd && isBlank(line[scan.hostStart - at]))
                ++scan.hostStart;
        }
    } else if (namedAs(name, "Content-Length")) {
        if (seen.hasLength && value != scan.length)
            return HeadFault::DifferingLengths;
        seen.hasLength = true;
        scan.length = value;
    } else if (namedAs(name, "Transfer-Encoding")) {
        ++seen.codings;
        scan.codings = value;
    } else if (namedAs(name, "Expect") && !seen.hasExpect) {
        seen.hasExpect = true;
        scan.expectsContinue = containsIgnoringCase(value, "100-continue");
    }
    return HeadFault::None;
}

// Two hosts, or framing two readers could take differently.
HeadFault framingFault(const Seen& seen, QByteArrayView codings) {
    if (seen.hosts > 1)
        return HeadFault::SecondHost;
    if (seen.codings > 0 && seen.hasLength)
        return HeadFault::LengthWithCoding;
    if (seen.codings > 1)
        return HeadFault::UnchunkedCoding;
    if (seen.codings == 1) {
        const qsizetype comma = codings.lastIndexOf(',');
        if (!namedAs(trimmed(codings.sliced(comma + 1)), "chunked"))
            return HeadFault::UnchunkedCoding;
    }
    return HeadFault::None;
}

} // namespace

RequestHeadScan scanRequestHead(const QByteArray& head) {
    RequestHeadScan scan;
    Seen seen;
    HeadFault lineFault = HeadFault::None;
    bool requestLineSeen = false;
    bool headEnded = false;
    qsizetype pos = 0;
    while (pos < head.size()) {
        const qsizetype lf = head.indexOf('\n', pos);
        const qsizetype next = lf < 0 ? head.size() : lf + 1;
        QByteArrayView line(head.constData() + pos, next - pos);
        const qsizetype at = pos;
        pos = next;
        // A control byte anywhere outweighs every other fault.
        if (controlByteIn(line, scan.renames)) {
            scan.fault = HeadFault::ControlByte;
            return scan;
        }
        while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
            line.chop(1);
        if (headEnded || lineFault != HeadFault::None)
            continue;
        if (!requestLineSeen) {
            // Empty lines before the request line are tolerated, as readers of heads do.
            requestLineSeen = !line.isEmpty();
            continue;
        }
        if (line.isEmpty())
            headEnded = true;
        else
            lineFault = headerLineFault(line, at, seen, scan);
    }
    scan.fault = lineFault != HeadFault::None ? lineFault : framingFault(seen, scan.codings);
    return scan;
}
