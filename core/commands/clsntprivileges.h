#pragma once
// clsNTPrivileges: enables a named privilege for this process and restores
// its former state, and starts or aborts the shutdown of the computer.
// Privilege names stand for capabilities; a privilege is enabled when the
// process is permitted to hold it.

#include <QString>
#include <cstdint>

#include "privileges.h"

class clsNTPrivileges {
  public:
    static inline const QString SE_SHUTDOWN_NAME = QStringLiteral("SeShutdownPrivilege");
    static inline const QString SE_REMOTE_SHUTDOWN_NAME =
        QStringLiteral("SeRemoteShutdownPrivilege");

    // Cancels a pending shutdown of this computer (empty name). A named
    // remote computer is not supported and nothing happens. True when the
    // abort command ran and succeeded; lastError() says why not.
    bool AbortShutDown(const QString& cComputerName);
    // Writes the state saved by the last SetPrivilege back.
    void ResetPrivilege();
    // True when the privilege is now enabled. Unknown names give false and
    // leave the saved state alone.
    bool SetPrivilege(const QString& cPrivilegeName);
    // Starts the shutdown of this computer (empty name) after lTimeout
    // seconds, showing cMessage. A named remote computer does nothing. True
    // when the shutdown command ran and ended with success (the call waits a
    // few seconds at most for it, running the event loop); false when it could
    // not be found or started, failed, or did not end in time (or for a named
    // computer), with the reason in lastError(), so the caller can report it.
    bool ShutDown(const QString& cComputerName, const QString& cMessage, int32_t lTimeout,
                  bool bForceAppsClosed, bool bRebootAfterShutdown);

    // The state SetPrivilege saved (for inspection).
    const platform::CapabilityState& previousState() const { return previous_; }
    // Why the last ShutDown or AbortShutDown failed ("shutdown ended with
    // status 1: Access denied"); empty when it succeeded or no reason is known.
    const QString& lastError() const { return lastError_; }

  private:
    platform::CapabilityState previous_;
    QString lastError_;
};
