#include "clsntprivileges.h"

void clsNTPrivileges::AbortShutDown(const QString& cComputerName) {
    if (!cComputerName.isEmpty()) return;
    SetPrivilege(SE_SHUTDOWN_NAME);
    platform::abortShutdown();
    ResetPrivilege();
}

void clsNTPrivileges::ResetPrivilege() {
    platform::restoreCapability(previous_);
}

bool clsNTPrivileges::SetPrivilege(const QString& cPrivilegeName) {
    const int cap = platform::capabilityForPrivilege(cPrivilegeName);
    if (cap < 0) return false;
    return platform::raiseCapability(cap, &previous_);
}

void clsNTPrivileges::ShutDown(const QString& cComputerName, const QString& cMessage,
                               int32_t lTimeout, bool bForceAppsClosed, bool bRebootAfterShutdown) {
    // The shutdown command closes applications itself; there is nothing to
    // force.
    Q_UNUSED(bForceAppsClosed);
    if (!cComputerName.isEmpty()) return;
    // The command is run even when the privilege could not be enabled: it
    // does its own permission check.
    SetPrivilege(SE_SHUTDOWN_NAME);
    platform::shutdownComputer(cMessage, lTimeout, bRebootAfterShutdown);
    ResetPrivilege();
}
