// Sessions kept in a file: what survives a restart, what the file gives a
// thief, and what ends them. The encoding helpers of the replies.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "encoding.h"
#include "sessions.h"

namespace {

constexpr qint64 kDay = 24 * 3600 * 1000LL;

class SessionFile : public ::testing::Test {
  protected:
    // A process of its own, as after a restart: the file read anew.
    std::unique_ptr<web::Sessions> open(const QByteArray& password = "pw") {
        auto s = std::make_unique<web::Sessions>(web::Sessions::LifetimeMs, web::Sessions::IdleMs,
                                                 [this] { return now; });
        s->setFile(path);
        s->setPassword(password);
        return s;
    }
    static QByteArray header(const QByteArray& cookie) {
        return "a=b; " + web::Sessions::CookieName + '=' + cookie;
    }
    QByteArray text() const {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QString path = dir.path() + "/state/web-sessions";
    qint64 now = 1'800'000'000'000;
};

TEST_F(SessionFile, ASessionOutlivesARestartAndTheFileHoldsNeitherCookieNorToken) {
    auto first = open();
    const web::Sessions::Session s = first->start();
    ASSERT_EQ(s.cookie.size(), 32);
    first.reset();

    const QByteArray stored = text();
    EXPECT_TRUE(stored.contains(s.id));
    EXPECT_FALSE(stored.contains(s.cookie));
    EXPECT_FALSE(stored.contains(s.token));
    EXPECT_EQ(QFile::permissions(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadUser | QFileDevice::WriteUser);

    auto again = open();
    const web::Sessions::Session* found = again->fromCookieHeader(header(s.cookie));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->token, s.token);
    // What the file holds is no cookie.
    EXPECT_EQ(again->fromCookieHeader(header(s.id)), nullptr);
    EXPECT_EQ(again->fromCookieHeader(header(s.id.left(32))), nullptr);
    // Under another password (changed while the server was down) it is no login.
    again.reset();
    EXPECT_EQ(open("changed")->fromCookieHeader(header(s.cookie)), nullptr);
}

TEST_F(SessionFile, EachUseExtendsASessionAcrossRestartsUntilItsLifetime) {
    QByteArray cookie = open()->start().cookie;
    // Used every 20 days, each time by a new process: never idle for 30.
    for (int i = 0; i < 18; ++i) {
        now += 20 * kDay;
        ASSERT_NE(open()->fromCookieHeader(header(cookie)), nullptr) << i;
    }
    now += 10 * kDay;                                              // 370 days in, used 10 days ago
    EXPECT_EQ(open()->fromCookieHeader(header(cookie)), nullptr);  // a year since the login

    cookie = open()->start().cookie;
    now += web::Sessions::IdleMs;
    auto late = open();
    EXPECT_EQ(late->count(), 0);  // idle too long: not even read
    EXPECT_EQ(late->fromCookieHeader(header(cookie)), nullptr);
}

TEST_F(SessionFile, LogoutAndAPasswordChangeTakeSessionsOutOfTheFile) {
    auto sessions = open();
    const web::Sessions::Session a = sessions->start();
    const web::Sessions::Session b = sessions->start();
    const web::Sessions::Session c = sessions->start();
    EXPECT_TRUE(sessions->end(a.id));
    sessions->flush();
    EXPECT_FALSE(text().contains(a.id));
    EXPECT_TRUE(text().contains(b.id));

    sessions->setPassword("new");
    sessions->flush();
    EXPECT_FALSE(text().contains(b.id));
    EXPECT_FALSE(text().contains(c.id));
    EXPECT_EQ(open("pw")->fromCookieHeader(header(c.cookie)), nullptr);
}

TEST_F(SessionFile, ADamagedOrCrowdedFileGivesWhatItCanAndNoMoreThanTheLimit) {
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/state"));
    QByteArray crowd = "veldrin web sessions 1\n";
    for (int i = 0; i < 100; ++i)
        crowd += QByteArray::number(i).rightJustified(64, 'a') + ' ' + QByteArray::number(now) +
                 ' ' + QByteArray::number(now + i) + '\n';
    crowd += "not a session\n" + QByteArray(64, 'z') + " 1 1\n";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(crowd);
    f.close();
    auto sessions = open();
    EXPECT_EQ(sessions->count(), web::Sessions::MaxSessions);
    // The most recently used are the ones kept.
    EXPECT_NE(sessions->find(QByteArray::number(99).rightJustified(64, 'a')), nullptr);
    EXPECT_EQ(sessions->find(QByteArray::number(0).rightJustified(64, 'a')), nullptr);
}

TEST(ReplyEncoding, GzipIsTakenOnlyWhereTheClientSaysSo) {
    const struct {
        const char* header;
        bool takes;
    } cases[] = {
        {"gzip, deflate, br", true},
        {"br;q=1.0, GZIP;q=0.5", true},
        {"gzip;q=0", false},
        {"deflate", false},
        {"*", true},
        {"*, gzip;q=0", false},
        {"", false},
        {"identity", false},
    };
    for (const auto& c : cases) EXPECT_EQ(web::acceptsGzip(c.header), c.takes) << c.header;
}

TEST(ReplyEncoding, AnEntityTagMatchesEitherRepresentationOnly) {
    const QByteArray tag = web::entityTag("body");
    EXPECT_NE(tag, web::entityTag("body2"));
    EXPECT_TRUE(web::tagMatches(tag, tag));
    EXPECT_TRUE(web::tagMatches("\"x\", W/" + web::gzipTag(tag), tag));
    EXPECT_FALSE(web::tagMatches(web::entityTag("other"), tag));
    EXPECT_FALSE(web::tagMatches("", tag));
}

}  // namespace
