// Reading request heads: header values, the destination by the Host line or the request line,
// and what may stand as a host.

#include "proxy/request_head.h"

#include <gtest/gtest.h>

TEST(RequestHead, GetHeaderSectionReadsWholeNamesAtLineStartsInsideTheHead) {
    const struct {
        const char* name;
        QByteArray header;
        QByteArray section;
        QByteArray value;
    } rows[] = {
        {"value is lower-cased, name matched without case",
         "GET / HTTP/1.1\r\nHOST: MailHost:8080\r\n\r\n", "host", "mailhost:8080"},
        {"name inside a longer name is no match", "GET / HTTP/1.1\r\nX-Content-Length: 5\r\n\r\n",
         "Content-Length", ""},
        {"name inside a value is no match", "GET / HTTP/1.1\r\nReferer: x\rHost: evil\r\n\r\n",
         "Host", ""},
        {"blanks after the colon are skipped, trailing ones kept",
         "GET / HTTP/1.1\r\nHost: \t a \t\r\n\r\n", "Host", "a \t"},
        {"value on a last line without its line end is not returned", "GET / HTTP/1.1\r\nHost: a\r",
         "Host", ""},
        {"body after the head is not read", "POST / HTTP/1.1\nA: 1\n\nHost: evil\n", "Host", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(GetHeaderSection(row.header, row.section), row.value);
    }
}

// host and port where the request goes; hostLine: the authority the Host line must name
// upstream, "" when it is kept.
TEST(RequestHead, DestinationFromTheHostLineOrTheRequestLine) {
    const struct {
        const char* name;
        QByteArray head;
        QByteArray host;
        int port;
        QByteArray hostLine;
    } rows[] = {
        {"Host with port", "GET / HTTP/1.1\r\nHost: MailHost:8080\r\n\r\n", "mailhost", 8080, ""},
        {"no Host line", "GET / HTTP/1.1\r\nA: b\r\n\r\n", "", 80, ""},
        {"IPv6 literal with port", "GET / HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", "[::1]", 8080, ""},
        {"port text not a number", "GET / HTTP/1.1\r\nHost: a:http\r\n\r\n", "a", 0, ""},
        {"Host in the body is not read", "POST / HTTP/1.1\r\n\r\nHost: evil:81\r\n", "", 80, ""},
        {"absolute address wins over Host",
         "GET http://www.Example.test/x HTTP/1.1\r\nHost: provider.test\r\n\r\n",
         "www.example.test", 80, "www.Example.test"},
        {"absolute address with port, query after name",
         "GET HTTP://b.test:8081?q HTTP/1.1\r\n\r\n", "b.test", 8081, "b.test:8081"},
        {"https is no absolute http address", "GET https://a/ HTTP/1.1\r\nHost: b\r\n\r\n", "b", 80,
         ""},
        {"CONNECT ignores Host",
         "CONNECT www.example.test:8081 HTTP/1.1\r\nHost: provider.test:8081\r\n\r\n",
         "www.example.test", 8081, ""},
        {"CONNECT without port", "CONNECT MailHost HTTP/1.0\r\nHost: a.test:443\r\n\r\n",
         "mailhost", 0, ""},
        {"CONNECT port overflow", "CONNECT a:99999999999 HTTP/1.0\r\n\r\n", "a", 0, ""},
        {"CONNECT with scheme", "CONNECT https://Name:443 HTTP/1.1\r\n\r\n", "name", 443, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Destination destination = requestDestination(row.head);
        EXPECT_EQ(destination.host, row.host);
        EXPECT_EQ(destination.port, row.port);
        EXPECT_EQ(destination.fromTarget, !row.hostLine.isEmpty());
        EXPECT_EQ(destination.authority, row.hostLine);
    }
}

TEST(RequestHead, OnlyNamesAndLiteralsAreHosts) {
    for (const QByteArray& host : {QByteArray("a-b_c.9.TEST"), QByteArray("10.99.0.2"),
                                   QByteArray("[fe80::1:2]"), QByteArray(253, 'a')})
        EXPECT_TRUE(isValidHost(host)) << host.constData();
    // Hosts with a blank, a slash, an at sign or a NUL: the fuzz target's invariant.
    for (const QByteArray& host : {QByteArray(), QByteArray(254, 'a'), QByteArray("[::1"),
                                   QByteArray("[::g]"), QByteArray("a%2eb")})
        EXPECT_FALSE(isValidHost(host)) << host.toPercentEncoding().constData();
}
