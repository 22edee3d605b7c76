#pragma once
// MSComm: the serial-port component that both interface drivers use. A port
// is addressed by number; [Ports] COM<n> in the settings file names its
// device, otherwise /dev/ttyS<n-1>. Raw 8-bit transfer, no flow control, no
// character translation. Errors are returned as numbers, never thrown:
//   8002 invalid port number (n < 1 or n > 255, or no such device)
//   8005 port already open (another holder of the device lock, or busy)
//   8010 any other failure to open or configure
//    380 invalid Settings text
// Received bytes are collected on the user-interface thread through a socket
// notifier; with RThreshold > 0 every arrival raises OnComm. A device that
// disappears while open (0-byte read, EIO) closes the port and raises OnComm
// once with CommEvent() == EvDeviceLost.

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

class MSComm : public QObject {
    Q_OBJECT
  public:
    enum Error {
        NoError = 0,
        InvalidPropertyValue = 380,
        InvalidPortNumber = 8002,
        PortAlreadyOpen = 8005,
        PortOpenFailed = 8010,
    };
    enum Event { EvNone = 0, EvReceive = 2, EvDeviceLost = 1001 };

    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    // Port number; takes effect at the next open. 8002 when outside 1..255.
    int setCommPort(int port);
    int CommPort() const { return port_; }

    // "baud,parity,data,stop", e.g. "4800,N,8,1". 380 on malformed text.
    // Applied at once when the port is open.
    int setSettings(const QString& text);
    QString Settings() const { return settings_; }

    // true opens, false closes. Returns 0 or an error number.
    int setPortOpen(bool open);
    bool PortOpen() const { return fd_ >= 0; }

    // Received bytes not yet read. Setting 0 discards them.
    int InBufferCount();
    void setInBufferCount(int count);

    // How many bytes Input returns; 0 = everything pending.
    void setInputLen(int len) { inputLen_ = len < 0 ? 0 : len; }
    int InputLen() const { return inputLen_; }

    // OnComm is raised when at least this many bytes are pending; 0 = never.
    void setRThreshold(int n) { rThreshold_ = n < 0 ? 0 : n; }
    int RThreshold() const { return rThreshold_; }

    // Pending bytes as an array, or as text of one character per byte (U+0000
    // to U+00FF).
    QByteArray Input();
    QString InputText();

    // Writes all bytes in order (nothing when the port is closed).
    void Output(const QByteArray& bytes);
    // Writes text of one character per byte (the low 8 bits of each).
    void OutputText(const QString& text);

    // Kind of the last notification.
    Event CommEvent() const { return lastEvent_; }

    // Description of the last error or device loss ("" when none).
    QString lastErrorText() const { return lastErrorText_; }

    // The device path for a port number.
    static QString deviceForPort(int port);
    QString devicePath() const { return devicePath_; }

    // Sleeps (without running the event loop) until at least count bytes are
    // pending or logicalMs of logical time pass. Returns the pending count.
    int waitForBytes(int count, qint64 logicalMs);

  signals:
    void OnComm();

  private:
    void readAvailable();  // moves bytes from the device into rx_
    void onReadable();
    void deviceLost(const QString& reason);
    void closePort();
    int fail(int code, const QString& text);
    int applySettings();

    int port_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    int inputLen_ = 0;
    int rThreshold_ = 0;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray rx_;
    Event lastEvent_ = EvNone;
    QString lastErrorText_;
    QString devicePath_;
};
