#pragma once
// Shared by the fuzz targets: a check that stops the run with the broken rule, the input as a
// QByteArray of exactly its size, and a walk over a DHCP reply's options.

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzCheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void() : fuzzCheckFailed(#condition, __FILE__, __LINE__))

// No spare terminator byte behind the data, so a one-byte overrun reaches AddressSanitizer.
inline QByteArray exactBytes(const uint8_t* data, size_t size) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
}

inline int byteAt(const QByteArray& bytes, qsizetype index) {
    return uchar(bytes.at(index));
}

// Checks that a reply is a BOOTREPLY with the magic cookie whose options are well formed and
// end with the end option as the very last byte; returns its message type (option 53).
inline int checkedReplyType(const QByteArray& reply) {
    FUZZ_CHECK(reply.size() >= 241 && byteAt(reply, 0) == 2);
    FUZZ_CHECK(reply.mid(236, 4) == QByteArray("\x63\x82\x53\x63", 4));
    int type = 0;
    qsizetype pos = 240;
    while (byteAt(reply, pos) != 255) {
        FUZZ_CHECK(pos + 2 < reply.size() && pos + 2 + byteAt(reply, pos + 1) < reply.size());
        if (byteAt(reply, pos) == 53)
            type = byteAt(reply, pos + 2);
        pos += 2 + byteAt(reply, pos + 1);
    }
    FUZZ_CHECK(pos == reply.size() - 1);
    return type;
}
