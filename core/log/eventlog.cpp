#include "eventlog.h"

#include <cstdio>

#include "clock.h"

namespace core {

namespace {
void printLine(const QString& text) {
    const QString line =
        platform::Clock::global().now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
        QStringLiteral("-->") + text + QLatin1Char('\n');
    std::fputs(line.toUtf8().constData(), stdout);
    std::fflush(stdout);
}
}  // namespace

void logToStandardOutput(EventLog& log) {
    QObject::connect(&log, &EventLog::eventLine, &log, printLine);
    QObject::connect(&log, &EventLog::clientLine, &log, printLine);
}

}  // namespace core
