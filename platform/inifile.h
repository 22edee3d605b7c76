#pragma once
// The settings file held in memory: read without ever failing, changed one
// key at a time, written back with everything else it held.
//
// Lines are split and names and values decoded the way QSettings' INI reader
// does it, and values are written the way QSettings writes a text, so that
// files stay readable by QSettings and by earlier versions of the program.
// Unlike QSettings, one malformed line does not make the whole file unread:
// it is skipped (and dropped when the file is written back), and every
// well-formed key still reads as written. A value that QSettings would
// deserialise ("@Variant(...)", "@DateTime(...)") is never decoded: the
// program only stores texts, so such a line was not written by it and is
// skipped the same way. Section and key names compare without regard to case.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>
#include <vector>

namespace platform {

class IniFile {
  public:
    explicit IniFile(const QByteArray& data = {});

    // The value of a key; nullopt when absent.
    std::optional<QString> value(const QString& section, const QString& key) const;

    // Every key of a section with its value, keys spelled as stored, in file
    // order; a key stored twice is listed once with its last value.
    QList<QPair<QString, QString>> section(const QString& section) const;

    // Sets one key: its first line is replaced in place (further lines of the
    // same key go), or the key is added at the end of its section; the
    // section is added at the end of the file when missing.
    void setValue(const QString& section, const QString& key, const QString& value);

    // The file's text: every section and key that was read, each section once.
    QByteArray toBytes() const;

    // Number (from 1) of the first line that could not be read; 0 when none.
    int firstUnreadableLine() const { return firstUnreadable_; }

  private:
    struct Key {
        QString name;
        std::optional<QString> value;  // nullopt: stored as an invalid value
        QByteArray line;               // as written in the file
    };
    struct Section {
        QString name;  // "" for the keys outside any section ([General])
        QByteArray header;
        std::vector<Key> keys;
    };
    Section* find(const QString& name);
    const Section* find(const QString& name) const;

    std::vector<Section> sections_;
    int firstUnreadable_ = 0;
};

}  // namespace platform
