#pragma once
// Operator messages as Qt message boxes that never block the event loop. Without a display
// (offscreen) nobody can answer, so a message that needs only OK is written to standard error
// and counts as answered at once.

#include "platform/message_box.h"

#include <QPointer>
#include <QWidget>

class QtMessageBox final : public MessageBox {
public:
    // Questions are modal to parent's window while they are open.
    void setParent(QWidget* parent) { parent_ = parent; }

    void inform(const QString& title, const QString& text, std::function<void()> done) override;
    void ask(const QString& title, const QString& text, std::function<void(bool)> answer) override;

private:
    QPointer<QWidget> parent_;
};
