#include "eventlog.h"

#include <sys/stat.h>
#include <cstdio>

#include "clock.h"

namespace core {

int linePriority(const QString& text) {
    if (text.startsWith(QLatin1String("ERROR"))) return 3;
    if (text.startsWith(QLatin1String("WARNING"))) return 4;
    return 6;
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

QString standardOutputLine(const QString& text, bool journal) {
    if (journal) {
        // One journal entry per line: a line break inside the text would
        // start an entry without a priority.
        QString flat = text;
        flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return QStringLiteral("<%1>").arg(linePriority(text)) + flat + QLatin1Char('\n');
    }
    return platform::Clock::global().now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
           QStringLiteral("-->") + text + QLatin1Char('\n');
}

void logToStandardOutput(EventLog& log) {
    const bool journal = standardOutputIsJournal();
    const auto print = [journal](const QString& text) {
        std::fputs(standardOutputLine(text, journal).toUtf8().constData(), stdout);
        std::fflush(stdout);
    };
    QObject::connect(&log, &EventLog::eventLine, &log, print);
    QObject::connect(&log, &EventLog::clientLine, &log, print);
}

}  // namespace core
