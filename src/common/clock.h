#pragma once
// Where the gateway reads the time. Idle rules take it from here, so tests can move time
// forward without sleeping.

#include <QDateTime>
#include <QElapsedTimer>

class Clock {
public:
    virtual ~Clock() = default;
    // Local date and time, to the whole second: last-seen and expiry texts.
    virtual QDateTime now() const = 0;
    // Milliseconds on a clock that no wall-clock change moves: idle intervals.
    virtual qint64 monotonicMs() const = 0;
};

class SystemClock final : public Clock {
public:
    SystemClock();
    QDateTime now() const override;
    qint64 monotonicMs() const override;

private:
    QElapsedTimer started_;
    mutable qint64 lastSeconds_ = -1;
    mutable QDateTime last_;
};
