#pragma once
// The options popup menu mnuOp, the program's only menu. It is never a menu
// bar; it opens at a screen position with mnuCTRL as its default (bold)
// entry.

#include <QObject>
#include <QPoint>

class QAction;
class QMenu;
class QWidget;

class OptionsMenu : public QObject {
    Q_OBJECT
  public:
    explicit OptionsMenu(QWidget* owner);
    ~OptionsMenu() override;

    // Opens the menu at a screen position without blocking.
    void popup(const QPoint& globalPos);

    QMenu* mnuOp;
    QAction* mnuCTRL;
    QAction* mnuServerPort;
    QAction* mnuComCh;
    QAction* mnuCHC;
    QAction* mnuPass;
    QMenu* mnuInterface;
    QAction* mnuIntPandrel;
    QAction* mnuIntCP290;
    QAction* mnuSchedRun;   // checked while the schedule is on
    QAction* mnuSchedShow;  // its file and next firings
    QAction* sep2;
    QMenu* mnuSvc;
    QAction* mnuISvc;
    QAction* mnuSSvc;
    QAction* mnuPSvc;
    QAction* mnuRSvc;
    QAction* sep5;
    QAction* mnuSvcLog;
    QAction* sep4;
    QMenu* mnuLogging;
    QAction* mnuClrAllLogs;
    QAction* mnuClrTopLog;
    QAction* mnuClrBotLog;
    QAction* sep3;
    QAction* mnuAbout;
    QAction* sep1;
    QAction* mnuExit;
};
