// Form1: the remote command interpreter, as the design names it. The words
// run in the service (core::Service::runWord), the same for the listener, the
// daemon and this entry; the window shows their effect by following the
// service.
#include "mainwindow.h"
#include "service.h"

bool Form1::ProcessCommand(const QString& scommand) {
    const core::Service::WordResult r = service_->runWord(scommand, state::Source::Remote);
    commandError_ = r.reason;
    return r.done;
}
