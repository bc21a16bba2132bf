#include "common/clock.h"

SystemClock::SystemClock() {
    started_.start();
}

QDateTime SystemClock::now() const {
    // Every proxied request asks; the conversion to local time (the time zone read again each
    // time) is done once a second, when the second changes.
    const qint64 seconds = QDateTime::currentSecsSinceEpoch();
    if (seconds != lastSeconds_) {
        lastSeconds_ = seconds;
        last_ = QDateTime::fromSecsSinceEpoch(seconds);
    }
    return last_;
}

qint64 SystemClock::monotonicMs() const {
    return started_.elapsed();
}
