#pragma once
// Byte strings for tests: written out as numbers, every byte value, or a long pattern.

#include <QByteArray>
#include <initializer_list>

inline QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

inline QByteArray everyByteValue() {
    QByteArray out;
    for (int value = 0; value < 256; ++value)
        out.append(static_cast<char>(value));
    return out;
}

// Bytes that cover every value, in an order that shows any shift or loss.
inline QByteArray patternBytes(qsizetype size, unsigned seed = 1) {
    QByteArray out(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = static_cast<char>(state >> 24);
    }
    return out;
}
