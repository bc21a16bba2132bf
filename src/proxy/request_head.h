#pragma once
// Reading HTTP heads as the proxy needs them: is a text a request or response head and which
// method does it name, the value of one header, and the target host and port of a request.
// All of it works on the bytes as received; nothing here allocates per byte of a body.

#include <QByteArray>
#include <QByteArrayView>

// True when Data begins with one of the request methods DELETE, PUT, GET, POST, HEAD, PROPFIND,
// OPTIONS, CONNECT followed by a space, or with a status line ("HTTP/..."). The word before the
// first space, upper-cased, is stored in *Header_Method whenever Data has a space at all.
bool IsHTTPHeader(const QByteArray& Data, QByteArray* Header_Method = nullptr);

// The value of the header named Section, lower-cased, "" when absent. The name is matched
// without regard to case and only as a whole name at the start of a line ("X-Content-Length"
// is not "Content-Length"); the value runs to the end of its line (CR LF or LF). A value on a
// last line that has no line end yet is not returned.
QByteArray GetHeaderSection(const QByteArray& Header, const QByteArray& Section);

// The target host of a request head, without port: from its Host line, lower-cased; for a
// CONNECT without Host line, from the request line, as the client wrote it. "" when none.
QByteArray getServer(const QByteArray& Header);

// The target port: a CONNECT's port after the colon behind the target name in its request line
// (whatever the letter case); otherwise the port of the Host line, 80 when it has none. 0 when
// a CONNECT names no port or the port text is not a number.
int getPort(const QByteArray& Header);

// Where the head that begins Data ends: the index just past its empty line (CR LF CR LF, or
// LF LF), or -1 while the empty line has not arrived.
qsizetype headEnd(const QByteArray& Data, qsizetype from = 0);

// The host and port of an absolute address in the request line ("GET http://Name:8080/x ..."):
// host lower-cased, port 80 when none is written, 0 when the port text is not a number. An empty
// host when the request line holds no absolute address.
struct RequestTarget {
    QByteArray host;
    int port = 0;
};
RequestTarget absoluteTarget(const QByteArray& Header);

// Where a request goes, as the proxy decides it. A CONNECT's authority in its request line is
// its only target (a Host line is not looked at); an absolute address in the request line wins
// over the Host line (RFC 9112, section 3.2.2), and fromTarget then says that the Host line sent
// upstream must be made to name authority. Otherwise the Host line. host is lower-cased; port
// as getPort reads it (0 when absent for CONNECT or not a number).
struct Destination {
    QByteArray host;
    int port = 0;
    bool fromTarget = false;
    QByteArray authority; // as written in the request line, when fromTarget
};
Destination requestDestination(const QByteArray& Header);

// Whether host is a name or an IP literal and nothing else: letters, digits, "-", "." and "_"
// (at most 253 of them), or an IPv6 literal in brackets. Control bytes, blanks, "/", "\" or
// "@" make it no host, so that what is checked is exactly what is resolved.
bool isValidHost(QByteArrayView host);
