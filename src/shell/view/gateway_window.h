#pragma once
// The operator's window: banner, provider login, current numbers and the client tree, laid
// out at fixed positions. A view over GatewayShell: it shows the model's state and hands the
// operator's actions to it.

#include "shell/gateway_shell.h"

#include <QMainWindow>
#include <QPointer>
#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextBrowser;
class QTreeWidget;
class AboutWindow;
class ClientTreeView;
class LegendWindow;

class GatewayWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr double kTwipsPerPixel = 15.0;

    explicit GatewayWindow(GatewayShell& model, QWidget* parent = nullptr);
    ~GatewayWindow() override;

    // Shows, hides or minimises the window as the model says.
    void applyVisibility();

    QTextBrowser* banner() const { return ek_; }
    QTreeWidget* clientTree() const { return tv_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    QWidget* buildClientArea();
    QLabel* addCaption(QWidget* frame, const char* name, const QString& text, int left, int top,
                       int width, int height);
    QLabel* addValue(QWidget* frame, const char* name, const QString& text, int left, int top,
                     int width, int height);
    void showButton();
    void showCounters();
    void showLegend();
    void showAbout();

    GatewayShell& model_;
    QTextBrowser* ek_ = nullptr;
    QLineEdit* provider_ = nullptr;
    QLineEdit* pwd_ = nullptr;
    QPushButton* providerBt_ = nullptr;
    QTreeWidget* tv_ = nullptr;
    QAction* mnAutoHide_ = nullptr;
    QAction* mnTransparent_ = nullptr;
    std::unique_ptr<ClientTreeView> treeView_;
    QPointer<LegendWindow> legend_;
    QPointer<AboutWindow> about_;
};
