#pragma once
// Privileges and shutdown. A privilege name maps to a Linux capability
// ("SeShutdownPrivilege" and "SeRemoteShutdownPrivilege" to CAP_SYS_BOOT);
// enabling raises it in the effective set when the permitted set holds it.
// Shutting down runs the shutdown command through a replaceable runner, so
// tests never shut anything down.

#include <QString>
#include <QStringList>
#include <functional>
#include <utility>

namespace platform {

// The capability number of a privilege name, or -1 for an unknown name.
int capabilityForPrivilege(const QString& name);

// State of one capability in the effective set, as it was before a change.
struct CapabilityState {
    int capability = -1;  // -1: nothing saved
    bool effective = false;
};

// Whether the permitted set of this process holds the capability.
bool capabilityPermitted(int capability);
// Whether the effective set holds it now.
bool capabilityEffective(int capability);

// Raises the capability in the effective set. False when it is not permitted
// or the change failed; *previous receives the former state either way when
// the capability could be read.
bool raiseCapability(int capability, CapabilityState* previous);

// Writes a saved state back; does nothing for an empty state.
void restoreCapability(const CapabilityState& state);

// What became of a command: ok when it ran and ended with status 0;
// otherwise error says why when that is known ("shutdown ended with status 1:
// Access denied"). A plain bool converts, for stand-ins that know no reason.
struct CommandResult {
    CommandResult(bool ok = false, QString error = {}) : ok(ok), error(std::move(error)) {}
    bool ok;
    QString error;
};

// How long runCommand waits for a command to end, in real seconds: a shutdown
// command only asks the system and returns.
inline constexpr int kCommandWaitSeconds = 5;

// Runs a command (program, arguments) and waits for its exit status, at most
// kCommandWaitSeconds real seconds, running the event loop meanwhile. A
// command still running then is killed and reported as failed. Replaceable
// for tests; an empty runner restores the real one.
using CommandRunner = std::function<CommandResult(const QString& program, const QStringList& args)>;
void setCommandRunner(CommandRunner runner);
CommandResult runCommand(const QString& program, const QStringList& args);

// shutdown -P +<minutes> "<message>" (-r instead of -P to restart); the time-out
// is rounded up to whole minutes. The command is looked for on PATH, then in
// /sbin and /usr/sbin. True when it ran and succeeded; false when there is
// none, it could not be started or it failed, with the reason in *error.
bool shutdownComputer(const QString& message, long long timeoutSeconds, bool reboot,
                      QString* error = nullptr);
// shutdown -c
bool abortShutdown(QString* error = nullptr);

}  // namespace platform
