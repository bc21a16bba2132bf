#pragma once
// A notification area that is always there and records its icon.

#include "platform/notify_area.h"

class FakeNotifyArea final : public NotifyArea {
public:
    bool isAvailable() const override { return true; }
    void add(const QString& tip) override {
        added = true;
        this->tip = tip;
    }
    void remove() override { added = false; }

    bool added = false;
    QString tip;
};
