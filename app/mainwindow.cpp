// Form1: construction, layout and the window's own events.
#include "mainwindow.h"

#include <QCloseEvent>
#include <QCursor>
#include <QListWidget>
#include <QMouseEvent>
#include <QSlider>

#include "appstate.h"
#include "clicklabel.h"
#include "commandpath.h"
#include "controlcm.h"
#include "dialogs.h"
#include "eventlog.h"
#include "frmabout.h"
#include "frmlogin.h"
#include "host.h"
#include "interface.h"
#include "mscomm.h"
#include "notifyicon.h"
#include "numtext.h"
#include "optionsmenu.h"
#include "pad.h"
#include "programicon.h"
#include "remoteserver.h"
#include "schedulerunner.h"
#include "service.h"
#include "servicehost.h"
#include "serviceremote.h"
#include "state/statetable.h"
#include "twips.h"

namespace {

// Client width of the window: 5190 twips.
constexpr int kClientWidth = 5190;
// Logical heights and the client heights shown for them.
constexpr int kContracted = 990;
constexpr int kExpanded = 3960;
constexpr int kContractedClient = 615;
constexpr int kExpandedClient = 3580;

// Left edges and widths of the sixteen unit labels.
constexpr std::array<std::pair<int, int>, 16> kUnitLabels{{
    {1335, 135},
    {1455, 135},
    {1590, 135},
    {1725, 135},
    {1845, 135},
    {1980, 135},
    {2115, 135},
    {2235, 135},
    {2370, 135},
    {2505, 255},
    {2745, 255},
    {3000, 255},
    {3255, 255},
    {3495, 255},
    {3750, 255},
    {4005, 255},
}};

void frame(QLabel* l) {
    l->setFrameStyle(QFrame::Box | QFrame::Plain);
    l->setLineWidth(1);
    l->setAlignment(Qt::AlignCenter);
}

}  // namespace

Form1::Form1(QWidget* parent) : QWidget(parent) {
    appState() = AppState{};
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kDesignCaption);
    setWindowIcon(programIcon());
    // Fixed single border: a minimise box, no maximise box, no resizing.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, ui::color(ui::kSilver));
    setPalette(p);
    setFont(ui::designFont());

    // The core this window is the face of, from the settings as they stand
    // now; the window's own settings are read in Form_Load.
    host_ = std::make_unique<app::Host>();
    service_ = &host_->service();
    buildControls();
    MSComm1 = &service_->interface().cp290Port();
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    // The CP290 driver's messages in the design's box.
    service_->interface().setNotify([](const QString& text) {
        platform::Dialogs::current().message(text, QString(), platform::MsgIcon::None);
    });
    connectService();

    menu = new OptionsMenu(this);
    connectMenu();

    trayIcon = new NotifyIcon(programIcon(), QStringLiteral("Veldrin"), this);
    connect(trayIcon, &NotifyIcon::mouseMessage, this, &Form1::TrayIcon_MouseMove);

    serviceHost_ = std::make_unique<ServiceHost>([this] { return app_tit; },
                                                 [this] {
                                                     int cancel = 0;
                                                     Form_Unload(cancel);
                                                 });

    setHeight(kExpanded);
}

Form1::~Form1() {
    // The listener's last count change must not reach a window being torn
    // down.
    host_->remote().server().disconnect(this);
    if (aboutBox) delete aboutBox.data();
    if (loginBox) delete loginBox.data();
    // The control is a face over the service's engine: it goes first.
    delete controlcm1;
    controlcm1 = nullptr;
    // The service's log must not reach the lists being torn down.
    service_->disconnect(this);
    service_->log().disconnect(this);
    // The front ends, then the service they refer to.
    host_.reset();
}

void Form1::connectService() {
    core::Service& s = *service_;
    // One log: the service's lines and the window's own go into the lists.
    connect(&s.log(), &core::EventLog::eventLine, this, &Form1::showEventLine);
    connect(&s.log(), &core::EventLog::clientLine, this, &Form1::showClientLine);
    // The window follows the service: the strip, the labels, the slider and
    // the caption show what it did, whoever asked.
    connect(&s.interface(), &core::Interface::readyChanged, this, &Form1::setStatusStrip);
    connect(&s.interface(), &core::Interface::linkChanged, this,
            [this, &s] { setStatusStrip(s.interface().ready()); });
    connect(&s.states(), &state::StateTable::changed, this, &Form1::showUnitState);
    connect(&s.commands(), &CommandPath::commandFailed, this,
            [this](int house, const std::vector<int>& units, int, const QString&) {
                // A command given up: its labels show the tracked state again.
                for (int u : units) showUnitState(state::Address{house, u});
            });
    connect(&s.pad(), &core::Pad::unitSwitched, this, [this](int unit, bool on) {
        Label1[size_t(unit - 1)]->setForeColor(on ? ui::kGreen : ui::kBlack);
    });
    connect(&s.pad(), &core::Pad::sliderChanged, this, &Form1::showSlider);
    connect(&s, &core::Service::houseCodeChanged, this, [this] { UpdateFormCap(); });
    connect(server(), &RemoteServer::clientCountChanged, this, &Form1::clientCountChanged);
    connect(&s, &core::Service::exitRequested, this, [this] {
        int cancel = 0;
        Form_Unload(cancel);  // ends the program; nothing runs after it
    });
}

void Form1::showSlider(int level, bool shown) {
    showingSlider_ = true;
    Slider1->setVisible(shown);
    Slider1->setValue(level);
    Slider1->setToolTip(platform::blankNumber(level * 10) + QStringLiteral(" Bright"));
    showingSlider_ = false;
}

void Form1::buildControls() {
    Slider1 = new QSlider(Qt::Horizontal, this);
    Slider1->setObjectName(QStringLiteral("Slider1"));
    Slider1->setGeometry(ui::rect(0, 0, 1335, 255));
    Slider1->setRange(0, 10);
    Slider1->setTracking(true);
    Slider1->setToolTip(QStringLiteral("Dim Control"));
    Slider1->hide();
    connect(Slider1, &QSlider::valueChanged, this, [this] {
        if (!showingSlider_) Slider1_Change();
    });

    for (int i = 0; i < 16; ++i) {
        auto* l = new ClickLabel(this);
        l->setObjectName(QStringLiteral("Label1_%1").arg(i));
        l->setGeometry(ui::rect(kUnitLabels[i].first, 0, kUnitLabels[i].second, 255));
        l->setText(QString::number(i + 1));
        l->setAlignment(Qt::AlignCenter);
        l->setFont(ui::designFont(true));
        l->setBackColor(ui::kSilver);
        connect(l, &ClickLabel::mouseDown, this, [this, i](int button, QPoint pos) {
            Label1_MouseDown(i, button, 0, float(ui::twipsOf(pos.x())),
                             float(ui::twipsOf(pos.y())));
        });
        connect(l, &ClickLabel::mouseMove, this, [this, i](int button, QPoint pos) {
            Label1_MouseMove(i, button, 0, float(ui::twipsOf(pos.x())),
                             float(ui::twipsOf(pos.y())));
        });
        Label1[i] = l;
    }

    Label4 = new ClickLabel(this);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setGeometry(ui::rect(4440, 0, 475, 255));
    Label4->setText(QStringLiteral("Log"));
    frame(Label4);
    Label4->setFont(ui::designFont(true));
    Label4->setBackColor(0x00E0E0E0);
    Label4->setForeColor(ui::kLogGreen);
    Label4->setToolTip(QStringLiteral("Expand / Contract Logging Window"));
    connect(Label4, &ClickLabel::clicked, this, &Form1::Label4_Click);

    l_ClickPad = new ClickLabel(this);
    l_ClickPad->setObjectName(QStringLiteral("l_ClickPad"));
    l_ClickPad->setGeometry(ui::rect(4950, 0, 225, 255));
    frame(l_ClickPad);
    l_ClickPad->setBackColor(0x00C0E0FF);
    l_ClickPad->setForeColor(ui::kWindowText);
    l_ClickPad->setToolTip(QStringLiteral("Click Pad:  Right-Click for Options Menu"));
    connect(l_ClickPad, &ClickLabel::mouseUp, this, [this](int button, QPoint pos) {
        l_ClickPad_MouseUp(button, l_ClickPad->mapToGlobal(pos));
    });

    Label3 = new ClickLabel(this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(ui::rect(0, 270, 5175, 90));
    Label3->setBackColor(ui::kSilver);
    Label3->setToolTip(QStringLiteral(
        "Click Left Mouse Button for Base HouseCode All Lights On, Right for All Units Off"));
    connect(Label3, &ClickLabel::mouseDown, this, [this](int button, QPoint pos) {
        Label3_MouseDown(button, 0, float(ui::twipsOf(pos.x())), float(ui::twipsOf(pos.y())));
    });

    l_con_status = new ClickLabel(this);
    l_con_status->setObjectName(QStringLiteral("l_con_status"));
    l_con_status->setGeometry(ui::rect(0, 375, 1815, 240));
    frame(l_con_status);
    l_con_status->setBackColor(ui::kToolTipBase);
    l_con_status->setForeColor(ui::kWindowText);
    l_con_status->setToolTip(QStringLiteral("Click here to Terminate all Connections"));
    connect(l_con_status, &ClickLabel::clicked, this, &Form1::endall);

    l_last_event = new ClickLabel(this);
    l_last_event->setObjectName(QStringLiteral("l_last_event"));
    l_last_event->setGeometry(ui::rect(1840, 380, 3335, 240));
    frame(l_last_event);
    l_last_event->setBackColor(0x00C0FFC0);
    l_last_event->setForeColor(ui::kWindowText);
    l_last_event->setToolTip(QStringLiteral("Current Event"));

    lstEvents = new QListWidget(this);
    lstEvents->setObjectName(QStringLiteral("lstEvents"));
    lstEvents->setGeometry(ui::rect(0, 615, 5175, 1230));
    lstClients = new QListWidget(this);
    lstClients->setObjectName(QStringLiteral("lstClients"));
    lstClients->setGeometry(ui::rect(0, 1845, 5175, 1230));

    l_status = new ClickLabel(this);
    l_status->setObjectName(QStringLiteral("l_status"));
    l_status->setGeometry(ui::rect(0, 3100, 5175, 480));
    frame(l_status);
    l_status->setFont(ui::designFont(true));
    l_status->setBackColor(0x00E0E0E0);
    l_status->setForeColor(ui::kWindowText);
    l_status->setToolTip(QStringLiteral("Click to Refresh Data"));
    connect(l_status, &ClickLabel::clicked, this, &Form1::UpdateStatusLabel);

    // The picture that stands for the notification-area icon; never visible.
    TrayIcon = new QLabel(this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setGeometry(ui::rect(4200, 3840, 495, 495));
    TrayIcon->setPixmap(programIcon().pixmap(16, 16));
    TrayIcon->hide();

    // The two-way interface control over the service's engine, placed below
    // the visible area.
    controlcm1 = new controlcm(service_->interface().engine(), this);
    controlcm1->setObjectName(QStringLiteral("controlcm1"));
    controlcm1->move(ui::px(1440), ui::px(3840));
}

void Form1::connectMenu() {
    auto on = [this](QAction* a, void (Form1::*handler)()) {
        connect(a, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    };
    on(menu->mnuCTRL, &Form1::mnuCTRL_Click);
    on(menu->mnuComCh, &Form1::mnuComCh_Click);
    on(menu->mnuCHC, &Form1::mnuCHC_Click);
    on(menu->mnuPass, &Form1::mnuPass_Click);
    on(menu->mnuIntPandrel, &Form1::mnuIntPandrel_Click);
    on(menu->mnuIntCP290, &Form1::mnuIntCP290_Click);
    on(menu->mnuISvc, &Form1::mnuISvc_Click);
    on(menu->mnuSSvc, &Form1::mnuSSvc_Click);
    on(menu->mnuPSvc, &Form1::mnuPSvc_Click);
    on(menu->mnuRSvc, &Form1::mnuRSvc_Click);
    on(menu->mnuSvcLog, &Form1::mnuSvcLog_Click);
    on(menu->mnuClrAllLogs, &Form1::mnuClrAllLogs_Click);
    on(menu->mnuClrTopLog, &Form1::mnuClrTopLog_Click);
    on(menu->mnuClrBotLog, &Form1::mnuClrBotLog_Click);
    on(menu->mnuAbout, &Form1::mnuAbout_Click);
    on(menu->mnuExit, &Form1::mnuExit_Click);
    on(menu->mnuServerPort, &Form1::mnuServerPort_Click);
    on(menu->mnuSchedShow, &Form1::mnuSchedShow_Click);
    connect(menu->mnuSchedRun, &QAction::triggered, this, &Form1::mnuSchedRun_Click);
    // A remote word or the MQTT switch may turn the schedule on or off too.
    connect(&service_->schedule(), &core::ScheduleRunner::enabledChanged, menu->mnuSchedRun,
            &QAction::setChecked);
}

int Form1::clientHeightFor(int heightTwips) {
    if (heightTwips == kContracted) return kContractedClient;
    if (heightTwips == kExpanded) return kExpandedClient;
    return std::max(0, heightTwips - (kContracted - kContractedClient));
}

void Form1::setHeight(int twips) {
    heightTwips_ = twips;
    setFixedSize(ui::px(kClientWidth), ui::px(clientHeightFor(twips)));
}

int Form1::Top() const {
    return ui::twipsOf(pos().y());
}
int Form1::Left() const {
    return ui::twipsOf(pos().x());
}
void Form1::setTop(int twips) {
    move(pos().x(), ui::px(twips));
}
void Form1::setLeft(int twips) {
    move(ui::px(twips), pos().y());
}

void Form1::bringToFront() {
    raise();
    activateWindow();
}

void Form1::closeEvent(QCloseEvent* e) {
    // The unload step ends the process itself; the window is not closed
    // through Qt.
    e->ignore();
    int cancel = 0;
    Form_Unload(cancel);
}

void Form1::mouseReleaseEvent(QMouseEvent* e) {
    // Only the window's free surface opens the menu; a release that a child
    // passed up (a list, the slider) does not.
    e->accept();
    if (childAt(e->position().toPoint())) return;
    Form_MouseUp(ClickLabel::buttonCode(e->button()), e->globalPosition().toPoint());
}

void Form1::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    // After the state change has settled: Qt shows a window after making it
    // minimised, which would undo a hide done right here.
    if (e->type() == QEvent::WindowStateChange)
        QMetaObject::invokeMethod(this, &Form1::Form_Resize, Qt::QueuedConnection);
}

CommandPath* Form1::commandPath() const {
    return &service_->commands();
}

state::StateTable* Form1::stateTable() const {
    return &service_->states();
}

QString Form1::unitToolTip(int index) const {
    QString tip = QStringLiteral("Click Left Mouse Button for ON, Right for OFF");
    const int h = service_->basePosition();
    if (h == 0) return tip;
    const state::ModuleState& s = service_->states().state(state::Address{h, index + 1});
    if (s.power == state::Power::On && s.level > 0 && s.level < 100)
        tip += QStringLiteral(" (Dimmed to %1%)").arg(s.level);
    return tip;
}

void Form1::showUnitState(const state::Address& a) {
    if (service_->basePosition() == 0 || service_->basePosition() != a.house) return;
    if (a.unit < 1 || a.unit > 16) return;
    ClickLabel* label = Label1[size_t(a.unit - 1)];
    const state::ModuleState& s = service_->states().state(a);
    if (s.power == state::Power::Unknown) return;
    label->setForeColor(s.power == state::Power::On ? ui::kGreen : ui::kBlack);
    label->setToolTip(unitToolTip(a.unit - 1));
}
