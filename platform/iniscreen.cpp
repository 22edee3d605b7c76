#include "iniscreen.h"

#include <QByteArrayView>
#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <utility>
#include <vector>

namespace platform {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isSpecial(char c) {
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
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
};

// The next logical line. It ends at a line break or a ';' outside quotes
// (what follows a ';' is a comment); a backslash keeps the character after
// it, so an escaped line break continues the line; a ';' at the start makes
// the rest of its physical line a comment. Returns false at the end.
bool nextLine(QByteArrayView d, qsizetype& pos, Line& l) {
    const qsizetype n = d.size();
    bool inQuotes = false;
    l.equals = -1;
    l.start = pos;
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
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < n) {
                const char c = d[i++];
                if (i < n && ((c == '\n' && d[i] == '\r') || (c == '\r' && d[i] == '\n'))) ++i;
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
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
    pos = i;
    l.end = i;
    return l.end > l.start;
}

// The value text decoded: quotes, escapes (named, hexadecimal and octal, the
// number kept to 16 bits), UTF-8, and commas outside quotes splitting it into
// list elements. Blanks before an element and after a closing quote are
// skipped; blanks at the end are left, as they cannot change how an element
// starts.
QStringList decodedElements(QByteArrayView s) {
    static const char named[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                    {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                    {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QStringList out;
    QString cur;
    QStringDecoder utf8(QStringDecoder::Utf8);
    bool inQuotes = false;
    const qsizetype n = s.size();
    qsizetype i = 0;
    auto skipBlanks = [&] {
        while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
    };
    auto number = [&](char16_t value, int base, int (*digit)(char)) {
        for (int v; i < n && (v = digit(s[i])) != -1; ++i)
            value = static_cast<char16_t>(value * base + v);
        cur += QChar(value);
    };
    skipBlanks();
    while (i < n) {
        const char ch = s[i];
        if (ch == '\\') {
            if (++i >= n) break;
            const char e = s[i++];
            bool done = false;
            for (const auto& pair : named) {
                if (e == pair[0]) {
                    cur += QLatin1Char(pair[1]);
                    done = true;
                    break;
                }
            }
            if (done) continue;
            if (e == 'x') {
                if (i >= n) break;
                if (hexDigit(s[i]) != -1) number(0, 16, hexDigit);
            } else if (octDigit(e) != -1) {
                number(static_cast<char16_t>(octDigit(e)), 8, octDigit);
            } else if (e == '\n' || e == '\r') {
                if (i < n && (s[i] == '\n' || s[i] == '\r') && s[i] != e) ++i;
            }
            // any other escaped character is dropped
        } else if (ch == '"') {
            ++i;
            inQuotes = !inQuotes;
            if (!inQuotes) skipBlanks();
        } else if (ch == ',' && !inQuotes) {
            out.append(cur);
            cur.clear();
            ++i;
            skipBlanks();
        } else {
            qsizetype j = i + 1;
            while (j < n && s[j] != '\\' && s[j] != '"' && s[j] != ',') ++j;
            cur += utf8(s.sliced(i, j - i));
            i = j;
        }
    }
    out.append(cur);
    return out;
}

bool isSerialised(const QString& element) {
    return element.startsWith(QLatin1String("@Variant(")) ||
           element.startsWith(QLatin1String("@DateTime("));
}

}  // namespace

QByteArray withoutSerialisedValues(const QByteArray& data, bool* removed) {
    QByteArrayView d(data);
    qsizetype pos = data.startsWith("\xef\xbb\xbf") ? 3 : 0;
    std::vector<std::pair<qsizetype, qsizetype>> drop;
    Line l;
    while (nextLine(d, pos, l)) {
        if (l.equals < 0 || d[l.start] == '[') continue;
        const QStringList elements = decodedElements(d.sliced(l.equals + 1, l.end - l.equals - 1));
        for (const QString& e : elements) {
            if (isSerialised(e)) {
                drop.emplace_back(l.start, l.end);
                break;
            }
        }
    }
    if (removed) *removed = !drop.empty();
    if (drop.empty()) return data;
    QByteArray out;
    out.reserve(data.size());
    qsizetype from = 0;
    for (const auto& [start, end] : drop) {
        out.append(d.sliced(from, start - from));
        from = end;
        // with the line break that ended it
        if (from < d.size() && (d[from] == '\r' || d[from] == '\n')) {
            if (from + 1 < d.size() && d[from] == '\r' && d[from + 1] == '\n') ++from;
            ++from;
        }
    }
    out.append(d.sliced(from));
    return out;
}

bool screenSettingsFile(const QString& path) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) return true;  // QSettings cannot read it either
    QByteArray data = in.readAll();
    in.close();
    bool any = false;
    // Taking a line out can only leave whitespace where it was, but check
    // again until nothing changes rather than rely on it.
    for (bool removed = true; removed;) {
        data = withoutSerialisedValues(data, &removed);
        any = any || removed;
    }
    if (!any) return true;
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) return false;
    out.write(data);
    return out.commit();
}

}  // namespace platform
