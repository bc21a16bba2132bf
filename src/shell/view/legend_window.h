#pragma once
// frmLegend: a small fixed window that explains the counters and the pictures of the client
// tree. The main window opens it modeless and keeps at most one.

#include <QDialog>

class QLabel;
class QPushButton;

class LegendWindow : public QDialog {
    Q_OBJECT

public:
    explicit LegendWindow(QWidget* parent = nullptr);

private:
    QLabel* image2_;
    QLabel* image1_;
    QPushButton* cmdOK_;
};
