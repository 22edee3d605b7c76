#pragma once
// Minimal serial client for the emulator tests: opens a pty slave in raw mode
// and reads with poll() time-outs, independent of the program's serial code.

#include <sys/types.h>
#include <QByteArray>
#include <QString>
#include <ostream>

class RawClient {
  public:
    explicit RawClient(const QString& path);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool write(const QByteArray& bytes);
    // Reads until n bytes arrived or timeoutMs passed.
    QByteArray read(int n, int timeoutMs);
    // Everything that arrives within ms.
    QByteArray readFor(int ms);
    // One read attempt after waiting up to timeoutMs for the fd to become
    // readable; returns read()'s result and stores errno in *error.
    ssize_t readOnce(int timeoutMs, int* error);

  private:
    int m_fd = -1;
};

// "04 66" -> bytes.
QByteArray bytes(const char* hexText);
// Sixteen 0xFF followed by the given hex bytes.
QByteArray synced(const char* hexText);

// Readable QString values in test failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
