// controlcm: the embeddable control, a face over one pandrel::Engine. It shows
// a label and passes every member, property and signal through unchanged.
#include "controlcm.h"

#include <QHBoxLayout>
#include <QLabel>

controlcm::controlcm(QWidget* parent) : controlcm(*new pandrel::Engine, parent) {
    engine_->setParent(this);
    ownsEngine_ = true;
}

controlcm::controlcm(pandrel::Engine& engine, QWidget* parent) : QWidget(parent), engine_(&engine) {
    // The visible face: a label captioned "Pandrel".
    auto* label1 = new QLabel(QStringLiteral("Pandrel"), this);
    label1->setObjectName(QStringLiteral("label1"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label1);

    // The engine's signals become the control's, arguments by reference, so
    // that a handler's write-backs reach the engine as before.
    connect(engine_, &pandrel::Engine::X10Event, this,
            [this](QString& devices, QString& housecode, int16_t& command, QString& extra,
                   QString& data2) { emit X10Event(devices, housecode, command, extra, data2); });
    connect(
        engine_, &pandrel::Engine::X10SingleEvent, this,
        [this](QString& devices, QString& housecode, int16_t& command, QString& extra,
               QString& data2) { emit X10SingleEvent(devices, housecode, command, extra, data2); });
    connect(engine_, &pandrel::Engine::PortLost, this, &controlcm::PortLost);
    connect(engine_, &pandrel::Engine::CommandDone, this, &controlcm::CommandDone);
}

controlcm::~controlcm() {
    // An engine of its own closes the port (ResetCM) before the widget goes;
    // one it was given stays with its owner.
    if (ownsEngine_) delete engine_;
    engine_ = nullptr;
}

int16_t controlcm::comport() const {
    return engine_->comport();
}
void controlcm::setComport(int16_t port) {
    engine_->setComport(port);
}
QString controlcm::EventName() const {
    return engine_->EventName();
}
void controlcm::setEventName(const QString& name) {
    engine_->setEventName(name);
}
int16_t controlcm::SendRetryCount() const {
    return engine_->SendRetryCount();
}
void controlcm::setSendRetryCount(int16_t count) {
    engine_->setSendRetryCount(count);
}

int16_t controlcm::Init() {
    return engine_->Init();
}
int16_t controlcm::Initx() {
    return engine_->Init();
}

int16_t controlcm::ExecWait(QString& housecode, QString& devicecode, int16_t& command,
                            int16_t& brightness, int16_t& data1, int16_t& data2) {
    return engine_->ExecWait(housecode, devicecode, command, brightness, data1, data2);
}
int16_t controlcm::ExecWait(const QString& housecode, const QString& devicecode, int command,
                            int brightness, int data1, int data2) {
    return engine_->ExecWait(housecode, devicecode, command, brightness, data1, data2);
}

void controlcm::Exec(QString& housecode, QString& devicecode, int16_t& command, int16_t& brightness,
                     int16_t& data1, int16_t& data2) {
    engine_->Exec(housecode, devicecode, command, brightness, data1, data2);
}
void controlcm::Exec(const QString& housecode, const QString& devicecode, int command,
                     int brightness, int data1, int data2) {
    engine_->Exec(housecode, devicecode, command, brightness, data1, data2);
}

void controlcm::ResetCM() {
    engine_->ResetCM();
}

QString controlcm::GetEvent(int32_t& timeout) {
    return engine_->GetEvent(timeout);
}
QString controlcm::GetEvent(const int32_t& timeout) {
    return engine_->GetEvent(timeout);
}

QVariant controlcm::ClearMem() {
    return engine_->ClearMem();
}
