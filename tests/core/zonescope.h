#pragma once
// The local time zone of one test, set through TZ and put back after it.
#include <QByteArray>
#include <QtGlobal>
#include <ctime>

struct ZoneScope {
    explicit ZoneScope(const char* tz)
        : old_(qgetenv("TZ")), had_(qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", tz);
        ::tzset();
    }
    ~ZoneScope() {
        if (had_)
            qputenv("TZ", old_);
        else
            qunsetenv("TZ");
        ::tzset();
    }
    QByteArray old_;
    bool had_;
};
