#include "common/clock.h"

SystemClock::SystemClock() {
    started_.start();
}

QDateTime SystemClock::now() const {
    QDateTime t = QDateTime::currentDateTime();
    t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return t;
}

qint64 SystemClock::monotonicMs() const {
    return started_.elapsed();
}
