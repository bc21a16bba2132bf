#include "platform/widgets/qt_message_box.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

namespace {

bool headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// Messages are composed with CR LF line breaks; a label wants LF alone.
QString displayText(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return shown;
}

} // namespace

void QtMessageBox::inform(const QString& title, const QString& text, std::function<void()> done) {
    if (headless()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(displayText(text)));
        std::fflush(stderr);
        if (done)
            QTimer::singleShot(0, [done = std::move(done)] { done(); });
        return;
    }
    auto* box = new QMessageBox(QMessageBox::NoIcon, title, displayText(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    QObject::connect(box, &QDialog::finished, box, [done = std::move(done)](int) {
        if (done)
            done();
    });
    box->show();
}

void QtMessageBox::ask(const QString& title, const QString& text,
                       std::function<void(bool)> answer) {
    auto* box = new QMessageBox(QMessageBox::Question, title, displayText(text),
                                QMessageBox::Ok | QMessageBox::Cancel, parent_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent_ ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(box, &QDialog::finished, box, [box, answer = std::move(answer)](int) {
        answer(box->clickedButton() == box->button(QMessageBox::Ok));
    });
    box->show();
}
