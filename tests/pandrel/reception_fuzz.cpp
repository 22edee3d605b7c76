// Fuzz target of the reception path: arbitrary bytes from the line through
// the port notification, the upload reader, the macro-report reader, or in
// place of a checksum during a send. The first byte picks the path (bits 0-1),
// whether Init is still running (bit 2) and whether event handlers rewrite
// the arguments they are given (bit 3). The control must stay consistent: no
// crash, no read past a buffer, bounded queues.
#include <QApplication>
#include <cstdint>
#include <cstdlib>

#include "pandrel/controlcm_probe.h"
#include "pandrel/x10codes.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void checkConsistent(controlcmProbe::Private& d) {
    check(d.iRxCount >= 0 && d.iRxCount <= controlcmProbe::Private::kRxSize);
    check(d.iRxRead >= 0 && d.iRxRead < controlcmProbe::Private::kRxSize);
    check(d.iRxWrite >= 0 && d.iRxWrite < controlcmProbe::Private::kRxSize);
    check(d.iEvtCount >= 0 && d.iEvtCount <= controlcmProbe::Private::kEvtSize);
    check(d.iEvtRead >= 0 && d.iEvtRead < controlcmProbe::Private::kEvtSize);
    check(d.iEvtWrite >= 0 && d.iEvtWrite < controlcmProbe::Private::kEvtSize);
    check(d.sDevices.size() < 4096 && d.sLastDevices.size() < 4096);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "fuzz_pandrel_reception";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    controlcm cm;  // port never opened: the bytes come from the input only
    auto& d = controlcmProbe::d(cm);
    const uint8_t control = data[0];
    d.bReady = true;
    d.bInitializing = control & 0x04;
    if (control & 0x08) {
        QObject::connect(&cm, &controlcm::X10Event,
                         [](QString& dv, QString& h, int16_t& c, QString& e, QString& d2) {
                             dv += QStringLiteral("Z");
                             h = QStringLiteral("?");
                             c = static_cast<int16_t>(-c - 1);
                             e = QStringLiteral("-99999999999");
                             d2.clear();
                         });
        QObject::connect(&cm, &controlcm::X10SingleEvent,
                         [](QString& dv, QString& h, int16_t&, QString&, QString&) {
                             dv.clear();
                             h += QStringLiteral("x");
                         });
    }
    d.PendingInput =
        QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    switch (control & 0x03) {
        case 0:  // the port notification
            d.PumpInput();
            break;
        case 1:  // the upload reader, after a poll
            d.ReadUpload();
            break;
        case 2:  // the macro-report reader
            d.ReadMacroReport();
            break;
        case 3:  // in place of the checksum of a frame
            d.SendFrame(pandrel::x10::addressFrame(1, 1));
            break;
    }
    checkConsistent(d);
    d.PumpInput();  // whatever the reader left
    checkConsistent(d);
    check(d.PendingInput.isEmpty());
    check(!d.bUploading && !d.bSending && !d.bAwaitingReply && d.iExchange == 0);
    for (int i = 0; i <= controlcmProbe::Private::kEvtSize && !cm.GetEvent().isEmpty(); ++i) {
    }
    check(d.iEvtCount == 0);
    return 0;
}
