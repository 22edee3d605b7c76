// Form1: event log, client log, caption and status labels.
#include <QListWidget>

#include "appstate.h"
#include "clicklabel.h"
#include "clock.h"
#include "eventlog.h"
#include "mainwindow.h"
#include "remoteserver.h"
#include "service.h"
#include "serviceremote.h"
#include "twips.h"

namespace {

// Each log keeps its newest lines; the oldest leave first, so a program that
// runs for months with traffic does not grow without end.
constexpr int kMaxLogLines = 5000;

// Errors in red and warnings in orange; other lines in the list's own colour.
constexpr uint32_t kWarningOrange = 0x000080FF;

void addNewest(QListWidget* list, const QString& text, core::LogLevel level) {
    list->insertItem(0, platform::Clock::global().now().toString(QStringLiteral("hh:mm:ss")) +
                            QStringLiteral("-->") + text);
    if (level == core::LogLevel::Error)
        list->item(0)->setForeground(ui::color(ui::kRed));
    else if (level == core::LogLevel::Warning)
        list->item(0)->setForeground(ui::color(kWarningOrange));
    while (list->count() > kMaxLogLines) delete list->takeItem(list->count() - 1);
}
}  // namespace

void Form1::Log_Event(const QString& sevent) {
    service_->log().event(sevent);
}

void Form1::Log_ClientEvent(const QString& cevent, int16_t idx) {
    // The listener names the client in the text itself.
    Q_UNUSED(idx);
    service_->log().client(cevent);
}

void Form1::showEventLine(const QString& text, core::LogLevel level) {
    addNewest(lstEvents, text, level);
    l_last_event->setText(text);
}

void Form1::showClientLine(const QString& text, core::LogLevel level) {
    addNewest(lstClients, text, level);
}

void Form1::UpdateFormCap() {
    const qsizetype keep = kDesignCaption.size() + QStringLiteral(" (HouseCode: ").size();
    setWindowTitle(windowTitle().left(keep) + service_->houseCode() + QStringLiteral(") - ") +
                   QString::number(iCClients));
}

void Form1::ConStatus(int16_t stat) {
    if (stat != 0) {
        l_con_status->setText(QStringLiteral("Clients Connected: ") + QString::number(iCClients));
        l_con_status->setForeColor(ui::kLogGreen);
        l_con_status->setToolTip(
            QStringLiteral("Client(s) Are Connected: Click here to Terminate all Connections"));
    } else {
        l_con_status->setText(QStringLiteral("No Clients Connected"));
        l_con_status->setForeColor(ui::kRed);
        l_con_status->setToolTip(QStringLiteral("Listening for Connections"));
    }
}

void Form1::UpdateStatusLabel() {
    // The status label has nothing to show: no data source feeds it.
}

void Form1::endall() {
    server()->dropAll();
    iCClients = 0;
    connected = false;
    ConStatus(0);
    if (bLogging) Log_Event(QStringLiteral("All Connections were Forcefully Closed"));
    if (bLogging && server()->isListening())
        Log_Event(QStringLiteral("Listening for a connection..."));
    UpdateFormCap();
}

void Form1::Label4_Click() {
    const AppState& st = appState();
    setHeight(Height() == st.iHeightContracted ? st.iHeightExpanded : st.iHeightContracted);
}

void Form1::mnuClrAllLogs_Click() {
    lstEvents->clear();
    lstClients->clear();
}

void Form1::mnuClrTopLog_Click() {
    lstEvents->clear();
}

void Form1::mnuClrBotLog_Click() {
    lstClients->clear();
}
