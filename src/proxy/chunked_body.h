#pragma once
// Follows a chunked message body (chunk-size line, data, CR LF, ..., last chunk, trailer) as
// its bytes pass by, so the proxy knows where the body ends and the next message begins. It
// keeps only the few bytes of a size or trailer line it is in the middle of.

#include <QByteArray>

class ChunkedBody {
public:
    // Takes bytes of the body from data[0, size): returns how many of them belong to it (all of
    // them unless the body ends inside). After the end, done() is true and feed takes nothing.
    qsizetype feed(const char* data, qsizetype size);
    bool done() const { return state_ == State::Done; }
    // A size line that is not hex, or one longer than any real one: the body cannot be followed.
    bool failed() const { return state_ == State::Failed; }

private:
    enum class State { SizeLine, Data, DataEnd, Trailer, Done, Failed };
    State state_ = State::SizeLine;
    qint64 remaining_ = 0;
    QByteArray line_;
};
