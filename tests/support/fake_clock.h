#pragma once
// A clock that moves only when the test says so.

#include "common/clock.h"

class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(12, 0, 0)))
        : start_(start), now_(start) {}
    QDateTime now() const override { return now_; }
    qint64 monotonicMs() const override { return monotonicMs_; }
    void advanceSeconds(qint64 seconds) { advanceMs(seconds * 1000); }
    void advanceMs(qint64 ms) {
        monotonicMs_ += ms;
        // The date-time counts whole seconds, as the display does.
        now_ = start_.addSecs(monotonicMs_ / 1000);
    }

private:
    QDateTime start_;
    QDateTime now_;
    qint64 monotonicMs_ = 0;
};
