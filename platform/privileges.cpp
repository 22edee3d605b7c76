#include "privileges.h"

#include <sys/capability.h>
#include <QProcess>
#include <QStandardPaths>

namespace platform {

namespace {

CommandRunner& runner() {
    static CommandRunner r;
    return r;
}

bool readFlag(int capability, cap_flag_t flag) {
    if (capability < 0 || !CAP_IS_SUPPORTED(capability)) return false;
    cap_t caps = cap_get_proc();
    if (!caps) return false;
    cap_flag_value_t v = CAP_CLEAR;
    const bool ok = cap_get_flag(caps, static_cast<cap_value_t>(capability), flag, &v) == 0;
    cap_free(caps);
    return ok && v == CAP_SET;
}

bool setEffective(int capability, bool on) {
    cap_t caps = cap_get_proc();
    if (!caps) return false;
    const cap_value_t list[1] = {static_cast<cap_value_t>(capability)};
    bool ok = cap_set_flag(caps, CAP_EFFECTIVE, 1, list, on ? CAP_SET : CAP_CLEAR) == 0;
    ok = ok && cap_set_proc(caps) == 0;
    cap_free(caps);
    return ok;
}

}  // namespace

int capabilityForPrivilege(const QString& name) {
    if (name == QLatin1String("SeShutdownPrivilege") ||
        name == QLatin1String("SeRemoteShutdownPrivilege"))
        return CAP_SYS_BOOT;
    return -1;
}

bool capabilityPermitted(int capability) {
    return readFlag(capability, CAP_PERMITTED);
}

bool capabilityEffective(int capability) {
    return readFlag(capability, CAP_EFFECTIVE);
}

bool raiseCapability(int capability, CapabilityState* previous) {
    if (capability < 0 || !CAP_IS_SUPPORTED(capability)) return false;
    if (previous) *previous = CapabilityState{capability, capabilityEffective(capability)};
    if (!capabilityPermitted(capability)) return false;
    return setEffective(capability, true);
}

void restoreCapability(const CapabilityState& state) {
    if (state.capability < 0) return;
    if (capabilityEffective(state.capability) == state.effective) return;
    setEffective(state.capability, state.effective);
}

void setCommandRunner(CommandRunner r) {
    runner() = std::move(r);
}

bool runCommand(const QString& program, const QStringList& args) {
    if (runner()) return runner()(program, args);
    return QProcess::startDetached(program, args);
}

namespace {
// The shutdown command: by name when PATH finds it, otherwise from the
// system folders a PATH of a service or a reduced session may lack. Empty
// when there is none.
QString shutdownProgram() {
    const QString name = QStringLiteral("shutdown");
    if (!QStandardPaths::findExecutable(name).isEmpty()) return name;
    return QStandardPaths::findExecutable(name,
                                          {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")});
}
}  // namespace

bool shutdownComputer(const QString& message, long long timeoutSeconds, bool reboot) {
    const QString program = shutdownProgram();
    if (program.isEmpty()) return false;
    const long long minutes = timeoutSeconds > 0 ? (timeoutSeconds + 59) / 60 : 0;
    return runCommand(program, {reboot ? QStringLiteral("-r") : QStringLiteral("-P"),
                                QStringLiteral("+%1").arg(minutes), message});
}

bool abortShutdown() {
    const QString program = shutdownProgram();
    return !program.isEmpty() && runCommand(program, {QStringLiteral("-c")});
}

}  // namespace platform
