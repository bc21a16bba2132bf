// A chunked body must be followed the same way however its bytes are cut: in one piece, in two
// at a point the first two input bytes choose, and one byte at a time.

#include "fuzz_support.h"
#include "proxy/chunked_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const char* body = reinterpret_cast<const char*>(data) + 2;
    const qsizetype n = qsizetype(size) - 2;
    const qsizetype split = (data[0] | data[1] << 8) % (n + 1);

    ChunkedBody whole;
    const qsizetype taken = whole.feed(body, n);
    FUZZ_CHECK(taken >= 0 && taken <= n && !(whole.done() && whole.failed()));
    FUZZ_CHECK(taken == n || whole.done() || whole.failed());
    if (whole.done() || whole.failed())
        FUZZ_CHECK(whole.feed(body, n) == 0);

    ChunkedBody halves;
    const qsizetype first = halves.feed(body, split);
    FUZZ_CHECK(first >= 0 && first <= split &&
               (first == split || halves.done() || halves.failed()));
    const qsizetype second = halves.feed(body + split, n - split);
    FUZZ_CHECK(first + second == taken);
    FUZZ_CHECK(halves.done() == whole.done() && halves.failed() == whole.failed());

    ChunkedBody bytes;
    qsizetype total = 0;
    for (qsizetype i = 0; i < n && !bytes.done() && !bytes.failed(); ++i) {
        const qsizetype one = bytes.feed(body + i, 1);
        FUZZ_CHECK(one == 1);
        total += one;
    }
    FUZZ_CHECK(total == taken && bytes.done() == whole.done() && bytes.failed() == whole.failed());
    return 0;
}
