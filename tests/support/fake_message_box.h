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
        bool question = false;
        std::function<void()> done;
        std::function<void(bool)> answer;
    };

    void inform(const QString& title, const QString& text, std::function<void()> done) override {
        shown.push_back({title, text, false, std::move(done), {}});
    }
    void ask(const QString& title, const QString& text, std::function<void(bool)> answer) override {
        shown.push_back({title, text, true, {}, std::move(answer)});
    }
    // Answers the newest box: OK (true) or Cancel (false).
    void answerLast(bool ok) {
        Shown box = shown.back();
        if (box.question && box.answer)
            box.answer(ok);
        else if (!box.question && box.done)
            box.done();
    }

    std::vector<Shown> shown;
};
