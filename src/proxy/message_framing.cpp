#include "proxy/message_framing.h"

#include "proxy/request_head.h"

namespace {

// A decimal length without sign or blanks inside; -1 when the text is none.
qint64 decimalLength(QByteArrayView text) {
    const QByteArrayView digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 18)
        return -1;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The Transfer-Encoding and Content-Length values of a head, found in one pass.
struct FramingHeaders {
    QByteArray codings;
    QByteArray length;
};

FramingHeaders framingHeaders(const QByteArray& head) {
    static constexpr QByteArrayView kNames[] = {"Transfer-Encoding", "Content-Length"};
    QByteArray values[2];
    GetHeaderSections(head, kNames, values, 2);
    return {values[0], values[1]};
}

bool chunkedLast(QByteArrayView codings) {
    const qsizetype comma = codings.lastIndexOf(',');
    const QByteArrayView last = codings.sliced(comma + 1).trimmed();
    return last.size() == 7 && startsWithIgnoringCase(last, "chunked");
}

} // namespace

BodyFraming requestFraming(const QByteArray& head) {
    const FramingHeaders headers = framingHeaders(head);
    return requestFraming(headers.codings, headers.length);
}

BodyFraming requestFraming(QByteArrayView codings, QByteArrayView length) {
    if (chunkedLast(codings))
        return {BodyFraming::Kind::Chunked, 0};
    if (length.isEmpty())
        return {BodyFraming::Kind::None, 0};
    const qint64 value = decimalLength(length);
    if (value < 0)
        return {BodyFraming::Kind::Invalid, 0};
    return {value == 0 ? BodyFraming::Kind::None : BodyFraming::Kind::Length, value};
}

int responseStatus(const QByteArray& head) {
    if (!head.startsWith("HTTP/"))
        return 0;
    const qsizetype space = head.indexOf(' ');
    if (space < 0 || space + 4 > head.size())
        return 0;
    int status = 0;
    for (qsizetype i = space + 1; i < space + 4; ++i) {
        const char c = head.at(i);
        if (c < '0' || c > '9')
            return 0;
        status = status * 10 + (c - '0');
    }
    return status;
}

BodyFraming responseFraming(const QByteArray& head, const QByteArray& requestMethod) {
    const int status = responseStatus(head);
    if (requestMethod == "HEAD" || (status >= 100 && status < 200) || status == 204 ||
        status == 304)
        return {BodyFraming::Kind::None, 0};
    const FramingHeaders headers = framingHeaders(head);
    if (chunkedLast(headers.codings))
        return {BodyFraming::Kind::Chunked, 0};
    const qint64 value = decimalLength(headers.length);
    if (value < 0)
        return {BodyFraming::Kind::UntilClose, 0};
    return {value == 0 ? BodyFraming::Kind::None : BodyFraming::Kind::Length, value};
}
