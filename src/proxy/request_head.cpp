#include "proxy/request_head.h"

#include <QByteArrayView>

#include <algorithm>
#include <cstring>

namespace {

// Header names and methods are ASCII; bytes above 127 are never case-folded.
char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool equalsIgnoringCase(const char* a, const char* b, qsizetype n) {
    for (qsizetype i = 0; i < n; ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

QByteArray lowerCopy(QByteArrayView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    std::transform(text.begin(), text.end(), out.begin(), lowerAscii);
    return out;
}

// Clients may leave blanks behind a Host value; they are never part of a name or port.
QByteArray hostValue(QByteArrayView value) {
    while (!value.isEmpty() && isBlank(value.back()))
        value.chop(1);
    return lowerCopy(value);
}

// The first line without its line end; all of Data while its line end has not arrived.
QByteArrayView firstLine(const QByteArray& header) {
    QByteArrayView line(header);
    const qsizetype lf = line.indexOf('\n');
    if (lf >= 0)
        line = line.first(lf);
    if (!line.isEmpty() && line.back() == '\r')
        line.chop(1);
    return line;
}

// The text between the first and the second space of the request line.
QByteArrayView requestTarget(const QByteArray& header) {
    const QByteArrayView line = firstLine(header);
    const qsizetype first = line.indexOf(' ');
    if (first < 0)
        return {};
    const QByteArrayView rest = line.sliced(first + 1);
    const qsizetype second = rest.indexOf(' ');
    return second < 0 ? rest : rest.first(second);
}

bool isConnect(const QByteArray& header) {
    return startsWithIgnoringCase(header, "CONNECT ");
}

// A port as plain decimal digits, 1..65535; anything else (signs, blanks, overflow) is 0.
int parsePort(QByteArrayView text) {
    if (text.isEmpty())
        return 0;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        port = port * 10 + (c - '0');
        if (port > 65535)
            return 0;
    }
    return port;
}

// Where a host name ends in an authority: an IPv6 literal runs to its "]", any other name to
// the first of the given stop bytes.
qsizetype hostLength(QByteArrayView authority, QByteArrayView stops) {
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        if (close >= 0)
            return close + 1;
    }
    for (qsizetype i = 0; i < authority.size(); ++i) {
        if (stops.contains(authority[i]))
            return i;
    }
    return authority.size();
}

} // namespace

void GetHeaderSections(const QByteArray& Header, const QByteArrayView* Sections, QByteArray* values,
                       qsizetype count) {
    qsizetype missing = 0;
    for (qsizetype i = 0; i < count; ++i) {
        values[i].clear();
        missing += Sections[i].isEmpty() ? 0 : 1;
    }
    const char* data = Header.constData();
    const qsizetype size = Header.size();
    qsizetype pos = 0;
    while (pos < size && missing > 0) {
        const auto* lfAt = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
        if (!lfAt)
            return; // a line still being received may be cut anywhere
        const qsizetype lf = lfAt - data;
        const qsizetype lineEnd = (lf > pos && data[lf - 1] == '\r') ? lf - 1 : lf;
        // The empty line ends the head: what follows is body, not headers. A stray line end
        // before the request line is not that empty line.
        if (lineEnd == pos && pos > 0)
            return;
        for (qsizetype i = 0; i < count; ++i) {
            const qsizetype nameSize = Sections[i].size();
            if (nameSize == 0 || !values[i].isNull() || lineEnd - pos <= nameSize ||
                data[pos + nameSize] != ':' ||
                !equalsIgnoringCase(data + pos, Sections[i].data(), nameSize))
                continue;
            qsizetype value = pos + nameSize + 1;
            while (value < lineEnd && isBlank(data[value]))
                ++value;
            // Never null once found, even when empty, so that a later line cannot replace it.
            values[i] = value < lineEnd ? lowerCopy(QByteArrayView(data + value, lineEnd - value))
                                        : QByteArray("");
            --missing;
            break;
        }
        pos = lf + 1;
    }
}

bool startsWithIgnoringCase(QByteArrayView text, QByteArrayView prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.data(), prefix.data(), prefix.size());
}

QByteArray GetHeaderSection(const QByteArray& Header, const QByteArray& Section) {
    const QByteArrayView name(Section);
    QByteArray value;
    GetHeaderSections(Header, &name, &value, 1);
    return value;
}

// The Host line's host (host is that line's value), lower-cased; for a CONNECT without one, its
// request line's.
static QByteArray getServer(const QByteArray& Header, const QByteArray& host) {
    if (!host.isEmpty())
        return host.left(hostLength(host, ":"));
    if (!isConnect(Header))
        return {};
    QByteArrayView target = requestTarget(Header);
    const qsizetype scheme = target.indexOf("://");
    if (scheme >= 0) {
        target = target.sliced(scheme + 3);
        return target.first(hostLength(target, ":/")).toByteArray();
    }
    const qsizetype colon = target.lastIndexOf(':');
    return (colon < 0 ? target : target.first(colon)).toByteArray();
}

// A CONNECT's port from its request line; else the Host line's (host), 80 when it names none.
static int getPort(const QByteArray& Header, const QByteArray& host) {
    if (isConnect(Header)) {
        const QByteArrayView target = requestTarget(Header);
        const qsizetype colon = target.lastIndexOf(':');
        return colon < 0 ? 0 : parsePort(target.sliced(colon + 1));
    }
    const qsizetype colon = host.indexOf(':', hostLength(host, ":"));
    return colon < 0 ? 80 : parsePort(QByteArrayView(host).sliced(colon + 1));
}

qsizetype headEnd(const QByteArray& Data, qsizetype from) {
    // Bytes before from were searched already; an empty line may straddle the old end.
    const char* data = Data.constData();
    const qsizetype size = Data.size();
    qsizetype pos = std::max<qsizetype>(0, from - 3);
    while (pos < size) {
        const auto* lfAt = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
        if (!lfAt)
            return -1;
        const qsizetype lf = lfAt - data;
        if (lf + 1 < size && data[lf + 1] == '\n')
            return lf + 2;
        if (lf + 2 < size && data[lf + 1] == '\r' && data[lf + 2] == '\n')
            return lf + 3;
        pos = lf + 1;
    }
    return -1;
}

struct RequestTarget {
    QByteArray host;
    int port = 0;
};

// The host and port of an absolute address in the request line; an empty host when none.
static RequestTarget absoluteTarget(const QByteArray& Header) {
    const QByteArrayView target = requestTarget(Header);
    if (!startsWithIgnoringCase(target, "http://"))
        return {};
    const QByteArrayView authority = target.sliced(7);
    const qsizetype hostEnd = hostLength(authority, ":/?#");
    if (hostEnd == 0)
        return {};
    RequestTarget result;
    result.host = lowerCopy(authority.first(hostEnd));
    result.port = 80;
    if (hostEnd < authority.size() && authority[hostEnd] == ':') {
        const QByteArrayView rest = authority.sliced(hostEnd + 1);
        const qsizetype portEnd = hostLength(rest, "/?#");
        result.port = parsePort(rest.first(portEnd));
    }
    return result;
}

Destination requestDestination(const QByteArray& Header) {
    return requestDestination(Header, GetHeaderSection(Header, "Host"));
}

Destination requestDestination(const QByteArray& Header, QByteArrayView hostLine) {
    Destination destination;
    if (isConnect(Header)) {
        QByteArrayView target = requestTarget(Header);
        const qsizetype scheme = target.indexOf("://");
        if (scheme >= 0)
            target = target.sliced(scheme + 3);
        // The whole authority up to its port is the host: anything else in it makes it none.
        qsizetype hostEnd = target.lastIndexOf(':');
        if (target.startsWith('[') && target.indexOf(']') > hostEnd)
            hostEnd = -1;
        if (hostEnd < 0)
            hostEnd = target.size();
        destination.host = lowerCopy(target.first(hostEnd));
        const QByteArrayView rest = target.sliced(hostEnd);
        destination.port = rest.startsWith(':') ? parsePort(rest.sliced(1)) : 0;
        return destination;
    }
    const RequestTarget absolute = absoluteTarget(Header);
    if (!absolute.host.isEmpty()) {
        const QByteArrayView authority = requestTarget(Header).sliced(7);
        destination.host = absolute.host;
        destination.port = absolute.port;
        destination.fromTarget = true;
        destination.authority = authority.first(hostLength(authority, "/?#")).toByteArray();
        return destination;
    }
    const QByteArray host = hostValue(hostLine);
    destination.host = getServer(Header, host);
    destination.port = getPort(Header, host);
    return destination;
}

bool isValidHost(QByteArrayView host) {
    if (host.isEmpty() || host.size() > 253)
        return false;
    if (host.front() == '[') {
        if (host.size() < 4 || host.back() != ']')
            return false;
        return std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                   c == ':' || c == '.';
        });
    }
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_';
    });
}
