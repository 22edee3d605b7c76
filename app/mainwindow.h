#pragma once
// Form1, the main window: a small click pad for sixteen units, the
// all-units strip, the dim slider, the event and client logs, status labels,
// the options popup menu and the notification-area icon. It is a front end
// on the program's core service (core::Service), which its host (app::Host)
// builds from the settings with the remote listener, the bridge and the page: the service owns the
// interface, the module states, the click pad's selection and the log; the window's handlers call
// it and paint what it reports, so a remote word moves the slider because the pad moved. controlcm1
// is the two-way control over the service's engine, MSComm1 the CP290's serial component.
//
// Sizes are designed in twips (15 to a pixel). The window's height is kept
// in twips as well: 990 contracted and 3960 expanded are the values the code
// compares, while the client area shown is 615 and 3580 twips high.

#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "loglevel.h"

class QLabel;
class QListWidget;
class QSlider;
class ClickLabel;
class MSComm;
class NotifyIcon;
class OptionsMenu;
class ServiceHost;
class clsNTPrivileges;
class controlcm;
class frmAbout;
class frmLogin;
class CommandPath;
class RemoteServer;
namespace app {
class Host;
}
namespace core {
class Service;
}
namespace mqtt {
class Bridge;
}  // namespace mqtt
namespace x10 {
struct Address;
}  // namespace x10
namespace state {
class StateTable;
using Address = x10::Address;
}  // namespace state

class Form1 : public QWidget {
    Q_OBJECT
  public:
    static inline const QString kDesignCaption = QStringLiteral("Veldrin Pro");

    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    // --- start-up and exit -------------------------------------------------
    // Reads the settings, places and shows the window, contacts the interface.
    void Form_Load();
    // Saves house code, port and position and ends the process. Returns only
    // where the exit hook returns (tests); callers do nothing afterwards.
    void Form_Unload(int& Cancel);
    void mnuExit_Click();

    // --- public members ----------------------------------------------------
    bool connected = false;
    int16_t iCClients = 0;
    int32_t lLocalPort = 0;
    QString app_tit;

    // --- event log, client log, status labels ------------------------------
    void Log_Event(const QString& sevent);
    void Log_ClientEvent(const QString& cevent, int16_t idx);
    void UpdateFormCap();
    void ConStatus(int16_t stat);
    void UpdateStatusLabel();
    void endall();
    void Label4_Click();  // toggles the logs
    void mnuClrAllLogs_Click();
    void mnuClrTopLog_Click();
    void mnuClrBotLog_Click();

    // --- settings menus ----------------------------------------------------
    void mnuServerPort_Click();
    void mnuCHC_Click();
    void mnuComCh_Click();
    void mnuIntPandrel_Click();
    void mnuIntCP290_Click();
    void MsgReStart();

    // --- notification area and window modes --------------------------------
    void ShowProgramInTray();
    void RemoveProgramFromTray();
    void NoSysIcon(bool maxIcon);
    void mnuCTRL_Click();
    // A mouse message on the notification-area icon (514, 515, 517).
    void TrayIcon_MouseMove(int message);
    void l_ClickPad_MouseUp(int Button, const QPoint& globalPos);
    void Form_MouseUp(int Button, const QPoint& globalPos);
    void Form_Resize();

    // --- about box, password dialog, service host --------------------------
    void mnuAbout_Click();
    void mnuPass_Click();
    void mnuISvc_Click();
    void mnuSSvc_Click();
    void mnuPSvc_Click();
    void mnuRSvc_Click();
    void mnuSvcLog_Click();

    // --- the schedule -------------------------------------------------------
    // Switches the schedule on or off as the entry is checked.
    void mnuSchedRun_Click(bool on);
    // Shows the schedule file's path and its next firings.
    void mnuSchedShow_Click();

    // --- device control -----------------------------------------------------
    void Label1_MouseDown(int Index, int Button, int Shift, float X, float Y);
    void Label1_MouseMove(int Index, int Button, int Shift, float X, float Y);
    void Label3_MouseDown(int Button, int Shift, float X, float Y);
    void Slider1_Change();

    // --- remote control listener -------------------------------------------
    // (Re)starts listening where the settings say. Returns whether it
    // listens; a failure is logged, shown in the connection label, and the
    // program keeps running.
    bool StartListening();
    RemoteServer* server() const;

    // --- the core -------------------------------------------------------------
    // The service this window is the face of; it lives as long as the window.
    // The module list and the state file are read in Form_Load, and the file
    // is written at Form_Unload.
    core::Service& service() const { return *service_; }
    state::StateTable* stateTable() const;
    CommandPath* commandPath() const;

    // The host that built the service and builds the front ends.
    app::Host& host() const { return *host_; }

    // --- home-automation bridge -----------------------------------------------
    // Started in Form_Load after the interface contact when [MQTT] names a
    // broker; nullptr otherwise. Its connection shows in the event log.
    mqtt::Bridge* mqttBridge() const;

    // --- geometry in twips --------------------------------------------------
    int Height() const { return heightTwips_; }
    void setHeight(int twips);
    int Top() const;
    int Left() const;
    void setTop(int twips);
    void setLeft(int twips);
    // Client-area height in twips shown for a logical height.
    static int clientHeightFor(int heightTwips);

    // --- controls ----------------------------------------------------------
    QSlider* Slider1;
    std::array<ClickLabel*, 16> Label1{};
    ClickLabel* Label4;
    ClickLabel* l_ClickPad;
    ClickLabel* Label3;
    ClickLabel* l_con_status;
    ClickLabel* l_last_event;
    QListWidget* lstEvents;
    QListWidget* lstClients;
    ClickLabel* l_status;
    QLabel* TrayIcon;
    controlcm* controlcm1;
    MSComm* MSComm1;
    OptionsMenu* menu;
    NotifyIcon* trayIcon;
    QPointer<frmAbout> aboutBox;
    QPointer<frmLogin> loginBox;

    bool bLogging = false;

  protected:
    void closeEvent(QCloseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void changeEvent(QEvent* e) override;

  private:
    // Asks for a port number: nullopt after Cancel or an answer whose leading
    // number lies outside 1..highest (then the error box shows errorText).
    std::optional<double> askPortNumber(const QString& prompt, const QString& title, double highest,
                                        const QString& errorText);
    void buildControls();
    void connectMenu();
    void connectService();
    // A line of the service's log in the event list (and the current-event
    // label) or in the client list, newest first.
    void showEventLine(const QString& text, platform::LogLevel level);
    void showClientLine(const QString& text, platform::LogLevel level);
    // Colours the status strip: green while the interface answers; its tip
    // names the interface's state in words ("Interface not answering").
    void setStatusStrip(bool found);
    // The pad's slider, without running the dim step again.
    void showSlider(int level, bool shown);
    void bringToFront();
    // The state of a base-house unit on its click-pad label.
    void showUnitState(const state::Address& a);
    QString unitToolTip(int index) const;

    // The service and the front ends (remote listener, bridge, page).
    std::unique_ptr<app::Host> host_;
    core::Service* service_ = nullptr;  // the host's
    std::unique_ptr<ServiceHost> serviceHost_;
    void clientCountChanged(int count);
    int heightTwips_ = 0;
    bool showingSlider_ = false;  // the slider follows the pad
};
