#include "clsntprivileges.h"

bool clsNTPrivileges::AbortShutDown(const QString& cComputerName) {
    lastError_.clear();
    if (!cComputerName.isEmpty()) return false;
    SetPrivilege(SE_SHUTDOWN_NAME);
    const bool started = platform::abortShutdown(&lastError_);
    ResetPrivilege();
    return started;
}

void clsNTPrivileges::ResetPrivilege() {
    platform::restoreCapability(previous_);
}

bool clsNTPrivileges::SetPrivilege(const QString& cPrivilegeName) {
    const int cap = platform::capabilityForPrivilege(cPrivilegeName);
    if (cap < 0) return false;
    return platform::raiseCapability(cap, &previous_);
}

bool clsNTPrivileges::ShutDown(const QString& cComputerName, const QString& cMessage,
                               int32_t lTimeout, bool bForceAppsClosed, bool bRebootAfterShutdown) {
    // The shutdown command closes applications itself; there is nothing to
    // force.
    Q_UNUSED(bForceAppsClosed);
    lastError_.clear();
    if (!cComputerName.isEmpty()) return false;
    // The command is run even when the privilege could not be enabled: it
    // does its own permission check.
    SetPrivilege(SE_SHUTDOWN_NAME);
    const bool started =
        platform::shutdownComputer(cMessage, lTimeout, bRebootAfterShutdown, &lastError_);
    ResetPrivilege();
    return started;
}
