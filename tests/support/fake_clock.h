#pragma once
// A clock that moves only when the test says so.

#include "common/clock.h"

class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(12, 0, 0)))
        : now_(start) {}
    QDateTime now() const override { return now_; }
    qint64 monotonicMs() const override { return monotonicMs_; }
    void advanceSeconds(qint64 seconds) {
        now_ = now_.addSecs(seconds);
        monotonicMs_ += seconds * 1000;
    }

private:
    QDateTime now_;
    qint64 monotonicMs_ = 0;
};
