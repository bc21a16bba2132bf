#pragma once
// A notification area that is always there and records whether its icon is shown.

#include "platform/notify_area.h"

class FakeNotifyArea final : public NotifyArea {
public:
    bool isAvailable() const override { return true; }
    void add(const QString&) override { added = true; }
    void remove() override { added = false; }

    bool added = false;
};
