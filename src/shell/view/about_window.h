#pragma once
// frmAbout: the program's name, version and how to reach its maker. The main window opens it
// modeless and keeps at most one.

#include <QDialog>

class QLabel;
class QPushButton;

class AboutWindow : public QDialog {
    Q_OBJECT

public:
    explicit AboutWindow(QWidget* parent = nullptr);

private:
    QLabel* picIcon_;
    QLabel* lblTitle_;
    QLabel* lblVersion_;
    QLabel* lblDescription_;
    QLabel* lblDisclaimer_;
    QPushButton* cmdOK_;
};
