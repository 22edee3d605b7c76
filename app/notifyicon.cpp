#include "notifyicon.h"

#include <QSystemTrayIcon>

namespace {
std::optional<bool>& availableOverride() {
    static std::optional<bool> v;
    return v;
}
}  // namespace

NotifyIcon::NotifyIcon(const QIcon& icon, const QString& tip, QObject* parent)
    : QObject(parent), tray_(new QSystemTrayIcon(icon, this)) {
    tray_->setToolTip(tip);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        const int m = messageFor(r);
        if (m) emit mouseMessage(m);
    });
}

NotifyIcon::~NotifyIcon() {
    tray_->hide();
}

void NotifyIcon::add() {
    tray_->show();
}
void NotifyIcon::remove() {
    tray_->hide();
}
bool NotifyIcon::isShown() const {
    return tray_->isVisible();
}
QString NotifyIcon::tip() const {
    return tray_->toolTip();
}

bool NotifyIcon::available() {
    if (availableOverride()) return *availableOverride();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void NotifyIcon::setAvailableForTesting(std::optional<bool> available) {
    availableOverride() = available;
}

int NotifyIcon::messageFor(int reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            return WM_LBUTTONUP;
        case QSystemTrayIcon::DoubleClick:
            return WM_LBUTTONDBLCLK;
        case QSystemTrayIcon::Context:
            return WM_RBUTTONUP;
        default:
            return 0;
    }
}
