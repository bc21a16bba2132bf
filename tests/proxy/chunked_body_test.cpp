// Following a chunked body to its exact end, however the bytes are cut into reads.

#include "proxy/chunked_body.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Outcome {
    qsizetype taken = 0;
    bool done = false;
    bool failed = false;
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "{taken " << o.taken << ", done " << o.done << ", failed " << o.failed << "}";
}

// Feeds input as a first piece and then pieces of another size; once a piece is not taken
// whole, the body has ended or failed.
Outcome feedInPieces(const QByteArray& input, qsizetype firstPiece, qsizetype piece) {
    ChunkedBody body;
    Outcome out;
    qsizetype pos = 0;
    qsizetype size = firstPiece;
    while (pos < input.size()) {
        size = std::min(size, input.size() - pos);
        const qsizetype took = body.feed(input.constData() + pos, size);
        EXPECT_GE(took, 0);
        EXPECT_LE(took, size);
        out.taken += took;
        if (took < size) {
            EXPECT_TRUE(body.done() || body.failed());
        }
        pos += size;
        size = piece;
    }
    out.done = body.done();
    out.failed = body.failed();
    return out;
}

} // namespace

TEST(ChunkedBody, EndsExactlyWhereTheBodyEndsWhateverTheCuts) {
    const QByteArray hello = "5\r\nhello\r\n0\r\n\r\n";
    QByteArray allBytes = "100\r\n";
    for (int b = 0; b < 256; ++b)
        allBytes.append(char(b));
    allBytes.append("\r\n0\r\n\r\n");
    const QByteArray longExtension = "5;" + QByteArray(4093, 'x') + "\r\nhello\r\n0\r\n\r\n";
    const QByteArray tooLong = "5;" + QByteArray(4094, 'x') + "\r\nhello";

    constexpr qsizetype all = -1; // the whole input belongs to the body
    struct Row {
        const char* name;
        QByteArray input;
        Outcome outcome;
    };
    const Row rows[] = {
        {"one chunk", hello, {all, true, false}},
        {"several chunks", "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n", {all, true, false}},
        {"hex sizes in either case",
         "a\r\n0123456789\r\nA\r\n0123456789\r\n0\r\n\r\n",
         {all, true, false}},
        {"LF-only line ends", "5\nhello\n0\n\n", {all, true, false}},
        {"chunk extensions are ignored",
         "5;name=\"v\"\r\nhello\r\n0;x\r\n\r\n",
         {all, true, false}},
        {"blanks before an extension", "5 \t;x\r\nhello\r\n0\r\n\r\n", {all, true, false}},
        {"trailers up to the empty line",
         "5\r\nhello\r\n0\r\nExpires: 0\r\nX: 1\r\n\r\n",
         {all, true, false}},
        {"LF-only trailers", "0\nX: 1\n\n", {8, true, false}},
        {"body followed by the next request",
         hello + "GET / HTTP/1.1\r\n\r\n",
         {hello.size(), true, false}},
        {"trailer followed by the next request",
         "0\r\nX: 1\r\n\r\nGET / HTTP/1.1\r\n\r\n",
         {11, true, false}},
        {"data that looks like line ends", "4\r\n\r\n\r\n\r\n0\r\n\r\n", {all, true, false}},
        {"every byte value in data", allBytes, {all, true, false}},
        {"sixteen hex digits", "0000000000000005\r\nhello\r\n0\r\n\r\n", {all, true, false}},
        {"size line of 4096 bytes", longExtension, {all, true, false}},
        {"unfinished data", "5\r\nhel", {6, false, false}},
        {"unfinished size line", "5\r\nhello\r\n1f", {12, false, false}},
        {"unfinished trailer", "0\r\nX: 1\r\n\r", {10, false, false}},
        {"bad size is refused at its first byte", "zz\r\nhello", {1, false, true}},
        {"sign before the size", "-5\r\nhello", {1, false, true}},
        {"empty size line", "\r\nhello", {1, false, true}},
        {"size followed by junk", "5x\r\nhello", {4, false, true}},
        {"more than sixteen hex digits", "00000000000000005\r\nhello", {19, false, true}},
        {"size beyond any body", "FFFFFFFFFFFFFFFF\r\n", {18, false, true}},
        {"data not followed by a line end", "5\r\nhelloXY", {9, false, true}},
        {"size line longer than 4096 bytes", tooLong, {4097, false, true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qsizetype size = row.input.size();
        Outcome expected = row.outcome;
        if (expected.taken == all)
            expected.taken = size;
        EXPECT_EQ(feedInPieces(row.input, size, size), expected) << "in one piece";
        EXPECT_EQ(feedInPieces(row.input, 1, 1), expected) << "byte by byte";
        const qsizetype step = size > 600 ? 97 : 1;
        for (qsizetype cut = 1; cut < size; cut += step)
            EXPECT_EQ(feedInPieces(row.input, cut, size), expected) << "cut at " << cut;
    }
}

TEST(ChunkedBody, TakesNothingAfterItsEnd) {
    ChunkedBody body;
    const QByteArray input = "0\r\n\r\n";
    EXPECT_EQ(body.feed(input.constData(), input.size()), input.size());
    ASSERT_TRUE(body.done());
    EXPECT_EQ(body.feed("1\r\nx\r\n", 6), 0);
    EXPECT_EQ(body.feed(nullptr, 0), 0);
    EXPECT_TRUE(body.done());

    ChunkedBody broken;
    EXPECT_EQ(broken.feed("x", 1), 1);
    ASSERT_TRUE(broken.failed());
    EXPECT_EQ(broken.feed("5\r\n", 3), 0);
    EXPECT_FALSE(broken.done());
}

TEST(ChunkedBody, LargeChunkPassesThroughInPieces) {
    ChunkedBody body;
    const QByteArray head = "100000\r\n"; // 1 MiB of data
    EXPECT_EQ(body.feed(head.constData(), head.size()), head.size());
    const QByteArray piece(64 * 1024, '\n');
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(body.feed(piece.constData(), piece.size()), piece.size());
    EXPECT_FALSE(body.done());
    const QByteArray tail = "\r\n0\r\n\r\nNEXT";
    EXPECT_EQ(body.feed(tail.constData(), tail.size()), tail.size() - 4);
    EXPECT_TRUE(body.done());
    EXPECT_FALSE(body.failed());
}
