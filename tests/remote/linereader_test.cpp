#include <gtest/gtest.h>

#include "linereader.h"
#include "remoteserver.h"

TEST(LineReader, SplitsOnLfAndCrLfAcrossFragments) {
    LineReader r(256);
    EXPECT_TRUE(r.feed("5o"));
    EXPECT_TRUE(r.takeLines().isEmpty());
    EXPECT_TRUE(r.feed("n\r"));
    EXPECT_TRUE(r.feed("\nallo\n\nEXIT\r\r\n"));
    const QList<QByteArray> lines = r.takeLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "5on");
    EXPECT_EQ(lines[1], "allo");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "EXIT\r");  // only one CR belongs to the terminator
    EXPECT_TRUE(r.takeLines().isEmpty());
}

TEST(LineReader, LinesBeyondTheBoundFailForGood) {
    LineReader r(256);
    EXPECT_TRUE(r.feed(QByteArray(256, 'a') + "\r\n"));
    EXPECT_EQ(r.takeLines().value(0).size(), 256);
    EXPECT_FALSE(r.feed(QByteArray(257, 'b') + "\n"));
    EXPECT_TRUE(r.failed());
    EXPECT_FALSE(r.feed("5on\n"));
    EXPECT_TRUE(r.takeLines().isEmpty());

    // An unterminated line fails as soon as it is too long to be valid.
    LineReader s(256);
    for (int i = 0; i < 257; ++i) ASSERT_TRUE(s.feed("x"));
    EXPECT_FALSE(s.feed("x"));
}

TEST(RemoteServer, ConstantTimeCompareMatchesOnlyEqualTexts) {
    EXPECT_TRUE(auth::constantTimeEquals("secret", "secret"));
    EXPECT_FALSE(auth::constantTimeEquals("secret", "Secret"));
    EXPECT_FALSE(auth::constantTimeEquals("secret", "secret2"));
    EXPECT_FALSE(auth::constantTimeEquals("secret", ""));
    EXPECT_TRUE(auth::constantTimeEquals("", ""));
    EXPECT_FALSE(auth::constantTimeEquals(QByteArray("a\0", 2), "a"));
}
