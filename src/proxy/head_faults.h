#pragma once
// Request heads the proxy answers with 400 instead of forwarding: heads that an origin could
// frame or route differently from the proxy (the ground of request smuggling), and bytes that no
// well-behaved client sends; found by the one pass over a request head that also gathers what
// the reader needs from it.

#include <QByteArray>
#include <QByteArrayView>

enum class HeadFault {
    None,
    ControlByte,      // a control byte other than HT, or a CR not followed by LF
    FoldedLine,       // a line starting with a blank continues the one before (obs-fold)
    BlankBeforeColon, // "Name : value"
    MalformedLine,    // no colon, or a name that is no token
    SecondHost,       // two Host lines
    LengthWithCoding, // Content-Length together with Transfer-Encoding
    DifferingLengths, // two Content-Lengths that differ
    UnchunkedCoding,  // the last transfer coding is not chunked, or two Transfer-Encoding lines
};

// What one pass over a complete request head (request line to its empty line) finds: its first
// fault and, for a head without one, what the reader goes on with, so that nothing walks the
// head again. The views point into the head.
struct RequestHeadScan {
    HeadFault fault = HeadFault::None;
    qsizetype hostStart = -1;     // the first Host value, from the blanks behind its colon ...
    qsizetype hostEnd = -1;       // ... to its line end (blanks behind the value included)
    QByteArrayView length;        // the first Content-Length value, trimmed; null when none
    QByteArrayView codings;       // the Transfer-Encoding value, trimmed; null when none
    bool expectsContinue = false; // the first Expect value holds "100-continue", in any case
    bool renames = false;         // "If-Modified-Since" or "Proxy-Connection" anywhere, in any case

    // The Host value in the head that was scanned; null when there is none.
    QByteArrayView hostValueIn(const QByteArray& head) const {
        return hostStart < 0 ? QByteArrayView()
                             : QByteArrayView(head).sliced(hostStart, hostEnd - hostStart);
    }
};
RequestHeadScan scanRequestHead(const QByteArray& head);

// The first fault of a complete request head, None for a head that may be forwarded.
inline HeadFault requestHeadFault(const QByteArray& head) {
    return scanRequestHead(head).fault;
}
