#include "encoding.h"

#include <zlib.h>
#include <QCryptographicHash>
#include <QList>

namespace web {

QByteArray gzip(const QByteArray& data) {
    z_stream z{};
    // 15 bits of window, +16: the gzip header and trailer around the deflate data.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int result = deflate(&z, Z_FINISH);
    const auto written = qsizetype(z.total_out);
    deflateEnd(&z);
    if (result != Z_STREAM_END) return {};
    out.truncate(written);
    return out;
}

bool acceptsGzip(const QByteArray& acceptEncoding) {
    // The weight of gzip, or failing that of "*"; unnamed means refused.
    double gzipQ = -1;
    double anyQ = -1;
    for (const QByteArray& item : acceptEncoding.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        const QByteArray coding = parts.first().trimmed().toLower();
        double q = 1;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray p = parts[i].trimmed().toLower();
            if (p.startsWith("q=")) q = p.mid(2).toDouble();
        }
        if (coding == "gzip") gzipQ = q;
        if (coding == "*") anyQ = q;
    }
    return gzipQ >= 0 ? gzipQ > 0 : anyQ > 0;
}

bool isCompressible(const QByteArray& contentType) {
    const QByteArray type = contentType.split(';').first().trimmed().toLower();
    return type.startsWith("text/") || type == "application/json" ||
           type == "application/manifest+json" || type == "application/javascript" ||
           type == "image/svg+xml";
}

QByteArray entityTag(const QByteArray& body) {
    const QByteArray hash = QCryptographicHash::hash(body, QCryptographicHash::Sha256);
    return '"' +
           hash.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).left(22) +
           '"';
}

QByteArray gzipTag(const QByteArray& tag) {
    return tag.left(tag.size() - 1) + "-gz\"";
}

bool tagMatches(const QByteArray& ifNoneMatch, const QByteArray& tag) {
    for (QByteArray given : ifNoneMatch.split(',')) {
        given = given.trimmed();
        if (given == "*") return true;
        if (given.startsWith("W/")) given = given.mid(2);
        if (given == tag || given == gzipTag(tag)) return true;
    }
    return false;
}

}  // namespace web
