#include "cp290frames.h"

#include "mcp290.h"

namespace cp290 {

namespace {
QByteArray syncRun() {
    return QByteArray(kSyncLength, kSyncByte);
}
char byteOf(int value) {
    return static_cast<char>(value & 0xFF);
}
}  // namespace

uint8_t checksum(const QByteArray& data) {
    unsigned sum = 0;
    for (char c : data) sum += static_cast<uint8_t>(c);
    return static_cast<uint8_t>(sum & 0xFF);
}

QByteArray statusRequestFrame() {
    QByteArray f = syncRun();
    f.append(static_cast<char>(kCmdStatus));
    return f;
}

QByteArray setClockFrame(int minute, int hour, int dayBit) {
    QByteArray data;
    data.append(byteOf(minute));
    data.append(byteOf(hour));
    data.append(byteOf(dayBit));
    QByteArray f = syncRun();
    f.append(static_cast<char>(kCmdSetClock));
    f.append(data);
    f.append(static_cast<char>(checksum(data)));
    return f;
}

QByteArray directFrame(int functionByte, int houseByte, int units9to16, int units1to8) {
    QByteArray data;
    data.append(byteOf(functionByte));
    data.append(byteOf(houseByte));
    data.append(byteOf(units9to16));
    data.append(byteOf(units1to8));
    QByteArray f = syncRun();
    f.append(static_cast<char>(kCmdDirect));
    f.append(data);
    f.append(static_cast<char>(checksum(data)));
    return f;
}

int dayBitForWeekday(int dayOfWeek) {
    if (dayOfWeek < 1 || dayOfWeek > 7) return 0;
    return 1 << (dayOfWeek - 1);
}

QString minuteText(int minute) {
    QString t = QString::number(minute);
    if (t.size() < 2) t.prepend(QLatin1Char('0'));
    return t;
}

QString bytesToText(const QByteArray& bytes) {
    return QString::fromLatin1(bytes);
}

QByteArray textToBytes(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text) out.append(static_cast<char>(c.unicode() & 0xFF));
    return out;
}

StatusJudgement judgeStatusReply(const QByteArray& reply, int port) {
    StatusJudgement j;
    if (reply.size() != kStatusReplyLength) return j;
    // Counting from 1: byte 8 minute, 9 hour, 10 day bit, 11 base house byte.
    auto at = [&reply](int n) { return static_cast<int>(static_cast<uint8_t>(reply.at(n - 1))); };
    j.found = true;
    j.minute = at(8);
    j.hour = at(9);
    j.dayBit = at(10);
    j.houseByte = at(11);
    j.lines << QStringLiteral("Found CP290 Connected to Com: ") + QString::number(port);
    j.lines << QStringLiteral("Found CP290 Base HouseCode: ") + ByteToHouseCode(j.houseByte);
    if (j.dayBit == 0) {
        j.clockNotSet = true;
    } else {
        j.timeLine = QStringLiteral("Found CP290 Interface time: ") + DayBitToName(j.dayBit) +
                     QStringLiteral(", ") + QString::number(j.hour) + QStringLiteral(":") +
                     minuteText(j.minute);
    }
    return j;
}

}  // namespace cp290
