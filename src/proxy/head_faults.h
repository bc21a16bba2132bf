#pragma once
// Request heads the proxy answers with 400 instead of forwarding: heads that an origin could
// frame or route differently from the proxy (the ground of request smuggling), and bytes that no
// well-behaved client sends.

#include <QByteArray>

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

// The first fault of a complete request head (request line to its empty line), None for a head
// that may be forwarded.
HeadFault requestHeadFault(const QByteArray& head);
