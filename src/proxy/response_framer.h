#pragma once
// Follows an upstream's responses as their bytes pass back to the client, without sockets: each
// head, and its body by length, by chunks or until the server closes, in the order the requests
// went out. Bytes pass unchanged; a small response that declares its length is held until it is
// whole and then goes out in one piece.

#include "proxy/chunked_body.h"

#include <QByteArray>
#include <deque>
#include <limits>

class ResponseFramer {
public:
    static constexpr qint64 kHoldLimit = 5000;
    static constexpr qsizetype kMaxHeadBytes = 64 * 1024;

    // A request went upstream: its response comes after those of the requests before it.
    void expect(const QByteArray& method) { methods_.push_back(method); }
    // A tunnel: everything is passed on until the server closes.
    void passThrough();
    // A new upstream connection: nothing is expected from it yet.
    void reset();

    // The server's next bytes: what goes to the client now.
    QByteArray take(const QByteArray& chunk);
    // The server has closed: a held response goes as it stands.
    QByteArray flush();

    // How many of the server's next bytes pass unchanged and unheld, so that they may go by
    // without take() (kUnbounded: all of them), and that they did.
    static constexpr qint64 kUnbounded = std::numeric_limits<qint64>::max();
    qint64 passingAhead() const;
    void passed(qint64 count);

private:
    enum class Phase { Head, Body, Chunked, UntilClose };

    qsizetype readHead(const QByteArray& chunk, qsizetype pos);
    void startBody(const QByteArray& head, bool startedHere, qsizetype bodyBytesHere);

    std::deque<QByteArray> methods_; // of the requests sent, oldest first
    Phase phase_ = Phase::Head;
    QByteArray head_; // a response head that arrived in pieces
    qint64 bodyLeft_ = 0;
    ChunkedBody chunks_;
    QByteArray held_; // a small response held until it is whole
    bool holding_ = false;
};
