// Following a chunked body to its exact end, however the bytes are cut into reads.

#include "proxy/chunked_body.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

using Outcome = std::tuple<qsizetype, bool, bool>; // bytes taken, done, failed

// Feeds input in pieces of one size until a piece is not taken whole. Other cuts, and
// feeding after the end, are the fuzz target's.
Outcome feedInPieces(const QByteArray& input, qsizetype piece) {
    ChunkedBody body;
    qsizetype taken = 0;
    for (qsizetype pos = 0; pos < input.size() && taken == pos; pos += piece)
        taken += body.feed(input.constData() + pos, std::min(piece, input.size() - pos));
    return {taken, body.done(), body.failed()};
}

} // namespace

TEST(ChunkedBody, EndsExactlyWhereTheBodyEndsWhateverTheCuts) {
    const QByteArray hello = "5\r\nhello\r\n0\r\n\r\n";
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
        {"hex sizes in either case",
         "a\r\n0123456789\r\nA\r\n0123456789\r\n0\r\n\r\n",
         {all, true, false}},
        {"LF-only line ends", "5\nhello\n0\n\n", {all, true, false}},
        {"chunk extensions are ignored",
         "5;name=\"v\"\r\nhello\r\n0;x\r\n\r\n",
         {all, true, false}},
        {"trailers up to the empty line",
         "5\r\nhello\r\n0\r\nExpires: 0\r\nX: 1\r\n\r\n",
         {all, true, false}},
        {"body followed by the next request",
         hello + "GET / HTTP/1.1\r\n\r\n",
         {hello.size(), true, false}},
        {"trailer followed by the next request",
         "0\r\nX: 1\r\n\r\nGET / HTTP/1.1\r\n\r\n",
         {11, true, false}},
        {"sixteen hex digits", "0000000000000005\r\nhello\r\n0\r\n\r\n", {all, true, false}},
        {"size line of 4096 bytes", longExtension, {all, true, false}},
        {"unfinished data", "5\r\nhel", {6, false, false}},
        {"unfinished trailer", "0\r\nX: 1\r\n\r", {10, false, false}},
        {"bad size is refused at its first byte", "zz\r\nhello", {1, false, true}},
        {"size followed by junk", "5x\r\nhello", {4, false, true}},
        {"more than sixteen hex digits", "00000000000000005\r\nhello", {19, false, true}},
        {"data not followed by a line end", "5\r\nhelloXY", {9, false, true}},
        {"size line longer than 4096 bytes", tooLong, {4097, false, true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qsizetype size = row.input.size();
        Outcome expected = row.outcome;
        if (std::get<0>(expected) == all)
            std::get<0>(expected) = size;
        EXPECT_EQ(feedInPieces(row.input, size), expected) << "in one piece";
        EXPECT_EQ(feedInPieces(row.input, 1), expected) << "byte by byte";
    }
}
