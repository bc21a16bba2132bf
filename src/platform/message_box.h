#pragma once
// Operator messages. Both calls return at once: the answer comes back through the callback,
// so no network or timer handler ever waits inside a modal loop.

#include <QString>
#include <functional>

class MessageBox {
public:
    virtual ~MessageBox() = default;
    // A message with one OK button; done (if any) runs once it has been dismissed.
    virtual void inform(const QString& title, const QString& text,
                        std::function<void()> done = {}) = 0;
    // A question with OK and Cancel; answer(true) for OK, answer(false) for Cancel or close.
    virtual void ask(const QString& title, const QString& text,
                     std::function<void(bool)> answer) = 0;
};
