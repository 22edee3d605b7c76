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
// Unlike QSettings, a line break always ends a line (unless a backslash
// escapes it): a quote that is not closed on its line is a character of
// the value (TV 55" screen), and the lines after it read as they stand.
// Such a value is written back escaped, as QSettings writes a quote.
//
// The file belongs to whoever wrote it: comment lines (starting with ';' or
// '#'), comments after a value, blank lines and the text of every line that
// is not changed are written back as they stood, except that a '#' line that
// QSettings would read together with the lines after it becomes a ';' line.

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
    // One header or key line in file order, with the text before it since
    // the previous one (line breaks, blank lines, comments).
    struct Item {
        QByteArray gap;
        bool header = false;
        int section = 0;               // index into sections_
        QString name;                  // keys: the key's name
        std::optional<QString> value;  // nullopt: stored as an invalid value
        QByteArray line;               // as written in the file
    };
    // Sections by name; 0 holds the keys outside any section ([General]).
    struct Section {
        QString name;
        QByteArray header;  // as written where it first stands
    };
    int find(const QString& name) const;  // -1 when absent
    // Puts an item before items_[at] (at == size: at the end), on a line of
    // its own: the rest of the line before it (a comment) stays there.
    void insert(std::size_t at, Item item);
    QByteArray& gapAt(std::size_t at) { return at < items_.size() ? items_[at].gap : trailer_; }

    std::vector<Section> sections_;
    std::vector<Item> items_;
    QByteArray trailer_;  // after the last item
    int firstUnreadable_ = 0;
};

}  // namespace platform
