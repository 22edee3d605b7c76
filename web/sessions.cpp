#include "sessions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <algorithm>

#include "access.h"
#include "atomicfile.h"
#include "regularfile.h"
#include "settingsstore.h"
#include "timebase.h"

namespace web {

namespace {

const QByteArray kFileHeader = QByteArrayLiteral("veldrin web sessions 1");

QByteArray random128() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

QByteArray hmac(const QByteArray& key, const QByteArray& message) {
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

// The page's anti-forgery token: only the cookie's holder can make it.
QByteArray tokenOf(const QByteArray& cookie) {
    return hmac(cookie, QByteArrayLiteral("anti-forgery token")).left(16).toHex();
}

bool isHex(const QByteArray& text, qsizetype size) {
    return text.size() == size && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// An empty file for the owner alone, before anything is written to it;
// one there already loses the bits of others.
bool makePrivate(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

Sessions::Sessions(QObject* parent)
    : Sessions(
          LifetimeMs, IdleMs, [] { return QDateTime::currentMSecsSinceEpoch(); }, parent) {}

Sessions::Sessions(qint64 lifetimeMs, qint64 idleMs, Clock clock, QObject* parent)
    : QObject(parent), lifetimeMs_(lifetimeMs), idleMs_(idleMs), clock_(std::move(clock)) {
    connect(&expiry_, &QTimer::timeout, this, &Sessions::expire);
    // Every change of one turn of the event loop (a password change ends
    // them all) is written once.
    save_.setSingleShot(true);
    save_.setInterval(0);
    connect(&save_, &QTimer::timeout, this, &Sessions::flush);
}

Sessions::~Sessions() {
    flush();
}

QString Sessions::defaultPath() {
    return platform::stateFolder() + QStringLiteral("/web-sessions");
}

bool Sessions::expired(const Session& s, qint64 now) const {
    return now - s.startedMs >= lifetimeMs_ || now - s.usedMs >= idleMs_;
}

QByteArray Sessions::keyOf(const QByteArray& cookie) const {
    return hmac(cookie, QByteArrayLiteral("session key\n") + password_).toHex();
}

void Sessions::setPassword(const QByteArray& password) {
    const bool wasSet = !password_.isEmpty();
    password_ = password;
    if (wasSet) endAll();
}

void Sessions::setFile(const QString& path) {
    path_ = path;
    load();
}

void Sessions::load() {
    const platform::FileRead file = platform::readRegularFile(path_, MaxFileBytes);
    if (file.status != platform::FileRead::Ok) return;
    const QList<QByteArray> lines = file.data.split('\n');
    if (lines.isEmpty() || lines.first() != kFileHeader) return;
    const qint64 now = clock_();
    std::vector<Session> read;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> p = lines[i].split(' ');
        if (p.size() != 3) continue;
        bool startedOk = false;
        bool usedOk = false;
        Session s;
        s.id = p[0];
        s.startedMs = p[1].toLongLong(&startedOk);
        s.usedMs = p[2].toLongLong(&usedOk);
        s.writtenUsedMs = s.usedMs;
        if (!isHex(s.id, 64) || !startedOk || !usedOk || expired(s, now)) continue;
        if (std::any_of(sessions_.begin(), sessions_.end(),
                        [&](const Session& o) { return o.id == s.id; }))
            continue;
        read.push_back(s);
    }
    // The most recently used, in the order of their use.
    std::sort(read.begin(), read.end(),
              [](const Session& a, const Session& b) { return a.usedMs > b.usedMs; });
    if (read.size() > size_t(MaxSessions)) read.resize(size_t(MaxSessions));
    std::reverse(read.begin(), read.end());
    for (Session& s : read) {
        if (sessions_.size() >= size_t(MaxSessions)) break;
        s.used = ++uses_;
        sessions_.push_back(s);
    }
    armExpiry();
}

void Sessions::flush() {
    save_.stop();
    if (!dirty_ || path_.isEmpty()) return;
    QByteArray text = kFileHeader + '\n';
    for (Session& s : sessions_) {
        text += s.id + ' ' + QByteArray::number(s.startedMs) + ' ' + QByteArray::number(s.usedMs) +
                '\n';
        s.writtenUsedMs = s.usedMs;
    }
    QDir().mkpath(QFileInfo(path_).absolutePath());
    // A file that cannot be written keeps the sessions in memory: they end
    // with the process, as they did before there was a file.
    if (makePrivate(path_) && platform::writeFileAtomically(path_, text, nullptr)) dirty_ = false;
}

void Sessions::saveSoon() {
    dirty_ = true;
    if (!path_.isEmpty() && !save_.isActive()) save_.start();
}

void Sessions::armExpiry() {
    if (sessions_.empty())
        expiry_.stop();
    else if (!expiry_.isActive())
        platform::TimeBase::global().startTimer(expiry_, ExpiryCheckMs);
}

void Sessions::expire() {
    const qint64 now = clock_();
    std::vector<QByteArray> over;
    for (const Session& s : sessions_)
        if (expired(s, now)) over.push_back(s.id);
    for (const QByteArray& id : over) end(id);
}

bool Sessions::sameText(const QByteArray& a, const QByteArray& b) {
    return auth::constantTimeEquals(a, b);
}

Sessions::Session Sessions::start() {
    if (sessions_.size() >= size_t(MaxSessions)) {
        const auto oldest =
            std::min_element(sessions_.begin(), sessions_.end(),
                             [](const Session& a, const Session& b) { return a.used < b.used; });
        end(QByteArray(oldest->id));
    }
    const qint64 now = clock_();
    Session s;
    s.cookie = random128();
    s.id = keyOf(s.cookie);
    s.token = tokenOf(s.cookie);
    s.used = ++uses_;
    s.startedMs = s.usedMs = s.writtenUsedMs = now;
    sessions_.push_back(s);
    sessions_.back().cookie.clear();
    armExpiry();
    saveSoon();
    return s;
}

const Sessions::Session* Sessions::find(const QByteArray& id) {
    return use(id);
}

Sessions::Session* Sessions::use(const QByteArray& id) {
    if (id.size() != 64) return nullptr;
    for (Session& s : sessions_) {
        if (sameText(s.id, id)) {
            const qint64 now = clock_();
            if (expired(s, now)) {
                end(QByteArray(s.id));
                return nullptr;
            }
            s.used = ++uses_;
            s.usedMs = now;
            if (now - s.writtenUsedMs >= SaveUseAfterMs) saveSoon();
            return &s;
        }
    }
    return nullptr;
}

const Sessions::Session* Sessions::fromCookieHeader(const QByteArray& header) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray p = part.trimmed();
        if (!p.startsWith(CookieName + '=')) continue;
        const QByteArray cookie = p.mid(CookieName.size() + 1);
        if (cookie.size() != 32) return nullptr;
        Session* s = use(keyOf(cookie));
        if (s && s->token.isEmpty()) s->token = tokenOf(cookie);
        return s;
    }
    return nullptr;
}

bool Sessions::end(const QByteArray& id) {
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [&](const Session& s) { return s.id == id; });
    if (it == sessions_.end()) return false;
    sessions_.erase(it);
    armExpiry();
    saveSoon();
    emit ended(id);
    return true;
}

void Sessions::endAll() {
    while (!sessions_.empty()) end(QByteArray(sessions_.back().id));
}

}  // namespace web
