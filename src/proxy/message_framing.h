#pragma once
// Where an HTTP message's body ends, as its head says: no body, a length, chunks, or (for a
// response only) the server's close.

#include <QByteArray>
#include <QByteArrayView>

struct BodyFraming {
    enum class Kind { None, Length, Chunked, UntilClose, Invalid };
    Kind kind = Kind::None;
    qint64 length = 0;
};

// A request head: chunked when its last transfer coding is chunked, else its Content-Length
// (Invalid when that is not a number), else no body.
BodyFraming requestFraming(const QByteArray& head);
// The same from the head's Transfer-Encoding and Content-Length values (null when absent).
BodyFraming requestFraming(QByteArrayView codings, QByteArrayView length);

// A response head to a request made with requestMethod: no body for HEAD and for status 1xx,
// 204 and 304; else chunked, a Content-Length, or until the server closes. A Content-Length that
// is not a number leaves the body to the server's close.
BodyFraming responseFraming(const QByteArray& head, const QByteArray& requestMethod);

// The status code of a response head ("HTTP/1.1 204 ..." gives 204); 0 when there is none.
int responseStatus(const QByteArray& head);
