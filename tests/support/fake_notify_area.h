#pragma once
// A notification area the test can make present or absent, and click.

#include "platform/notify_area.h"

class FakeNotifyArea final : public NotifyArea {
public:
    bool isAvailable() const override { return available; }
    void add(const QString& tip) override {
        added = true;
        this->tip = tip;
    }
    void remove() override { added = false; }
    void click(int message) { emit mouseMessage(message); }

    bool available = true;
    bool added = false;
    QString tip;
};
