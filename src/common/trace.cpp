#include "common/trace.h"

void TraceOut(const QByteArray& text) {
    Q_UNUSED(text);
}

void TraceMsg(const QByteArray& text) {
    TraceOut(text);
}
