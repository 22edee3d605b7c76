// Fuzz target: the settings file as anyone may have edited it, and values as
// the program writes them.
//  1. The input is the whole settings file. Every start-up key reads through
//     its rule without a crash, and the results stay in their ranges.
//     Reading leaves the file as it was. Once the program has saved one key
//     into it, every other key of its sections reads as before, and the file
//     holds nothing QSettings would deserialise: every value left in it reads
//     as a text, a list of texts or one of the small fixed types QSettings
//     parses from text.
//  2. The input, as text, is a value written under "HouseCode": it reads back
//     exactly as written (values are kept as they are, blanks included).
#include <stdlib.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>
#include <cstdint>
#include <cstdlib>

#include "mscomm.h"
#include "settingsfile.h"
#include "settingsstore.h"
#include "windowkeys.h"

// What QSettings makes of a value without deserialising it.
static bool isPlain(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::UnknownType:
        case QMetaType::QString:
        case QMetaType::QStringList:
        case QMetaType::QByteArray:
        case QMetaType::QRect:
        case QMetaType::QSize:
        case QMetaType::QPoint:
            return true;
        case QMetaType::QVariantList:
            for (const QVariant& e : v.toList()) {
                if (!isPlain(e)) return false;
            }
            return true;
        default:
            return false;
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On a memory file system where there is one: every value written is
    // synced to the disk, which would make each run cost milliseconds.
    static QTemporaryDir home(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                  ? QStringLiteral("/dev/shm/veldrin-fuzz-XXXXXX")
                                  : QDir::tempPath() + QStringLiteral("/veldrin-fuzz-XXXXXX"));
    ::setenv("XDG_CONFIG_HOME", qPrintable(home.path()), 1);
    QDir().mkpath(home.path() + "/veldrin");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString file = platform::settingsFilePath();
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        f.write(bytes);
    }
    using namespace settings;
    auto get = [](const QString& app, const QString& key, const QString& def) {
        return platform::GetSetting(app, kSection, key, def);
    };
    (void)get(kApp, kHouseCode, QStringLiteral("A"));
    (void)readBool(get(kAppCapitalised, kInterface, QStringLiteral("False")));
    (void)readPort(get(kApp, kComPort, QStringLiteral("1")));
    for (const QString& key : {kTop, kLeft}) {
        const int v = readPosition(get(kApp, key, QStringLiteral("0")));
        if (v < 0 || v > 15 * 1000000) std::abort();
    }
    (void)readBool(get(kApp, kService, QStringLiteral("0")));
    (void)MSComm::deviceForPort(1);
    (void)File::read().startup();
    (void)File::read().web();
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly) || f.readAll() != bytes) std::abort();
    }
    auto others = [](const QString& section) {
        auto keys = platform::GetSettingsSection(kApp, section);
        keys.removeIf(
            [](const auto& kv) { return kv.first.compare(kComPort, Qt::CaseInsensitive) == 0; });
        return keys;
    };
    const auto startup = others(kSection);
    const auto ports = others(QStringLiteral("Ports"));
    if (!platform::SaveSetting(kApp, kSection, kComPort, QStringLiteral("7"))) std::abort();
    if (get(kApp, kComPort, QString()) != QStringLiteral("7")) std::abort();
    if (others(kSection) != startup || others(QStringLiteral("Ports")) != ports) std::abort();
    {
        QSettings s(file, QSettings::IniFormat);
        for (const QString& key : s.allKeys()) {
            if (!isPlain(s.value(key))) std::abort();
        }
    }

    // Text the way the program holds it: UTF-8, invalid sequences replaced.
    const QString value = QString::fromUtf8(bytes);
    QFile::remove(file);
    if (!platform::SaveSetting(kApp, kSection, kHouseCode, value)) std::abort();
    if (platform::GetSetting(kApp, kSection, kHouseCode, QStringLiteral("<absent>")) != value)
        std::abort();
    return 0;
}
