#pragma once
// Where the program keeps its settings, and how stored texts are read.

#include <QString>
#include <cstdint>
#include <optional>

namespace settings {

// The settings application. The interface choice is written under the
// capitalised spelling; the store treats both as one.
inline const QString kApp = QStringLiteral("veldrin");
inline const QString kAppCapitalised = QStringLiteral("Veldrin");
inline const QString kSection = QStringLiteral("Startup");

inline const QString kHouseCode = QStringLiteral("HouseCode");
inline const QString kInterface = QStringLiteral("Interface");
inline const QString kComPort = QStringLiteral("ComPort");
inline const QString kListenAddress = QStringLiteral("ListenAddress");
inline const QString kListenPort = QStringLiteral("ListenPort");
inline const QString kTlsCertificate = QStringLiteral("TLSCertificate");  // PEM file
inline const QString kTlsKey = QStringLiteral("TLSKey");                  // PEM file

// Where the remote-control listener listens unless the settings say otherwise:
// only this computer, on a fixed port.
inline const QString kDefaultListenAddress = QStringLiteral("127.0.0.1");
constexpr int kDefaultListenPort = 7410;

// A stored boolean: "True" or "False" in any case, or a number (0 false,
// anything else true). Any other text reads as false.
bool readBool(const QString& text);

// A stored port number: its leading number rounded half to even, clamped to
// the 16-bit range (a value beyond it becomes a port that cannot be opened).
int16_t readPort(const QString& text);

// A stored port number: a text that starts with a digit, its leading number
// rounded half to even ("7411.0" is 7411), from 0 to 65535; nothing otherwise.
std::optional<int> readPortNumber(const QString& text);

// A stored listening port: 1 to 65535 as stored, "0" for a port the system
// picks (useful for tests), anything else the default port.
int readListenPort(const QString& text);

// Why a listener must not start in clear text now: it would listen on an
// address other than this computer's own while a line of the settings file
// could not be read, and that line may have held the TLS keys the
// administrator meant ("line 7 of the settings file could not be read and
// may have held the TLS keys; ..."). Empty when nothing stands against it. Call right after reading
// the listener's settings.
QString clearTextRefusal(bool tls, bool loopback, const QString& address);

}  // namespace settings
