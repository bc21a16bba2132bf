// What the proxy does with a client's bytes, request by request, without sockets: local pages,
// refusals, where each request goes and what goes with it, bodies by their framing, tunnels.

#include "proxy/request_reader.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

// One step as a line: "open GET a.test:80 |<bytes>", "send |<bytes>", "reply 404", ...
QByteArray describe(const ReaderStep& step) {
    using K = ReaderStep::Kind;
    const QByteArray where = step.host + ':' + QByteArray::number(step.port);
    switch (step.kind) {
    case K::Send:
        return "send" + (step.method.isEmpty() ? QByteArray() : ' ' + step.method) + " |" +
               step.bytes;
    case K::Open:
        return "open " + step.method + ' ' + where + " |" + step.bytes;
    case K::Refuse:
        return "refuse " + where + (step.tunnel ? " tunnel" : "");
    case K::Reply: {
        // A reply whose head never ends leaves the client waiting.
        if (!step.bytes.contains("\r\n\r\n") && !step.bytes.contains("\n\n"))
            return "reply without the head's end";
        const QByteArray status = step.bytes.mid(9, 3);
        if (step.page == ReaderStep::Page::PurchaseNotice)
            return "reply " + status + " purchase";
        if (step.page == ReaderStep::Page::Refresh)
            return "reply " + status + " refresh";
        return "reply " + status;
    }
    case K::NeedMore:
        break;
    }
    return "wait";
}

// Feeds the pieces one after another and takes every step; an upstream that is opened is
// taken as connected at once. Stops at a reply or a refusal, as the connection does.
QList<QByteArray> run(const QList<QByteArray>& pieces, bool paid,
                      TcpListener::Destination captured = {}) {
    qputenv("TARNIX_WHITELIST", "pay.test");
    qputenv("TARNIX_PROVIDER_HOST", "provider.test");
    const AccessPolicy access("192.168.11.1");
    RequestReader reader(access, captured, "PAC");
    RequestReader::Upstream upstream;
    QList<QByteArray> steps;
    for (const QByteArray& piece : pieces) {
        reader.append(piece);
        for (int guard = 0; guard < 100; ++guard) {
            const ReaderStep step = reader.next(upstream, [paid] { return paid; });
            if (step.kind == ReaderStep::Kind::NeedMore)
                break;
            steps << describe(step);
            if (step.kind == ReaderStep::Kind::Open)
                upstream = {step.host, step.port, true};
            if (step.kind == ReaderStep::Kind::Reply || step.kind == ReaderStep::Kind::Refuse)
                return steps;
        }
    }
    return steps;
}

const QByteArray kGet = "GET / HTTP/1.1\r\nHost: a.test\r\n\r\n";

} // namespace

TEST(RequestReader, LocalPagesAndRefusals) {
    const struct {
        const char* name;
        QByteArray request;
        bool paid;
        QList<QByteArray> steps;
    } rows[] = {
        {"the script without a host", "GET /wpad HTTP/1.1\r\n\r\n", false, {"reply 200"}},
        {"a purchase notice",
         "GET /Purchase?x HTTP/1.1\r\nHost: provider.test:80\r\n\r\n",
         false,
         {"reply 404 purchase"}},
        {"a refresh", "GET /refresh HTTP/1.1\r\n\r\n", false, {"reply 404 refresh"}},
        {"local paths elsewhere are pages",
         "GET /wpad HTTP/1.1\r\nHost: a.test\r\n\r\n",
         true,
         {"open GET a.test:80 |GET /wpad HTTP/1.1\r\nHost: a.test\r\n\r\n"}},
        {"unpaid elsewhere", kGet, false, {"refuse a.test:80"}},
        {"unpaid tunnel to 443 of the whitelist",
         "CONNECT pay.test:443 HTTP/1.1\r\n\r\n",
         false,
         {"open CONNECT pay.test:443 |"}},
        {"unpaid tunnel to 22 of the whitelist",
         "CONNECT pay.test:22 HTTP/1.1\r\n\r\n",
         false,
         {"refuse pay.test:22 tunnel"}},
        {"no host at all", "GET /x HTTP/1.1\r\n\r\n", true, {"reply 404"}},
        {"NUL in the host",
         "GET / HTTP/1.1\r\nHost: 10.9.0.7" + QByteArray(1, '\0') + ".pay.test\r\n\r\n",
         false,
         {"reply 400"}},
        {"a head over 64 KiB, not yet whole",
         "GET / HTTP/1.1\r\nHost: a.test\r\nX: " + QByteArray(64 * 1024, 'x'),
         true,
         {"reply 431"}},
        {"a whole head over 64 KiB",
         "GET / HTTP/1.1\r\nHost: a.test\r\nX: " + QByteArray(64 * 1024, 'x') + "\r\n\r\n",
         true,
         {"reply 431"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(run({row.request}, row.paid), row.steps);
    }
}

TEST(RequestReader, WhereRequestsGoAndWhatGoesWithThem) {
    const QByteArray body(70 * 1024, 'b');
    const struct {
        const char* name;
        QList<QByteArray> pieces;
        QList<QByteArray> steps;
    } rows[] = {
        {"a head in pieces goes once, rewritten",
         {"GET http://a.test/x HTTP/1.1\r\nIf-Modified-", "Since: y\r\nProxy-Connection: k\r\n",
          "\r\n"},
         {"open GET a.test:80 |GET /x HTTP/1.1\r\nHost: a.test\r\nnothing1: y\r\nConnection: "
          "k\r\n\r\n"}},
        {"the target's host wins over the Host line",
         {"GET http://b.test:81/ HTTP/1.1\r\nHost: pay.test\r\n\r\n"},
         {"open GET b.test:81 |GET / HTTP/1.1\r\nHost: b.test:81\r\n\r\n"}},
        {"a small body is gathered with its head",
         {"POST / HTTP/1.1\r\nHost: a.test\r\nContent-Length: 5\r\n\r\nab", "cde"},
         {"open POST a.test:80 |POST / HTTP/1.1\r\nHost: a.test\r\nContent-Length: "
          "5\r\n\r\nabcde"}},
        {"a large body is streamed after its head",
         {"PUT / HTTP/1.1\r\nHost: a.test\r\nContent-Length: 71680\r\n\r\n" + body.left(10),
          body.mid(10) + "GET"},
         {"open PUT a.test:80 |PUT / HTTP/1.1\r\nHost: a.test\r\nContent-Length: 71680\r\n\r\n",
          "send |" + body.left(10), "send |" + body.mid(10)}},
        {"a body that waits for 100 Continue is streamed",
         {"POST / HTTP/1.1\r\nHost: a.test\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n",
          "hi"},
         {"open POST a.test:80 |POST / HTTP/1.1\r\nHost: a.test\r\nExpect: 100-continue\r\n"
          "Content-Length: 2\r\n\r\n",
          "send |hi"}},
        {"a chunked body ends where its last chunk does",
         {"POST / HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n",
          "\r\n" + kGet},
         {"open POST a.test:80 |POST / HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: "
          "chunked\r\n\r\n",
          "send |3\r\nabc\r\n0\r\n", "send |\r\n", "send GET |" + kGet}},
        {"pipelined requests reuse the upstream for the same host only",
         {kGet + kGet + "GET / HTTP/1.1\r\nHost: a.test:81\r\n\r\n"},
         {"open GET a.test:80 |" + kGet, "send GET |" + kGet,
          "open GET a.test:81 |GET / HTTP/1.1\r\nHost: a.test:81\r\n\r\n"}},
        {"a tunnel never rides the kept-alive upstream, and carries bytes unread",
         {kGet + "CONNECT a.test:80 HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
         {"open GET a.test:80 |" + kGet, "open CONNECT a.test:80 |",
          "send |GET / HTTP/1.1\r\n\r\n"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(run(row.pieces, true), row.steps);
    }
}

// A device without proxy settings, captured on its way to port 80.
TEST(RequestReader, ACapturedRequestWithoutHostGoesWhereTheDeviceSentIt) {
    EXPECT_EQ(run({"GET /generate_204 HTTP/1.1\r\n\r\n"}, true, {0x0A630002, 80}),
              QList<QByteArray>{"open GET 10.99.0.2:80 |GET /generate_204 HTTP/1.1\r\n\r\n"});
    EXPECT_EQ(
        run({"GET /generate_204 HTTP/1.1\r\nHost: probe.test\r\n\r\n"}, false, {0x0A630002, 80}),
        QList<QByteArray>{"refuse probe.test:80"});
}
