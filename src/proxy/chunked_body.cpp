#include "proxy/chunked_body.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// No real chunk-size line, extensions included, comes near this; beyond it the peer is not
// speaking chunked encoding and buffering more would only cost memory.
constexpr qsizetype maxSizeLine = 4096;
// Sixteen hex digits already exceed any body a connection carries.
constexpr qsizetype maxSizeDigits = 16;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The chunk size of a complete size line (line end removed): hex digits, then optionally
// blanks and ";extension". -1 when the line is not of that form.
qint64 parseSizeLine(const QByteArray& line) {
    qsizetype end = line.size();
    if (end > 0 && line.at(end - 1) == '\r')
        --end;
    quint64 value = 0;
    qsizetype pos = 0;
    for (; pos < end && hexValue(line.at(pos)) >= 0; ++pos) {
        if (pos == maxSizeDigits)
            return -1;
        value = value * 16 + quint64(hexValue(line.at(pos)));
    }
    if (pos == 0 || value > quint64(std::numeric_limits<qint64>::max()))
        return -1;
    while (pos < end && (line.at(pos) == ' ' || line.at(pos) == '\t'))
        ++pos;
    if (pos < end && line.at(pos) != ';')
        return -1;
    return qint64(value);
}

} // namespace

qsizetype ChunkedBody::feed(const char* data, qsizetype size) {
    qsizetype pos = 0;
    while (pos < size) {
        switch (state_) {
        case State::Done:
        case State::Failed:
            return pos;

        case State::SizeLine: {
            const auto* lfAt = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
            const qsizetype partEnd = lfAt ? lfAt - data : size;
            // Fail at the byte that gives the line away, so any cutting of the input takes
            // the same number of bytes.
            if (line_.isEmpty() && partEnd > pos && hexValue(data[pos]) < 0) {
                state_ = State::Failed;
                return pos + 1;
            }
            const qsizetype room = maxSizeLine - line_.size();
            if (partEnd - pos > room) {
                state_ = State::Failed;
                return pos + room + 1;
            }
            line_.append(data + pos, partEnd - pos);
            pos = partEnd;
            if (!lfAt)
                break;
            ++pos;
            const qint64 chunkSize = parseSizeLine(line_);
            line_.clear();
            if (chunkSize < 0) {
                state_ = State::Failed;
                return pos;
            }
            remaining_ = chunkSize;
            state_ = chunkSize == 0 ? State::Trailer : State::Data;
            break;
        }

        case State::Data: {
            const qsizetype take = qsizetype(std::min<qint64>(remaining_, size - pos));
            pos += take;
            remaining_ -= take;
            if (remaining_ == 0)
                state_ = State::DataEnd;
            break;
        }

        case State::DataEnd: {
            // Chunk data is followed by CR LF or a bare LF; line_ holds a CR already seen.
            const char c = data[pos++];
            if (c == '\n') {
                line_.clear();
                state_ = State::SizeLine;
            } else if (c == '\r' && line_.isEmpty()) {
                line_.append('\r');
            } else {
                state_ = State::Failed;
                return pos;
            }
            break;
        }

        case State::Trailer: {
            // Trailer lines pass unread; line_ only tells whether the current line is empty
            // so far ("" or "\r") or holds anything else ("x").
            const auto* lfAt = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
            const qsizetype partEnd = lfAt ? lfAt - data : size;
            const qsizetype partSize = partEnd - pos;
            if (partSize > 0) {
                const bool onlyCr = line_.isEmpty() && partSize == 1 && data[pos] == '\r';
                line_ = onlyCr ? QByteArrayLiteral("\r") : QByteArrayLiteral("x");
            }
            pos = partEnd;
            if (!lfAt)
                break;
            ++pos;
            const bool emptyLine = line_.isEmpty() || line_ == "\r";
            line_.clear();
            if (emptyLine) {
                state_ = State::Done;
                return pos;
            }
            break;
        }
        }
    }
    return pos;
}
