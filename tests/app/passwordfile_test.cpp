// The remote server's password file: the rules shared with the bridge (a
// regular file that only its owner may use, of bounded size, checked on the
// opened file) and the server's own, a first line that a client can type.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "remoteserver.h"
#include "startoptions.h"

namespace {

class PasswordFile : public ::testing::Test {
  protected:
    QString write(const QByteArray& text, mode_t mode = 0600) {
        const QString path = dir.filePath(QStringLiteral("pw"));
        QFile::remove(path);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    }
    std::optional<QString> read(const QString& path) {
        error.clear();
        return app::readPasswordFile(path, &error);
    }

    QTemporaryDir dir;
    QString error;
};

TEST_F(PasswordFile, TheFirstLineMustFitInAProtocolLine) {
    const QByteArray longest(RemoteServer::MaxLine, 'p');
    EXPECT_EQ(read(write(longest + "\r\nsecond line\n")), QString::fromLatin1(longest));
    EXPECT_EQ(read(write("Open Sesame")), QStringLiteral("Open Sesame"));

    const QString tooLong = write(longest + "p\n");
    EXPECT_EQ(read(tooLong), std::nullopt);
    EXPECT_EQ(error, QStringLiteral("the first line of the password file %1 is longer than 256 "
                                    "bytes")
                         .arg(tooLong));
    EXPECT_EQ(read(write("\nsecond line\n")), std::nullopt);
    EXPECT_TRUE(error.endsWith(QStringLiteral("has an empty first line")));
}

TEST_F(PasswordFile, OnlyASmallRegularFileOfItsOwner) {
    for (mode_t mode : {0640, 0604, 0620, 0602, 0610, 0601}) {
        const QString path = write("pw\n", mode);
        EXPECT_EQ(read(path), std::nullopt) << std::oct << mode;
        EXPECT_TRUE(error.contains(QStringLiteral("may be read or written by others")))
            << error.toStdString();
    }
    EXPECT_EQ(read(write("pw\n", 0700)), QStringLiteral("pw"));
    EXPECT_EQ(read(write("pw\n" + QByteArray(70 * 1024, 'x'))), std::nullopt);
    EXPECT_TRUE(error.endsWith(QStringLiteral("is larger than 65536 bytes")))
        << error.toStdString();

    // A FIFO or a device is refused at once, before anything is read.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString zero = dir.filePath(QStringLiteral("zero"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), zero));
    QElapsedTimer t;
    t.start();
    for (const QString& path : {fifo, zero, dir.path()}) {
        EXPECT_EQ(read(path), std::nullopt);
        EXPECT_EQ(error, QStringLiteral("the password file %1 is not a regular file").arg(path));
    }
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(read(dir.filePath(QStringLiteral("missing"))), std::nullopt);
    EXPECT_TRUE(error.startsWith(QStringLiteral("cannot read the password file ")));
}

}  // namespace
