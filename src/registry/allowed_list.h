#pragma once
// AllowedMacs: the hardware addresses that the last allowance feed admitted, each with the end
// of its allowance. A client is admitted only when its whole address is in the list, exactly,
// and its allowance has not run out.

#include <QByteArray>
#include <QDateTime>
#include <QHash>

class AllowedList {
public:
    void clear() { ends_.clear(); }
    // raw: the hardware address, one byte per byte. A null end means it never expires.
    void add(const QByteArray& raw, const QDateTime& end);
    bool isAllowed(const QByteArray& raw, const QDateTime& now) const;
    bool contains(const QByteArray& raw) const { return ends_.contains(raw); }
    // The end of raw's allowance: null when it never expires (or when raw is not listed).
    QDateTime end(const QByteArray& raw) const { return ends_.value(raw); }
    int size() const { return static_cast<int>(ends_.size()); }
    bool isEmpty() const { return ends_.isEmpty(); }

private:
    QHash<QByteArray, QDateTime> ends_;
};
