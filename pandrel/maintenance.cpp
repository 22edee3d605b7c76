// Interface maintenance: ResetCM, ClearMem and the clock answer.
#include "clock.h"
#include "engine_p.h"
#include "x10codes.h"

void pandrel::Engine::ResetCM() {
    d->ResetCM();
}

QVariant pandrel::Engine::ClearMem() {
    // Exchanges never interleave: from a handler inside another exchange's
    // wait nothing is sent.
    if (d->iExchange > 0) return QVariant();
    Private::ExchangeScope exchange(d);
    return d->ClearMem();
}

void pandrel::Engine::Private::ResetCM() {
    // Errors of the serial component are ignored throughout.
    bClosing = true;
    bHeard = false;
    PendingInput.clear();
    ArmQueueTimer();  // a closing control sends nothing more: Timer2 stops
    // Only an open port is closed, and then the event handle as well.
    if (MSComm1->PortOpen()) {
        MSComm1->setPortOpen(false);
        hEvent.close();
    }
}

QVariant pandrel::Engine::Private::ClearMem() {
    // 0x0000: 0x00 0x02 and fourteen 0xFF.
    uint8_t f[19];
    f[0] = x10::kDownloadHeader;
    f[1] = 0x00;
    f[2] = 0x00;
    f[3] = 0x00;
    f[4] = 0x02;
    for (int i = 5; i < 19; ++i) f[i] = 0xFF;
    SendFrame(f, 19);
    // Then sixteen 0xFF at 0x03F0, 0x03E0, ... 0x0100, highest first. The
    // outcome of each frame is not used.
    f[1] = 0x03;
    f[2] = 0xF0;
    f[3] = 0xFF;
    f[4] = 0xFF;
    for (int block = 0; block < 3; ++block) {
        for (int i = 0; i < 16; ++i) {
            SendFrame(f, 19);
            if (f[2] != 0x00) f[2] = static_cast<uint8_t>(f[2] - 0x10);
        }
        f[2] = 0xF0;
        f[1] = static_cast<uint8_t>(f[1] - 1);
    }
    return QVariant();
}

void pandrel::Engine::Private::SendClock() {
    ExchangeScope exchange(this);
    const auto frame = x10::clockFrameBytes(platform::Clock::global().now(), iMonitoredHouse);
    Output(frame);
    // One answer byte, read and discarded; it is not an unsolicited byte.
    const bool wasAwaiting = bAwaitingReply;
    bAwaitingReply = true;
    WaitForBytes(1, 1);
    bAwaitingReply = wasAwaiting;
    ReadReceivedByte();
}
