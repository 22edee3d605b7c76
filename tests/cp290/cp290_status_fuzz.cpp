// Any bytes as the CP290's status reply: the judgement must never read past
// the reply, and what it finds must be consistent with what it logs.
#include <cstdint>
#include <cstdlib>

#include "cp290frames.h"
#include "mcp290.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const cp290::StatusJudgement j = cp290::judgeStatusReply(reply, 1);
    if (j.found != (reply.size() == cp290::kStatusReplyLength)) std::abort();
    if (!j.found) {
        if (!j.lines.isEmpty() || !j.timeLine.isEmpty()) std::abort();
        return 0;
    }
    if (j.lines.size() != 2) std::abort();
    const QString house = ByteToHouseCode(j.houseByte);
    if (house.size() > 1) std::abort();
    if (!j.lines.at(1).endsWith(house)) std::abort();
    if (j.clockNotSet != (j.dayBit == 0)) std::abort();
    if (j.clockNotSet != j.timeLine.isEmpty()) std::abort();
    if (!j.clockNotSet && !j.timeLine.endsWith(cp290::minuteText(j.minute))) std::abort();
    // Round trip through the text form the serial component hands over.
    if (cp290::textToBytes(cp290::bytesToText(reply)) != reply) std::abort();
    return 0;
}
