#include "optionsmenu.h"

#include <QMenu>

OptionsMenu::OptionsMenu(QWidget* owner) : QObject(owner) {
    mnuOp = new QMenu(owner);
    mnuOp->setObjectName(QStringLiteral("mnuOp"));
    auto add = [](QMenu* m, const char* name, const QString& caption) {
        QAction* a = m->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto sep = [](QMenu* m, const char* name) {
        QAction* a = m->addSeparator();
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto sub = [](QMenu* m, const char* name, const QString& caption) {
        QMenu* s = m->addMenu(caption);
        s->setObjectName(QString::fromLatin1(name));
        s->menuAction()->setObjectName(QString::fromLatin1(name));
        return s;
    };

    mnuCTRL = add(mnuOp, "mnuCTRL", QStringLiteral("Minimize Veldrin to System Tray"));
    mnuServerPort = add(mnuOp, "mnuServerPort", QStringLiteral("Change Server &Listening Port"));
    mnuComCh = add(mnuOp, "mnuComCh", QStringLiteral("Change the &Com Port"));
    mnuCHC = add(mnuOp, "mnuCHC", QStringLiteral("Change the Base &Housecode"));
    mnuPass = add(mnuOp, "mnuPass", QStringLiteral("Change Server Connection  &Password"));
    mnuInterface =
        sub(mnuOp, "mnuInterface", QStringLiteral("Change Connected Computer &Interface"));
    mnuIntPandrel = add(mnuInterface, "mnuIntPandrel", QStringLiteral("Pandrel"));
    mnuIntCP290 = add(mnuInterface, "mnuIntCP290", QStringLiteral("CP290"));
    mnuIntPandrel->setCheckable(true);
    mnuIntCP290->setCheckable(true);
    mnuSchedRun = add(mnuOp, "mnuSchedRun", QStringLiteral("Run the Schedule"));
    mnuSchedRun->setCheckable(true);
    mnuSchedShow = add(mnuOp, "mnuSchedShow", QStringLiteral("Show the Schedule..."));
    sep2 = sep(mnuOp, "sep2");
    mnuSvc = sub(mnuOp, "mnuSvc", QStringLiteral("Service Options"));
    mnuISvc = add(mnuSvc, "mnuISvc", QStringLiteral("Install as Service"));
    mnuSSvc = add(mnuSvc, "mnuSSvc", QStringLiteral("Start Service"));
    mnuPSvc = add(mnuSvc, "mnuPSvc", QStringLiteral("Stop Service"));
    mnuRSvc = add(mnuSvc, "mnuRSvc", QStringLiteral("Remove Service"));
    sep5 = sep(mnuSvc, "sep5");
    mnuSvcLog = add(mnuSvc, "mnuSvcLog", QStringLiteral("Service Log"));
    sep4 = sep(mnuOp, "sep4");
    mnuLogging = sub(mnuOp, "mnuLogging", QStringLiteral("&Logging"));
    mnuClrAllLogs = add(mnuLogging, "mnuClrAllLogs", QStringLiteral("Clear &All Logs"));
    mnuClrTopLog = add(mnuLogging, "mnuClrTopLog", QStringLiteral("Clear Event (&Top) Log"));
    mnuClrBotLog = add(mnuLogging, "mnuClrBotLog", QStringLiteral("Clear Client (&Bottom) Log"));
    sep3 = sep(mnuOp, "sep3");
    mnuAbout = add(mnuOp, "mnuAbout", QStringLiteral("&About"));
    sep1 = sep(mnuOp, "sep1");
    mnuExit = add(mnuOp, "mnuExit", QStringLiteral("&Exit"));

    mnuOp->setDefaultAction(mnuCTRL);
}

OptionsMenu::~OptionsMenu() = default;

void OptionsMenu::popup(const QPoint& globalPos) {
    mnuOp->setDefaultAction(mnuCTRL);
    mnuOp->popup(globalPos);
}
