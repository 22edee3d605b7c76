#pragma once
// The program's icon in the desktop's notification area. Every mouse action
// on it is reported as the number of the mouse message it stands for:
// 514 left button released, 515 left double click, 517 right button
// released.

#include <QIcon>
#include <QObject>
#include <optional>

class QSystemTrayIcon;

class NotifyIcon : public QObject {
    Q_OBJECT
  public:
    static constexpr int WM_LBUTTONUP = 514;
    static constexpr int WM_LBUTTONDBLCLK = 515;
    static constexpr int WM_RBUTTONUP = 517;

    NotifyIcon(const QIcon& icon, const QString& tip, QObject* parent = nullptr);
    ~NotifyIcon() override;

    // Registers the icon (shows it); deleting an icon that is not shown does
    // nothing.
    void add();
    void remove();
    bool isShown() const;
    QString tip() const;

    // Whether the desktop has a notification area. Tests pretend either way.
    static bool available();
    static void setAvailableForTesting(std::optional<bool> available);

    // Message number of a Qt activation reason (0 for reasons without one).
    static int messageFor(int activationReason);

  signals:
    void mouseMessage(int message);

  private:
    QSystemTrayIcon* tray_;
};
