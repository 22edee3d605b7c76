#include "eventlog.h"

#include <sys/stat.h>
#include <cstdio>

#include "clock.h"

namespace core {

LogLevel EventLog::levelOfText(const QString& text) {
    if (text.startsWith(QLatin1String("ERROR"))) return LogLevel::Error;
    if (text.startsWith(QLatin1String("WARNING"))) return LogLevel::Warning;
    return LogLevel::Info;
}

bool standardOutputIsJournal() {
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    if (colon <= 0) return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong dev = stream.left(colon).toULongLong(&devOk);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&inoOk);
    struct stat st {};
    if (!devOk || !inoOk || ::fstat(1, &st) != 0) return false;
    return static_cast<qulonglong>(st.st_dev) == dev && static_cast<qulonglong>(st.st_ino) == ino;
}

QString standardOutputLine(const QString& text, LogLevel level, bool journal) {
    if (journal) {
        // One journal entry per line: a line break inside the text would
        // start an entry without a priority.
        QString flat = text;
        flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return QStringLiteral("<%1>").arg(static_cast<int>(level)) + flat + QLatin1Char('\n');
    }
    return platform::Clock::global().now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
           QStringLiteral("-->") + text + QLatin1Char('\n');
}

void logToStandardOutput(EventLog& log) {
    const bool journal = standardOutputIsJournal();
    const auto print = [journal](const QString& text, LogLevel level) {
        std::fputs(standardOutputLine(text, level, journal).toUtf8().constData(), stdout);
        std::fflush(stdout);
    };
    QObject::connect(&log, &EventLog::eventLine, &log, print);
    QObject::connect(&log, &EventLog::clientLine, &log, print);
}

}  // namespace core
