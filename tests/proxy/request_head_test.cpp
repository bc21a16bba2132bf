// Reading request and response heads: method word, header values, target host and port, and
// where a head ends in a buffer that keeps growing.

#include "proxy/request_head.h"

#include <gtest/gtest.h>

TEST(RequestHead, GetHeaderSectionReadsWholeNamesAtLineStartsInsideTheHead) {
    struct Row {
        const char* name;
        QByteArray header;
        QByteArray section;
        QByteArray value;
    };
    const Row rows[] = {
        {"value is lower-cased", "GET / HTTP/1.1\r\nHost: MailHost:8080\r\n\r\n", "host",
         "mailhost:8080"},
        {"name is matched without case", "GET / HTTP/1.1\r\nHOST: a\r\n\r\n", "Host", "a"},
        {"first line counts", "Host: a\r\n\r\n", "Host", "a"},
        {"name inside a longer name is no match", "GET / HTTP/1.1\r\nX-Content-Length: 5\r\n\r\n",
         "Content-Length", ""},
        {"longer name is no match", "GET / HTTP/1.1\r\nHostname: a\r\n\r\n", "Host", ""},
        {"name inside a value is no match", "GET / HTTP/1.1\r\nReferer: x\rHost: evil\r\n\r\n",
         "Host", ""},
        {"blank before the colon is no match", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", "Host", ""},
        {"blanks after the colon are skipped", "GET / HTTP/1.1\r\nHost: \t a\r\n\r\n", "Host", "a"},
        {"no blank after the colon", "GET / HTTP/1.1\r\nHost:a\r\n\r\n", "Host", "a"},
        {"trailing blanks are kept", "GET / HTTP/1.1\r\nHost: a \t\r\n\r\n", "Host", "a \t"},
        {"empty value", "GET / HTTP/1.1\r\nHost:\r\nX: 1\r\n\r\n", "Host", ""},
        {"first matching line wins", "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n", "Host", "a"},
        {"LF-only head", "GET / HTTP/1.1\nHost: A\n\n", "Host", "a"},
        {"value on a last line without CR LF is not returned", "GET / HTTP/1.1\r\nHost: a", "Host",
         ""},
        {"value on a last line cut after its CR is not returned", "GET / HTTP/1.1\r\nHost: a\r",
         "Host", ""},
        {"head whose empty line has not arrived", "GET / HTTP/1.1\r\nHost: a\r\n", "Host", "a"},
        {"body after the head is not read", "POST / HTTP/1.1\r\nA: 1\r\n\r\nHost: evil\r\n", "Host",
         ""},
        {"body after an LF-only head is not read", "POST / HTTP/1.1\nA: 1\n\nHost: evil\n", "Host",
         ""},
        {"stray line end before the request line", "\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n", "Host",
         "a"},
        {"bytes above 127 are kept as they are", "GET / HTTP/1.1\r\nX: \xC4Z\r\n\r\n", "x",
         "\xC4z"},
        {"empty name is never found", "GET / HTTP/1.1\r\n: a\r\n\r\n", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(GetHeaderSection(row.header, row.section), row.value);
    }
}

TEST(RequestHead, DestinationFromTheHostLineOrTheRequestLine) {
    struct Row {
        const char* name;
        QByteArray header;
        QByteArray server;
        int port;
    };
    const Row rows[] = {
        {"Host with port", "GET / HTTP/1.1\r\nHost: MailHost:8080\r\n\r\n", "mailhost", 8080},
        {"Host without port", "GET / HTTP/1.1\r\nHost: Example.org\r\n\r\n", "example.org", 80},
        {"no Host line", "GET / HTTP/1.1\r\nA: b\r\n\r\n", "", 80},
        {"IPv6 literal with port", "GET / HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", "[::1]", 8080},
        {"IPv6 literal without port", "GET / HTTP/1.1\r\nHost: [::1]\r\n\r\n", "[::1]", 80},
        {"port text not a number", "GET / HTTP/1.1\r\nHost: a:http\r\n\r\n", "a", 0},
        {"port 65536", "GET / HTTP/1.1\r\nHost: a:65536\r\n\r\n", "a", 0},
        {"port 65535", "GET / HTTP/1.1\r\nHost: a:65535\r\n\r\n", "a", 65535},
        {"signed port", "GET / HTTP/1.1\r\nHost: a:+80\r\n\r\n", "a", 0},
        {"blanks behind the Host value", "GET / HTTP/1.1\r\nHost: a:81 \r\n\r\n", "a", 81},
        {"LF-only head", "GET / HTTP/1.1\nHost: A:81\n\n", "a", 81},
        {"Host in the body is not read", "POST / HTTP/1.1\r\n\r\nHost: evil:81\r\n", "", 80},
        {"the request line's address wins", "GET http://b:8080/ HTTP/1.1\r\nHost: a\r\n\r\n", "b",
         8080},
        {"CONNECT without Host", "CONNECT MailHost:443 HTTP/1.0\r\n\r\n", "mailhost", 443},
        {"CONNECT with Host", "CONNECT gate7:443 HTTP/1.1\r\nHost: gate7:443\r\n\r\n", "gate7",
         443},
        {"CONNECT upper-case name and lower-case Host",
         "CONNECT GATE7:443 HTTP/1.1\r\nHost: gate7\r\n\r\n", "gate7", 443},
        {"connect in lower case", "connect a:443 HTTP/1.1\r\n\r\n", "a", 443},
        {"CONNECT without port", "CONNECT MailHost HTTP/1.0\r\n\r\n", "mailhost", 0},
        {"CONNECT port 65536", "CONNECT a:65536 HTTP/1.0\r\n\r\n", "a", 0},
        {"CONNECT port overflow", "CONNECT a:99999999999 HTTP/1.0\r\n\r\n", "a", 0},
        {"CONNECT signed port", "CONNECT a:+443 HTTP/1.0\r\n\r\n", "a", 0},
        {"CONNECT without protocol word", "CONNECT a:443\r\n\r\n", "a", 443},
        {"CONNECT IPv6 literal", "CONNECT [::1]:443 HTTP/1.1\r\n\r\n", "[::1]", 443},
        {"CONNECT with scheme", "CONNECT https://Name:443 HTTP/1.1\r\n\r\n", "name", 443},
        {"CONNECT port from request line only", "CONNECT a:443 HTTP/1.1\r\nX: b:80\r\n\r\n", "a",
         443},
        {"a CONNECT's Host line is not looked at",
         "CONNECT www.example.test:8081 HTTP/1.1\r\nHost: provider.test:8081\r\n\r\n",
         "www.example.test", 8081},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Destination destination = requestDestination(row.header);
        EXPECT_EQ(destination.host, row.server);
        EXPECT_EQ(destination.port, row.port);
    }
}

TEST(RequestHead, HeadEndIsJustPastTheFirstEmptyLine) {
    struct Row {
        const char* name;
        QByteArray data;
        qsizetype from;
        qsizetype end;
    };
    const Row rows[] = {
        {"CR LF head followed by body", "GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", 0, 27},
        {"LF-only head", "GET /\nA: b\n\nbody", 0, 12},
        {"LF then CR LF", "GET /\n\r\nx", 0, 8},
        {"CR LF then LF", "GET /\r\n\nx", 0, 8},
        {"no empty line yet", "GET / HTTP/1.1\r\nHost: a\r\n", 0, -1},
        {"empty line cut after its CR", "GET / HTTP/1.1\r\nHost: a\r\n\r", 0, -1},
        {"empty buffer", "", 0, -1},
        {"first empty line wins", "A\n\nB\r\n\r\n", 0, 3},
        {"empty line straddling the old end", "GET /\r\n\r\n", 7, 9},
        {"from at the very end of the empty line", "GET /\r\n\r\n", 9, 9},
        {"bytes before from less three are not searched", "A\n\nB\n\n", 5, 6},
        {"from past the end", "GET /\r\n\r\n", 100, -1},
        {"negative from searches all", "GET /\r\n\r\n", -5, 9},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(headEnd(row.data, row.from), row.end);
    }
}

TEST(RequestHead, HeadEndOnAGrowingBufferMatchesOneSearch) {
    const QByteArray heads[] = {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody",
                                "GET / HTTP/1.1\nHost: a\n\nbody", "GET /\n\r\nx"};
    for (const QByteArray& head : heads) {
        SCOPED_TRACE(head.constData());
        QByteArray buffer;
        qsizetype end = -1;
        for (char c : head) {
            const qsizetype from = buffer.size();
            buffer.append(c);
            end = headEnd(buffer, from);
            if (end >= 0)
                break;
        }
        EXPECT_EQ(end, headEnd(head));
        EXPECT_EQ(end, buffer.size());
    }
}

TEST(RequestHead, AbsoluteAddressOfTheRequestLine) {
    struct Row {
        const char* name;
        QByteArray header;
        QByteArray host;
        int port;
    };
    const Row rows[] = {
        {"name and port", "GET http://Name:8080/x HTTP/1.1\r\n\r\n", "name", 8080},
        {"no port is 80", "GET http://Name/x HTTP/1.1\r\n\r\n", "name", 80},
        {"scheme in any case, query after name", "GET HTTP://a.b?q=1 HTTP/1.1\r\n\r\n", "a.b", 80},
        {"no path", "GET http://a HTTP/1.1\r\n\r\n", "a", 80},
        {"port not a number", "GET http://a:x/ HTTP/1.1\r\n\r\n", "a", 0},
        {"port 65536", "GET http://a:65536/ HTTP/1.1\r\n\r\n", "a", 0},
        {"IPv6 literal", "GET http://[::1]:8080/ HTTP/1.1\r\n\r\n", "[::1]", 8080},
        {"origin form", "GET /x HTTP/1.1\r\nHost: a\r\n\r\n", "", 0},
        {"https is no absolute http address", "GET https://a/ HTTP/1.1\r\n\r\n", "", 0},
        {"empty name", "GET http:///x HTTP/1.1\r\n\r\n", "", 0},
        {"address in a later line", "GET / HTTP/1.1\r\nReferer: http://a/\r\n\r\n", "", 0},
        {"no space", "GEThttp://a", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Destination destination = requestDestination(row.header);
        EXPECT_EQ(destination.fromTarget ? destination.host : QByteArray(), row.host);
        EXPECT_EQ(destination.fromTarget ? destination.port : 0, row.port);
    }
}

TEST(RequestHead, TheRequestLineNamesTheHostLineToSendUpstream) {
    const struct {
        const char* name;
        QByteArray head;
        QByteArray host;
        int port;
        QByteArray hostLine; // the authority the Host line must name; "" when kept
    } rows[] = {
        {"Host line", "GET / HTTP/1.1\r\nHost: A.test:81\r\n\r\n", "a.test", 81, ""},
        {"absolute address wins over Host",
         "GET http://www.Example.test/x HTTP/1.1\r\nHost: provider.test\r\n\r\n",
         "www.example.test", 80, "www.Example.test"},
        {"absolute address with port", "GET http://b.test:8081?q HTTP/1.1\r\n\r\n", "b.test", 8081,
         "b.test:8081"},
        {"CONNECT ignores Host",
         "CONNECT www.example.test:8081 HTTP/1.1\r\nHost: provider.test:8081"
         "\r\n\r\n",
         "www.example.test", 8081, ""},
        {"CONNECT without a port", "CONNECT a.test HTTP/1.1\r\nHost: a.test:443\r\n\r\n", "a.test",
         0, ""},
        {"CONNECT IPv6 literal", "CONNECT [::1]:443 HTTP/1.1\r\n\r\n", "[::1]", 443, ""},
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
    for (const QByteArray& host :
         {QByteArray("provider.test"), QByteArray("a-b_c.9.TEST"), QByteArray("10.99.0.2"),
          QByteArray("[::1]"), QByteArray("[fe80::1:2]"), QByteArray(253, 'a')})
        EXPECT_TRUE(isValidHost(host)) << host.constData();
    for (const QByteArray& host :
         {QByteArray("10.99.0.77\0.provider.test", 25), QByteArray("a b"), QByteArray("a/b"),
          QByteArray("a\\b"), QByteArray("user@provider.test"), QByteArray("a\tb"), QByteArray(),
          QByteArray(254, 'a'), QByteArray("[::1"), QByteArray("[::g]"), QByteArray("a%2eb")})
        EXPECT_FALSE(isValidHost(host)) << host.toPercentEncoding().constData();
}
