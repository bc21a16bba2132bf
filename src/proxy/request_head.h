#pragma once
// Reading HTTP heads as the proxy needs them: where a head ends, the value of one header, and
// where a request goes.
// All of it works on the bytes as received; nothing here allocates per byte of a body.

#include <QByteArray>
#include <QByteArrayView>

// The value of the header named Section, lower-cased, "" when absent. The name is matched
// without regard to case and only as a whole name at the start of a line ("X-Content-Length"
// is not "Content-Length"); the value runs to the end of its line (CR LF or LF). A value on a
// last line that has no line end yet is not returned.
QByteArray GetHeaderSection(const QByteArray& Header, const QByteArray& Section);

// The values of count headers at once, values[i] as GetHeaderSection(Header, Sections[i]) gives
// it, in one pass over the head.
void GetHeaderSections(const QByteArray& Header, const QByteArrayView* Sections, QByteArray* values,
                       qsizetype count);

// Whether text starts with prefix, ignoring the case of ASCII letters only.
bool startsWithIgnoringCase(QByteArrayView text, QByteArrayView prefix);

// Where the head that begins Data ends: the index just past its empty line (CR LF CR LF, or
// LF LF), or -1 while the empty line has not arrived.
qsizetype headEnd(const QByteArray& Data, qsizetype from = 0);

// Where a request goes, as the proxy decides it. A CONNECT's authority in its request line is
// its only target (a Host line is not looked at); an absolute address in the request line wins
// over the Host line (RFC 9112, section 3.2.2), and fromTarget then says that the Host line sent
// upstream must be made to name authority. Otherwise the Host line (its port, 80 when it names
// none). host is lower-cased; port is 0 when it is not a number in 1..65535, or a CONNECT names
// none. Lines of a body after the head are never read.
struct Destination {
    QByteArray host;
    int port = 0;
    bool fromTarget = false;
    QByteArray authority; // as written in the request line, when fromTarget
};
Destination requestDestination(const QByteArray& Header);
// The same with the Host line's value (from its colon's blanks on) already found.
Destination requestDestination(const QByteArray& Header, QByteArrayView hostLine);

// Whether host is a name or an IP literal and nothing else: letters, digits, "-", "." and "_"
// (at most 253 of them), or an IPv6 literal in brackets. Control bytes, blanks, "/", "\" or
// "@" make it no host, so that what is checked is exactly what is resolved.
bool isValidHost(QByteArrayView host);
