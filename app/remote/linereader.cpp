#include "linereader.h"

bool LineReader::feed(const QByteArray& bytes) {
    if (failed_) return false;
    qsizetype start = 0;
    for (;;) {
        const qsizetype nl = bytes.indexOf('\n', start);
        if (nl < 0) break;
        partial_.append(bytes.constData() + start, nl - start);
        if (partial_.endsWith('\r')) partial_.chop(1);
        if (partial_.size() > maxLine_) {
            failed_ = true;
            partial_.clear();
            return false;
        }
        lines_.append(partial_);
        partial_.clear();
        start = nl + 1;
    }
    partial_.append(bytes.constData() + start, bytes.size() - start);
    // An unfinished line may still lose a trailing CR, hence the one spare byte.
    if (partial_.size() > maxLine_ + 1) {
        failed_ = true;
        partial_.clear();
        return false;
    }
    return true;
}

QList<QByteArray> LineReader::takeLines() {
    QList<QByteArray> out;
    out.swap(lines_);
    return out;
}
