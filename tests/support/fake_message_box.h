#pragma once
// A message box that records what was shown and lets the test answer it.

#include "platform/message_box.h"

#include <QStringList>
#include <functional>
#include <vector>

class FakeMessageBox final : public MessageBox {
public:
    struct Shown {
        QString title;
        QString text;
        std::function<void(bool)> answer; // OK (true) or Cancel (false); a notice takes either
    };

    void inform(const QString& title, const QString& text, std::function<void()> done) override {
        shown.push_back({title, text, [done = std::move(done)](bool) {
                             if (done)
                                 done();
                         }});
    }
    void ask(const QString& title, const QString& text, std::function<void(bool)> answer) override {
        shown.push_back({title, text, std::move(answer)});
    }
    // Answers the newest box.
    void answerLast(bool ok) {
        const Shown box = shown.back();
        if (box.answer)
            box.answer(ok);
    }

    std::vector<Shown> shown;
};
