// A client connection's bytes framed as the proxy frames them: each head found as it arrives
// (pieces of a size the first input byte chooses), then its body by length or by chunks, then
// the next pipelined request. No step may claim bytes that have not arrived.

#include "fuzz_support.h"
#include "proxy/chunked_body.h"
#include "proxy/message_framing.h"
#include "proxy/request_head.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const qsizetype step = data[0] % 64 + 1;
    const char* stream = reinterpret_cast<const char*>(data) + 1;
    const qsizetype n = qsizetype(size) - 1;

    qsizetype offset = 0; // where the current request begins
    for (int requests = 0; offset < n && requests < 256; ++requests) {
        qsizetype arrived = 0;
        qsizetype end = -1;
        while (end < 0 && offset + arrived < n) {
            const qsizetype before = arrived;
            arrived += std::min(step, n - offset - arrived);
            end = headEnd(QByteArray::fromRawData(stream + offset, arrived), before);
            // An empty line that was all there before would have been found then.
            FUZZ_CHECK(end < 0 || (end > before && end <= arrived));
        }
        const QByteArray buffer = QByteArray::fromRawData(stream + offset, arrived);
        FUZZ_CHECK(end == headEnd(buffer));
        if (end < 0)
            return 0; // the head never completes: the proxy waits for more
        const QByteArray head = buffer.left(end);
        if (head.startsWith("CONNECT ") || head.startsWith("connect "))
            return 0; // a tunnel: the rest is not HTTP
        const int port = requestDestination(head).port;
        FUZZ_CHECK(port >= 0 && port <= 65535);

        qsizetype next = offset + end;
        const BodyFraming framing = requestFraming(head);
        FUZZ_CHECK(framing.length >= 0);
        if (framing.kind == BodyFraming::Kind::Invalid)
            return 0; // refused
        if (framing.kind == BodyFraming::Kind::Length)
            next += qsizetype(std::min<qint64>(framing.length, n - next));
        if (framing.kind == BodyFraming::Kind::Chunked) {
            ChunkedBody body;
            while (!body.done() && !body.failed() && next < n) {
                const qsizetype piece = std::min(step, n - next);
                const qsizetype used = body.feed(stream + next, piece);
                FUZZ_CHECK(used >= 0 && used <= piece &&
                           (used == piece || body.done() || body.failed()));
                next += used;
            }
            if (body.failed())
                return 0; // the connection is closed
        }
        FUZZ_CHECK(next > offset && next <= n);
        offset = next;
    }
    return 0;
}
