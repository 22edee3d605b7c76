#pragma once
// Splits a byte stream into lines ended by LF or CR LF, with a bound on the
// length of a line so that a client cannot make the server buffer without end.

#include <QByteArray>
#include <QList>

class LineReader {
  public:
    explicit LineReader(int maxLine) : maxLine_(maxLine) {}

    // Appends received bytes. Returns false once a line (without its
    // terminator) is longer than the bound; the reader then stays failed.
    bool feed(const QByteArray& bytes);

    // Complete lines received so far, terminators removed.
    QList<QByteArray> takeLines();

    bool failed() const { return failed_; }

  private:
    int maxLine_;
    bool failed_ = false;
    QByteArray partial_;
    QList<QByteArray> lines_;
};
