// Request heads refused before anything goes upstream: what an origin might frame or route
// otherwise than the proxy does is never forwarded.

#include "proxy/head_faults.h"

#include <gtest/gtest.h>

TEST(HeadFaults, AmbiguousFramingAndStrayBytesAreFaults) {
    using F = HeadFault;
    const struct {
        const char* name;
        QByteArray head;
        HeadFault fault;
    } rows[] = {
        {"plain GET", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", F::None},
        {"LF-only, stray line end before the request line", "\nGET / HTTP/1.1\nHost: a\n\n",
         F::None},
        {"one length, repeated alike",
         "POST / HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 5"
         "\r\n\r\n",
         F::None},
        {"chunked last", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n", F::None},
        {"bytes above 127 in a value", "GET / HTTP/1.1\r\nX: \xE9t\xE9\r\n\r\n", F::None},
        {"NUL in the Host value", QByteArray("GET / HTTP/1.1\r\nHost: 10.0.0.1\0.a\r\n\r\n", 37),
         F::ControlByte},
        {"bare CR inside a line", "GET / HTTP/1.1\r\nX: a\rHost: b\r\n\r\n", F::ControlByte},
        {"obs-fold", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n", F::FoldedLine},
        {"blank before the colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", F::BlankBeforeColon},
        {"line without a colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", F::MalformedLine},
        {"name that is no token", "GET / HTTP/1.1\r\nHo\"st: a\r\n\r\n", F::MalformedLine},
        {"two Host lines", "GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", F::SecondHost},
        {"length and chunked",
         "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: "
         "chunked\r\n\r\n",
         F::LengthWithCoding},
        {"two lengths that differ",
         "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 30"
         "\r\n\r\n",
         F::DifferingLengths},
        {"chunked, identity", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, identity\r\n\r\n",
         F::UnchunkedCoding},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(requestHeadFault(row.head), row.fault);
    }
}
