// What goes back to the client of each piece an upstream sends, without sockets: responses in
// the order of their requests, bodies by their framing, and small responses held until whole.

#include "proxy/response_framer.h"

#include <QList>
#include <gtest/gtest.h>

namespace {

QByteArray ok(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
           body;
}

} // namespace

TEST(ResponseFramer, PiecesGoBackUnchangedAndSmallResponsesWhole) {
    const QByteArray big(6000, 'z');
    const struct {
        const char* name;
        QList<QByteArray> methods; // of the requests sent
        QList<QByteArray> pieces;  // from the upstream
        QList<QByteArray> out;     // to the client, piece by piece
    } rows[] = {
        {"a small response is held until whole",
         {"GET"},
         {ok("hello").left(39), ok("hello").mid(39, 2), ok("hello").mid(41)},
         {"", "", ok("hello")}},
        {"one of exactly 5000 bytes is still held",
         {"GET"},
         {ok(QByteArray(5000, 'h')).left(100), ok(QByteArray(5000, 'h')).mid(100)},
         {"", ok(QByteArray(5000, 'h'))}},
        {"one over 5000 bytes passes as it comes",
         {"GET"},
         {ok(big).left(100), ok(big).mid(100)},
         {ok(big).left(100), ok(big).mid(100)}},
        {"a HEAD answer has no body, whatever its length says",
         {"HEAD", "GET"},
         {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + ok("x")},
         {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + ok("x")}},
        {"nor a 304 or a 204: the small response after them is held",
         {"GET", "GET", "GET"},
         {"HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n" +
              ok("hello").left(39),
          ok("hello").mid(39)},
         {"HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
          ok("hello")}},
        {"an interim 100 answers no request",
         {"POST"},
         {"HTTP/1.1 100 Continue\r\n\r\n", ok("done")},
         {"HTTP/1.1 100 Continue\r\n\r\n", ok("done")}},
        {"a chunked body ends at its last chunk, and a small response after it is held",
         {"GET", "GET"},
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n" +
              ok("1234").left(40),
          ok("1234").mid(40)},
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", ok("1234")}},
        {"without a length the body runs to the close",
         {"GET"},
         {"HTTP/1.1 200 OK\r\n\r\nsome", ok("not a head")},
         {"HTTP/1.1 200 OK\r\n\r\nsome", ok("not a head")}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ResponseFramer framer;
        for (const QByteArray& method : row.methods)
            framer.expect(method);
        QList<QByteArray> out;
        for (const QByteArray& piece : row.pieces)
            out << framer.take(piece);
        EXPECT_EQ(out, row.out);
    }
}
