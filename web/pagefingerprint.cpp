#include "pagefingerprint.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

namespace web {

QByteArray pageFingerprint() {
    static const QByteArray fingerprint = [] {
        QStringList names;
        QDirIterator it(QStringLiteral(":/web"), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) names << it.next();
        names.sort();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        for (const QString& name : names) {
            if (name.endsWith(QLatin1String("/sw.js"))) continue;
            QFile f(name);
            if (!f.open(QIODevice::ReadOnly)) continue;
            const QByteArray data = f.readAll();
            hash.addData(name.toUtf8() + '\0' + QByteArray::number(data.size()) + '\0');
            hash.addData(data);
        }
        return hash.result().toHex().left(16);
    }();
    return fingerprint;
}

}  // namespace web
