#include "schedulesource.h"

#include <QDir>
#include <QFileInfo>
#include <memory>

#include "settingsfile.h"
#include "settingsstore.h"
#include "state/modules.h"

namespace core {

namespace {

const QString kScheduleSection = QStringLiteral("Schedule");
const QString kLocationSection = QStringLiteral("Location");

}  // namespace

QString scheduleFilePath() {
    const QString dir = QFileInfo(platform::settingsFilePath()).absolutePath();
    const QString named =
        settings::File::read().section(kScheduleSection).text(QStringLiteral("File"));
    if (named.isEmpty()) return QDir(dir).filePath(QStringLiteral("schedule"));
    return QDir(dir).absoluteFilePath(named);
}

std::optional<schedule::Location> scheduleLocation(QString* error) {
    const settings::Section location = settings::File::read().section(kLocationSection);
    const QString lat = location.text(QStringLiteral("Latitude"));
    const QString lon = location.text(QStringLiteral("Longitude"));
    if (lat.isEmpty() && lon.isEmpty()) return std::nullopt;
    bool okLat = false, okLon = false;
    const double la = lat.toDouble(&okLat), lo = lon.toDouble(&okLon);
    if (!okLat || !okLon || la < -90 || la > 90 || lo < -180 || lo > 180) {
        if (error)
            *error =
                QStringLiteral(
                    "[Location] Latitude and Longitude must be decimal degrees (north and east "
                    "positive), not '%1' and '%2'")
                    .arg(lat, lon);
        return std::nullopt;
    }
    return schedule::Location{la, lo};
}

platform::FileRead readScheduleFile(const QString& path) {
    platform::FileRead r = platform::readRegularFile(path, kMaxScheduleBytes);
    if (r.status == platform::FileRead::Failed && QFileInfo(path).isFile() &&
        QFileInfo(path).size() > kMaxScheduleBytes)
        r.error = QStringLiteral("larger than %1 MiB, the most a schedule file may hold")
                      .arg(kMaxScheduleBytes >> 20);
    return r;
}

LoadedSchedule parseSchedule(const QString& path, const platform::FileRead& file) {
    LoadedSchedule r;
    if (file.status != platform::FileRead::Ok) {
        r.errors << QStringLiteral("cannot read %1: %2")
                        .arg(path, file.status == platform::FileRead::Missing
                                       ? QStringLiteral("no such file")
                                       : file.error);
        return r;
    }
    QString locationError;
    r.location = scheduleLocation(&locationError);
    schedule::ParseOptions options;
    options.hasLocation = r.location.has_value();
    // Where the settings list the modules, a command to any other is most
    // likely a typing mistake, or a module taken out of the list: a warning.
    std::shared_ptr<state::ModuleList> modules;
    const settings::File settingsFile = settings::File::read();
    if (!settingsFile.section(QStringLiteral("Modules")).entries().isEmpty()) {
        modules = std::make_shared<state::ModuleList>(state::ModuleList::fromSettings(
            settingsFile, settingsFile.startup().houseCode, [](const QString&) {}));
        options.knownModule = [modules](const x10::Address& a) {
            return modules->find(a) != nullptr;
        };
    }
    auto parsed = schedule::parseText(QString::fromUtf8(file.data), options);
    r.errors = parsed.errors;
    r.warnings = parsed.warnings;
    r.sceneNames = parsed.sceneNames;
    if (!locationError.isEmpty() && !r.errors.isEmpty()) r.errors.prepend(locationError);
    r.schedule = std::move(parsed.schedule);
    return r;
}

LoadedSchedule loadSchedule(const QString& path) {
    return parseSchedule(path, readScheduleFile(path));
}

ScheduleCheck checkSchedule(const QString& path, const QDateTime& now) {
    ScheduleCheck c;
    const LoadedSchedule loaded = loadSchedule(path);
    QString warnings;
    for (const QString& w : loaded.warnings) warnings += QStringLiteral("warning: ") + w + u'\n';
    if (!loaded.ok()) {
        c.text = path + QStringLiteral(": refused\n") + warnings +
                 loaded.errors.join(QLatin1Char('\n')) + QLatin1Char('\n');
        c.exitCode = 1;
        return c;
    }
    struct Row {
        int line;
        QString text;
    };
    std::vector<Row> rows;
    const schedule::Planner planner(loaded.location);
    const auto stamp = [](const QDateTime& t) {
        return t.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    };
    for (const auto& e : loaded.schedule.timed) {
        QStringList times;
        QString why;
        QDateTime t = planner.next(e, now, &why);
        for (int i = 0; i < 3 && t.isValid(); ++i) {
            times << stamp(t);
            t = planner.next(e, t);
        }
        QString text = times.isEmpty() ? QStringLiteral("never") : times.join(QStringLiteral(", "));
        if (!why.isEmpty()) text += QStringLiteral(" (%1)").arg(why);
        rows.push_back({e.line, text + QStringLiteral("  ") + e.action});
    }
    for (const auto& [name, s] : loaded.schedule.scenes)
        rows.push_back(
            {s.line, QStringLiteral("scene %1 (%2 steps)").arg(name).arg(s.steps.size())});
    for (const auto& t : loaded.schedule.triggers)
        rows.push_back({t.line, QStringLiteral("when %1 heard: %2").arg(t.heardText(), t.action)});
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.line < b.line; });
    c.text = path + QStringLiteral(": accepted\n") + warnings;
    for (const Row& r : rows) c.text += QStringLiteral("line %1: %2\n").arg(r.line).arg(r.text);
    return c;
}

}  // namespace core
