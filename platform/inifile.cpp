#include "inifile.h"

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace platform {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isSpecial(char c) {
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '#' || c == '=' || c == '\\';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int octDigit(char c) {
    return (c >= '0' && c <= '7') ? c - '0' : -1;
}

struct Line {
    qsizetype start = 0;
    qsizetype end = 0;
    qsizetype equals = -1;
    // The line ended inside quotes: its quotes are characters of its text.
    bool literalQuotes = false;
};

// How lines are told apart: as this program reads the file, or as QSettings
// (and earlier versions of the program) read it, which the text it writes
// must suit as well.
enum class Reader {
    // A line break ends every line that no backslash continues; a line with
    // a quote that is not closed on it keeps its quotes as text, so one
    // stray quote never takes the lines after it. '#' at the start of a
    // line makes it a comment.
    Own,
    // A line break inside quotes continues the line; '#' is a character.
    QSettings,
};

// The next logical line. It ends at a line break or a ';' outside quotes
// (what follows a ';' is a comment); a backslash keeps the character after
// it, so an escaped line break continues the line; a ';' (and for
// Reader::Own a '#') at the start makes the rest of its physical line a
// comment, whose start goes to hashComments when it is a '#'. Returns false
// at the end.
bool nextLine(QByteArrayView d, qsizetype& pos, Line& l, Reader reader = Reader::Own,
              std::vector<qsizetype>* hashComments = nullptr) {
    const qsizetype n = d.size();
    const bool own = reader == Reader::Own;
    const qsizetype from = pos;
    l.literalQuotes = false;
    for (;;) {
        bool inQuotes = false;
        l.equals = -1;
        l.start = from;
        while (l.start < n && isSpace(d[l.start])) ++l.start;
        qsizetype i = l.start;
        while (i < n) {
            const char ch = d[i++];
            if (!isSpecial(ch)) continue;
            if (ch == '=') {
                if (!inQuotes && l.equals == -1) l.equals = i - 1;
            } else if (ch == '\n' || ch == '\r') {
                if (i == l.start + 1) {
                    ++l.start;
                } else if (!inQuotes || own) {
                    --i;
                    break;
                }
            } else if (ch == '\\') {
                if (i < n) {
                    const char c = d[i++];
                    if (i < n && ((c == '\n' && d[i] == '\r') || (c == '\r' && d[i] == '\n'))) ++i;
                }
            } else if (ch == '"') {
                if (!l.literalQuotes) inQuotes = !inQuotes;
            } else if (ch == '#') {
                // Only a '#' that starts a line makes it a comment; elsewhere it
                // is a character of a name or a value.
                if (own && i == l.start + 1) {
                    if (hashComments && !l.literalQuotes) hashComments->push_back(i - 1);
                    while (i < n && d[i] != '\n' && d[i] != '\r') ++i;
                    while (i < n && isSpace(d[i])) ++i;
                    l.start = i;
                }
            } else {  // ';'
                if (i == l.start + 1) {
                    while (i < n && d[i] != '\n' && d[i] != '\r') ++i;
                    while (i < n && isSpace(d[i])) ++i;
                    l.start = i;
                } else if (!inQuotes) {
                    --i;
                    break;
                }
            }
        }
        if (own && inQuotes) {
            // Read again with the quotes as text: the ';' or '=' the quote
            // hid count again.
            l.literalQuotes = true;
            continue;
        }
        pos = i;
        l.end = i;
        return l.end > l.start;
    }
}

// The value text decoded: quotes, escapes (named, hexadecimal and octal, the
// number kept to 16 bits), UTF-8, and commas outside quotes splitting it into
// list elements. Blanks before an element and after a closing quote are
// skipped; blanks at the end of an unquoted element go, except those that an
// escape produced. With literalQuotes a quote is a character like any other.
QStringList decodedElements(QByteArrayView s, bool literalQuotes = false) {
    static const char named[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                    {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                    {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QStringList out;
    QString cur;
    // A U+FEFF inside a value is a character of the value, not a byte-order
    // mark: the decoder keeps it wherever it stands.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    bool inQuotes = false;
    bool quoted = false;
    bool chopAtEnd = true;
    const qsizetype n = s.size();
    qsizetype i = 0;
    qsizetype chopLimit = 0;
    auto skipBlanks = [&] {
        while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
        chopLimit = cur.size();
    };
    auto chop = [&] {
        if (quoted) return;
        qsizetype k = cur.size();
        while (k > chopLimit && (cur[k - 1] == u' ' || cur[k - 1] == u'\t')) --k;
        cur.truncate(k);
    };
    // An escaped number; at the end of the text nothing more is chopped.
    auto number = [&](char16_t value, int base, int (*digit)(char)) {
        for (int v; i < n && (v = digit(s[i])) != -1; ++i)
            value = static_cast<char16_t>(value * base + v);
        cur += QChar(value);
        if (i >= n) chopAtEnd = false;
        chopLimit = cur.size();
    };
    skipBlanks();
    while (i < n) {
        const char ch = s[i];
        if (ch == '\\') {
            if (++i >= n) {
                chopAtEnd = false;
                break;
            }
            const char e = s[i++];
            bool done = false;
            for (const auto& pair : named) {
                if (e == pair[0]) {
                    cur += QLatin1Char(pair[1]);
                    done = true;
                    break;
                }
            }
            if (done) {
                chopLimit = cur.size();
                continue;
            }
            if (e == 'x') {
                if (i >= n) {
                    chopAtEnd = false;
                    break;
                }
                if (hexDigit(s[i]) != -1) {
                    number(0, 16, hexDigit);
                    continue;
                }
            } else if (octDigit(e) != -1) {
                number(static_cast<char16_t>(octDigit(e)), 8, octDigit);
                continue;
            } else if (e == '\n' || e == '\r') {
                if (i < n && (s[i] == '\n' || s[i] == '\r') && s[i] != e) ++i;
            }
            // any other escaped character is dropped
            chopLimit = cur.size();
        } else if (ch == '"' && !literalQuotes) {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) skipBlanks();
        } else if (ch == ',' && !inQuotes) {
            chop();
            out.append(cur);
            cur.clear();
            quoted = false;
            ++i;
            skipBlanks();
        } else {
            qsizetype j = i + 1;
            while (j < n && s[j] != '\\' && s[j] != '"' && s[j] != ',') ++j;
            cur += utf8(s.sliced(i, j - i));
            i = j;
        }
    }
    if (chopAtEnd) chop();
    out.append(cur);
    return out;
}

bool isSerialised(const QString& element) {
    return element.startsWith(QLatin1String("@Variant(")) ||
           element.startsWith(QLatin1String("@DateTime("));
}

// One element as QSettings turns it into a text; nullopt for "@Invalid()".
std::optional<QString> elementText(const QString& e) {
    if (e.startsWith(QLatin1String("@@"))) return e.sliced(1);
    if (!e.startsWith(QLatin1Char('@')) || !e.endsWith(QLatin1Char(')'))) return e;
    if (e == QLatin1String("@Invalid()")) return std::nullopt;
    if (e.startsWith(QLatin1String("@ByteArray(")))
        return QString::fromUtf8(e.sliced(11).chopped(1).toLatin1());
    if (e.startsWith(QLatin1String("@String("))) return e.sliced(8).chopped(1);
    return e;
}

// A name as QSettings reads it: '\' stands for '/', %XX and %UXXXX for one
// character each.
QString unescapedName(QByteArrayView raw) {
    const QString d = QString::fromUtf8(raw);
    QString out;
    qsizetype i = 0;
    while (i < d.size()) {
        const QChar c = d[i];
        if (c == u'\\') {
            out += u'/';
            ++i;
            continue;
        }
        if (c != u'%' || i == d.size() - 1) {
            out += c;
            ++i;
            continue;
        }
        qsizetype first = i + 1;
        int digits = 2;
        if (d[first] == u'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const ushort v =
            first + digits <= d.size() ? QStringView(d).sliced(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            out += u'%';
            ++i;
            continue;
        }
        out += QChar(v);
        i = first + digits;
    }
    return out;
}

// A name as QSettings writes it.
QByteArray escapedName(const QString& name) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    for (const QChar qc : name) {
        const char16_t c = qc.unicode();
        if (c == u'/') {
            out += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                   (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.') {
            out += static_cast<char>(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += hex[c / 16];
            out += hex[c % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        }
    }
    return out;
}

// A text as QSettings writes it: a leading '@' doubled, escapes for control
// characters, quotes and backslashes, the whole in quotes when it holds ';',
// ',' or '=' or starts or ends with a blank; UTF-8.
QByteArray escapedValue(const QString& text) {
    const QString v = text.startsWith(u'@') ? QLatin1Char('@') + text : text;
    QString out;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (const QChar qc : v) {
        const char16_t c = qc.unicode();
        if (c == u';' || c == u',' || c == u'=') needsQuotes = true;
        if (escapeNextIfDigit && c < 0x80 && hexDigit(static_cast<char>(c)) != -1) {
            out += QLatin1String("\\x") + QString::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
            case u'\0':
                out += QLatin1String("\\0");
                escapeNextIfDigit = true;
                break;
            case u'\a':
                out += QLatin1String("\\a");
                break;
            case u'\b':
                out += QLatin1String("\\b");
                break;
            case u'\f':
                out += QLatin1String("\\f");
                break;
            case u'\n':
                out += QLatin1String("\\n");
                break;
            case u'\r':
                out += QLatin1String("\\r");
                break;
            case u'\t':
                out += QLatin1String("\\t");
                break;
            case u'\v':
                out += QLatin1String("\\v");
                break;
            case u'"':
            case u'\\':
                out += u'\\';
                out += qc;
                break;
            default:
                if (c <= 0x1F) {
                    out += QLatin1String("\\x") + QString::number(c, 16);
                    escapeNextIfDigit = true;
                } else {
                    out += qc;
                }
        }
    }
    if (needsQuotes || out.startsWith(u' ') || out.endsWith(u' '))
        out = QLatin1Char('"') + out + QLatin1Char('"');
    return out.toUtf8();
}

// Whether a line that QSettings reads on its own, followed by a line break,
// ends right there: not inside quotes, not continued by a trailing
// backslash.
bool selfContained(QByteArrayView line, Line* l = nullptr) {
    const QByteArray withBreak = line.toByteArray() + '\n';
    qsizetype pos = 0;
    Line own;
    if (!l) l = &own;
    return nextLine(withBreak, pos, *l, Reader::QSettings) && l->start == 0 &&
           l->end == line.size();
}

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The '#' comment lines that QSettings, which knows no '#' comments, would
// read as something else than a line of its own, or as a key with a
// serialised value.
struct HashLine {
    qsizetype start = 0;
    bool drop = false;  // a serialised value: not written back; else made a ';' comment
};

std::vector<HashLine> foreignHashLines(QByteArrayView d, qsizetype pos) {
    std::vector<qsizetype> starts;
    Line l;
    while (nextLine(d, pos, l, Reader::Own, &starts)) {
    }
    std::vector<HashLine> out;
    for (const qsizetype h : starts) {
        qsizetype e = h;
        while (e < d.size() && d[e] != '\n' && d[e] != '\r') ++e;
        Line q;
        if (!selfContained(d.sliced(h, e - h), &q)) {
            out.push_back({h, false});
            continue;
        }
        if (q.equals < 0) continue;
        for (const QString& v : decodedElements(d.sliced(h + q.equals + 1, e - h - q.equals - 1))) {
            if (isSerialised(v)) {
                out.push_back({h, true});
                break;
            }
        }
    }
    return out;
}

}  // namespace

IniFile::IniFile(const QByteArray& data) {
    sections_.push_back({});  // the keys outside any section
    QByteArrayView d(data);
    qsizetype pos = data.startsWith("\xef\xbb\xbf") ? 3 : 0;
    qsizetype counted = 0;
    qsizetype kept = pos;  // where the text not yet held by an item starts
    QByteArray gap;
    const std::vector<HashLine> hidden = foreignHashLines(d, pos);
    // Text between items, without the comment lines that must not be kept,
    // and with ';' for the '#' of those QSettings would misread.
    auto between = [&](qsizetype from, qsizetype to) {
        QByteArray out;
        for (const HashLine& h : hidden) {
            if (h.start < from || h.start >= to) continue;
            out += d.sliced(from, h.start - from);
            from = h.start + 1;
            if (!h.drop) {
                out += ';';
                continue;
            }
            while (from < to && d[from] != '\n' && d[from] != '\r') ++from;
            if (from < to && d[from] == '\r') ++from;
            if (from < to && d[from] == '\n') ++from;
        }
        return out + d.sliced(from, to - from).toByteArray();
    };
    int lineNo = 1;
    auto unreadable = [&](qsizetype at) {
        for (; counted < at; ++counted) {
            if (d[counted] == '\n') ++lineNo;
        }
        if (firstUnreadable_ == 0) firstUnreadable_ = lineNo;
    };
    // A line that is dropped takes its line break with it; the comments
    // before it stay.
    auto drop = [&](const Line& l) {
        gap += between(kept, l.start);
        kept = l.end;
        if (kept < d.size() && d[kept] == '\r') ++kept;
        if (kept < d.size() && d[kept] == '\n') ++kept;
    };
    auto add = [&](const Line& l, Item item) {
        gap += between(kept, l.start);
        kept = l.end;
        item.gap = std::exchange(gap, {});
        items_.push_back(std::move(item));
    };
    int current = 0;
    Line l;
    while (nextLine(d, pos, l)) {
        const QByteArrayView text = d.sliced(l.start, l.end - l.start);
        if (text[0] == '[') {
            // A header without its closing bracket still starts a section
            // named by the rest of the line, as QSettings reads it, so the
            // keys under it stay out of the section before.
            const qsizetype close = text.indexOf(']');
            const bool wellFormed = close != -1;
            if (!wellFormed) unreadable(l.start);
            const QByteArrayView raw =
                text.sliced(1, (wellFormed ? close : text.size()) - 1).trimmed();
            QString name;
            if (raw.compare("general", Qt::CaseInsensitive) != 0)
                name = raw.compare("%general", Qt::CaseInsensitive) == 0 ? QStringLiteral("General")
                                                                         : unescapedName(raw);
            QByteArray header = text.toByteArray();
            if (!wellFormed || !selfContained(header)) {
                header = '[' +
                         (name == QLatin1String("General") ? QByteArray("%General")
                                                           : escapedName(name)) +
                         ']';
            }
            current = find(name);
            if (current < 0) {
                sections_.push_back({name, header});
                current = int(sections_.size()) - 1;
            }
            add(l, {{}, true, current, name, std::nullopt, header});
            continue;
        }
        const QByteArrayView rawKey =
            l.equals < 0 ? QByteArrayView() : d.sliced(l.start, l.equals - l.start).trimmed();
        if (rawKey.isEmpty()) {
            unreadable(l.start);
            drop(l);
            continue;
        }
        const QStringList elements =
            decodedElements(d.sliced(l.equals + 1, l.end - l.equals - 1), l.literalQuotes);
        bool serialised = false;
        QStringList texts;
        std::optional<QString> value;
        for (const QString& e : elements) {
            serialised = serialised || isSerialised(e);
            if (const auto t = elementText(e)) texts.append(*t);
        }
        if (serialised) {
            unreadable(l.start);
            drop(l);
            continue;
        }
        if (elements.size() > 1)
            value = texts.join(QLatin1Char(','));
        else if (!texts.isEmpty())
            value = texts.front();
        add(l, {{}, false, current, unescapedName(rawKey), value, text.toByteArray()});
    }
    trailer_ = gap + between(kept, d.size());
}

int IniFile::find(const QString& name) const {
    for (std::size_t i = 0; i < sections_.size(); ++i) {
        if (sameName(sections_[i].name, name)) return int(i);
    }
    return -1;
}

std::optional<QString> IniFile::value(const QString& section, const QString& key) const {
    const int s = find(section);
    if (s < 0) return std::nullopt;
    for (auto k = items_.rbegin(); k != items_.rend(); ++k) {
        if (!k->header && k->section == s && sameName(k->name, key)) return k->value;
    }
    return std::nullopt;
}

QList<QPair<QString, QString>> IniFile::section(const QString& section) const {
    QList<QPair<QString, QString>> out;
    const int s = find(section);
    if (s < 0) return out;
    for (const Item& k : items_) {
        if (k.header || k.section != s) continue;
        // Keys of subsections ("a/b") are not keys of this section.
        if (k.name.contains(u'/')) continue;
        bool listed = false;
        for (const auto& [name, v] : out) listed = listed || sameName(name, k.name);
        if (listed) continue;
        if (const auto v = value(section, k.name)) out.append({k.name, *v});
    }
    return out;
}

void IniFile::insert(std::size_t at, Item item) {
    // The text before the next item is split after its first line break:
    // what stands before that break (a comment after the previous value)
    // stays on the previous line.
    QByteArray& next = gapAt(at);
    const qsizetype cr = next.indexOf('\r');
    const qsizetype lf = next.indexOf('\n');
    const qsizetype br = cr < 0 ? lf : (lf < 0 ? cr : std::min(cr, lf));
    if (br < 0) {
        item.gap = next + (at == 0 && next.isEmpty() ? QByteArray() : QByteArray("\n"));
        next = at < items_.size() ? QByteArray("\n") : QByteArray();
    } else {
        const qsizetype len = next.mid(br, 2) == "\r\n" ? 2 : 1;
        const QByteArray lineBreak = next.mid(br, len);
        item.gap = next.left(br + len);
        next = lineBreak + next.mid(br + len);
    }
    items_.insert(items_.begin() + std::ptrdiff_t(at), std::move(item));
}

void IniFile::setValue(const QString& section, const QString& key, const QString& value) {
    int s = find(section);
    if (s < 0) {
        const QByteArray header =
            '[' +
            (sameName(section, QLatin1String("General")) ? QByteArray("%General")
                                                         : escapedName(section)) +
            ']';
        sections_.push_back({section, header});
        s = int(sections_.size()) - 1;
        // A new section goes at the very end, after a blank line.
        QByteArray gap = std::exchange(trailer_, {});
        if (items_.empty() && gap.trimmed().isEmpty()) {
            gap.clear();
        } else {
            if (!gap.endsWith('\n') && !gap.endsWith('\r')) gap += '\n';
            gap += '\n';
        }
        items_.push_back({gap, true, s, section, std::nullopt, header});
    }
    const QByteArray line = escapedName(key) + '=' + escapedValue(value);
    bool placed = false;
    std::size_t last = 0;  // the item a new key follows; 0 with none: the file's start
    bool after = false;
    for (std::size_t i = 0; i < items_.size();) {
        Item& k = items_[i];
        if (k.section != s) {
            ++i;
            continue;
        }
        if (k.header || !sameName(k.name, key)) {
            last = i++;
            after = true;
        } else if (!placed) {
            k.value = value;
            k.line = escapedName(k.name) + '=' + escapedValue(value);
            placed = true;
            ++i;
        } else {
            // A further line of the same key goes, with its line break; the
            // comments before it stay.
            QByteArray gap = std::move(k.gap);
            items_.erase(items_.begin() + std::ptrdiff_t(i));
            QByteArray& next = gapAt(i);
            if (next.startsWith("\r\n"))
                next.remove(0, 2);
            else if (next.startsWith('\n') || next.startsWith('\r'))
                next.remove(0, 1);
            next.prepend(gap);
        }
    }
    if (!placed) insert(after ? last + 1 : 0, {{}, false, s, key, value, line});
}

QByteArray IniFile::toBytes() const {
    QByteArray out;
    for (const Item& k : items_) {
        out += k.gap;
        if (k.header || selfContained(k.line)) {
            out += k.line;
        } else {
            out += escapedName(k.name) + '=' +
                   (k.value ? escapedValue(*k.value) : QByteArray("@Invalid()"));
        }
    }
    out += trailer_;
    if (!out.isEmpty() && !out.endsWith('\n') && !out.endsWith('\r')) out += '\n';
    return out;
}

}  // namespace platform
