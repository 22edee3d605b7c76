#pragma once
// The settings file read once into typed sections. Every key that the
// service, its front ends, veldrin-cmd and the serial layer take from the
// file is read here, by one rule, so a value means the same to all of them
// (ListenPort=7411.0 is port 7411 to the listener and to veldrin-cmd alike).
// The window's own keys (its position, the service switch) live with the
// window and read through Section.
//
// A missing key takes its default; a value is used without the blanks
// around it unless said otherwise.

#include <QList>
#include <QPair>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "settingskeys.h"

namespace platform {
class IniFile;
}

namespace settings {

// One section as stored; section and key names compare without regard to case.
class Section {
  public:
    Section(std::shared_ptr<const platform::IniFile> file, QString name)
        : file_(std::move(file)), name_(std::move(name)) {}

    // The value as stored; nothing when the key is missing.
    std::optional<QString> value(const QString& key) const;
    // The value without the blanks around it; missing: def.
    QString text(const QString& key, const QString& def = {}) const;
    // A port number by readPortNumber; nothing when missing or no port.
    std::optional<int> port(const QString& key) const;
    // Every key with its value, keys spelled as stored, in file order.
    QList<QPair<QString, QString>> entries() const;

  private:
    std::shared_ptr<const platform::IniFile> file_;
    QString name_;
};

// [Startup]: the interface and the remote-control listener.
struct Startup {
    QString houseCode = QStringLiteral("A");        // HouseCode, as stored (either case)
    bool cp290 = false;                             // Interface, by readBool
    int16_t comPort = 1;                            // ComPort, by readPort
    QString listenAddress = kDefaultListenAddress;  // ListenAddress
    int listenPort = kDefaultListenPort;            // ListenPort, by readListenPort
    QString tlsCertificate;                         // TLSCertificate (PEM file)
    QString tlsKey;                                 // TLSKey (PEM file)
};

// [Web]: the page's listener. Its address, when missing or empty, is that
// of kDefaultListenAddress; its TLS files, when missing or empty, those of
// [Startup].
struct Web {
    bool enabled = false;  // Enabled, by readBool
    QString listenAddress = kDefaultListenAddress;
    std::optional<int> port;  // Port; nothing: the page's own default
    QString tlsCertificate;
    QString tlsKey;
    // PublicURL: where the page is reached from elsewhere (a proxy, a name);
    // empty: the listener's own address.
    QString publicUrl;
};

class File {
  public:
    // The settings file in use, read once.
    static File read();
    // A file's text (tests).
    explicit File(const QByteArray& text);

    Section section(const QString& name) const { return Section(file_, name); }
    Startup startup() const;
    Web web() const;
    // The device of COM port n: [Ports] COMn as stored, else /dev/ttyS(n-1).
    QString portDevice(int port) const;
    // The number (from 1) of the first line that could not be read; 0: none.
    int unreadableLine() const;

  private:
    explicit File(std::shared_ptr<const platform::IniFile> file) : file_(std::move(file)) {}
    std::shared_ptr<const platform::IniFile> file_;
};

}  // namespace settings
