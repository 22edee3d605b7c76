#include "privileges.h"

#include <sys/capability.h>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "timebase.h"

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

namespace {
// The last line the command wrote, which is where a command says why it
// failed; shortened so that it fits a reply line.
QString lastLine(const QByteArray& output) {
    const QStringList lines =
        QString::fromLocal8Bit(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = it->simplified();
        if (!line.isEmpty()) return line.left(200);
    }
    return {};
}

CommandResult runAndWait(const QString& program, const QStringList& args) {
    const QString name = QFileInfo(program).fileName();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, args);
    // The command runs in real time whatever the time base's scale.
    const qint64 logicalMs =
        static_cast<qint64>(kCommandWaitSeconds * 1000 * TimeBase::global().scale());
    const bool ended =
        waitFor([&process] { return process.state() == QProcess::NotRunning; }, logicalMs);
    if (!ended) {
        process.kill();
        process.waitForFinished(1000);
        return {false, QStringLiteral("%1 did not finish within %2 seconds")
                           .arg(name)
                           .arg(kCommandWaitSeconds)};
    }
    if (process.error() == QProcess::FailedToStart)
        return {false,
                QStringLiteral("%1 could not be started: %2").arg(name, process.errorString())};
    const QString said = lastLine(process.readAll());
    if (process.exitStatus() == QProcess::CrashExit)
        return {false, QStringLiteral("%1 ended abnormally").arg(name)};
    if (process.exitCode() != 0)
        return {false, QStringLiteral("%1 ended with status %2").arg(name).arg(process.exitCode()) +
                           (said.isEmpty() ? QString() : QStringLiteral(": ") + said)};
    return {true, {}};
}
}  // namespace

CommandResult runCommand(const QString& program, const QStringList& args) {
    if (runner()) return runner()(program, args);
    return runAndWait(program, args);
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

bool report(const CommandResult& result, QString* error) {
    if (error) *error = result.error;
    return result.ok;
}

const QString kNoShutdownCommand = QStringLiteral("no shutdown command found");
}  // namespace

bool shutdownComputer(const QString& message, long long timeoutSeconds, bool reboot,
                      QString* error) {
    const QString program = shutdownProgram();
    if (program.isEmpty()) return report({false, kNoShutdownCommand}, error);
    const long long minutes = timeoutSeconds > 0 ? (timeoutSeconds + 59) / 60 : 0;
    return report(runCommand(program, {reboot ? QStringLiteral("-r") : QStringLiteral("-P"),
                                       QStringLiteral("+%1").arg(minutes), message}),
                  error);
}

bool abortShutdown(QString* error) {
    const QString program = shutdownProgram();
    if (program.isEmpty()) return report({false, kNoShutdownCommand}, error);
    return report(runCommand(program, {QStringLiteral("-c")}), error);
}

}  // namespace platform
