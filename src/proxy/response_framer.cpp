#include "proxy/response_framer.h"

#include "proxy/message_framing.h"
#include "proxy/request_head.h"

#include <algorithm>
#include <utility>

void ResponseFramer::passThrough() {
    phase_ = Phase::UntilClose;
}

void ResponseFramer::reset() {
    methods_.clear();
    phase_ = Phase::Head;
    head_.clear();
    bodyLeft_ = 0;
    chunks_ = ChunkedBody();
    held_.clear();
    holding_ = false;
}

QByteArray ResponseFramer::flush() {
    holding_ = false;
    return std::exchange(held_, QByteArray());
}

qint64 ResponseFramer::passingAhead() const {
    if (holding_)
        return 0;
    if (phase_ == Phase::UntilClose)
        return kUnbounded;
    return phase_ == Phase::Body ? bodyLeft_ : 0;
}

void ResponseFramer::passed(qint64 count) {
    if (phase_ != Phase::Body)
        return;
    bodyLeft_ -= count;
    if (bodyLeft_ <= 0)
        phase_ = Phase::Head;
}

QByteArray ResponseFramer::take(const QByteArray& chunk) {
    QByteArray out;
    qsizetype pos = 0;
    // Passes chunk[from, from + n) on, or holds it with the response it belongs to.
    const auto pass = [&](qsizetype from, qsizetype n) {
        if (n <= 0)
            return;
        if (holding_)
            held_.append(chunk.constData() + from, n);
        else if (out.isEmpty() && from == 0 && n == chunk.size())
            out = chunk; // shared, not copied
        else
            out.append(chunk.constData() + from, n);
    };
    const auto releaseHeld = [&] {
        if (!holding_)
            return;
        holding_ = false;
        out += std::exchange(held_, QByteArray());
    };

    while (pos < chunk.size()) {
        const qsizetype rest = chunk.size() - pos;
        switch (phase_) {
        case Phase::Head: {
            // The head's bytes pass, or begin the hold of a small response.
            const qsizetype used = readHead(chunk, pos);
            pass(pos, used);
            pos += used;
            break;
        }
        case Phase::Body: {
            const qsizetype n = static_cast<qsizetype>(std::min<qint64>(bodyLeft_, rest));
            pass(pos, n);
            pos += n;
            bodyLeft_ -= n;
            if (bodyLeft_ == 0) {
                releaseHeld();
                phase_ = Phase::Head;
            }
            break;
        }
        case Phase::Chunked: {
            const qsizetype n = chunks_.feed(chunk.constData() + pos, rest);
            pass(pos, n);
            pos += n;
            if (chunks_.failed())
                phase_ = Phase::UntilClose;
            else if (chunks_.done())
                phase_ = Phase::Head;
            break;
        }
        case Phase::UntilClose:
            pass(pos, rest);
            pos += rest;
            break;
        }
    }
    return out;
}

// Reads the head that begins (or goes on) at chunk[pos]: how many bytes of chunk it took.
qsizetype ResponseFramer::readHead(const QByteArray& chunk, qsizetype pos) {
    const qsizetype rest = chunk.size() - pos;
    const qsizetype before = head_.size();
    qsizetype headBytes = -1;
    QByteArray head; // read where it lies when it came in one piece
    if (before == 0) {
        headBytes = headEnd(QByteArray::fromRawData(chunk.constData() + pos, rest), 0);
        if (headBytes >= 0)
            head = QByteArray::fromRawData(chunk.constData() + pos, headBytes);
    } else {
        head_.append(chunk.constData() + pos, std::min(rest, kMaxHeadBytes));
        const qsizetype end = headEnd(head_, before);
        if (end >= 0) {
            headBytes = end - before;
            head_.truncate(end);
            head = std::exchange(head_, QByteArray());
        }
    }
    if (headBytes < 0) {
        // No empty line yet: the piece goes out now, and the head is read on.
        if (before == 0)
            head_ = QByteArray(chunk.constData() + pos, std::min(rest, kMaxHeadBytes));
        if (head_.size() >= kMaxHeadBytes) {
            head_.clear();
            phase_ = Phase::UntilClose;
        }
        return rest;
    }
    startBody(head, before == 0, rest - headBytes);
    return headBytes;
}

// A whole head read: its body's framing decides what follows. A small declared body starts a
// hold when the whole response started in this piece (startedHere) and its body has not all
// come (bodyBytesHere are what came with it).
void ResponseFramer::startBody(const QByteArray& head, bool startedHere, qsizetype bodyBytesHere) {
    const int status = responseStatus(head);
    QByteArray method;
    const bool interim = status >= 100 && status < 200 && status != 101;
    if (!interim && !methods_.empty()) {
        method = methods_.front();
        methods_.pop_front();
    }
    BodyFraming framing = responseFraming(head, method);
    if (status == 0 || status == 101)
        framing = {BodyFraming::Kind::UntilClose, 0};
    if (startedHere && framing.kind == BodyFraming::Kind::Length && framing.length <= kHoldLimit &&
        bodyBytesHere < framing.length) {
        holding_ = true;
        held_.clear();
    }
    switch (framing.kind) {
    case BodyFraming::Kind::Length:
        phase_ = Phase::Body;
        bodyLeft_ = framing.length;
        break;
    case BodyFraming::Kind::Chunked:
        phase_ = Phase::Chunked;
        chunks_ = ChunkedBody();
        break;
    case BodyFraming::Kind::UntilClose:
    case BodyFraming::Kind::Invalid:
        phase_ = Phase::UntilClose;
        break;
    case BodyFraming::Kind::None:
        break;
    }
}
