#pragma once
// Signals a program of ours handles the same way, with a window or without.

#include <QObject>
#include <functional>

namespace app {

// A request to end (SIGTERM from the service manager or the session, SIGINT,
// SIGHUP) runs end on the event loop's thread, so the settings are saved as on
// Exit. The handler only writes a byte to a socket pair. A signal that the
// starter ignores (nohup, a background job) stays ignored. With hangUp,
// SIGHUP runs that instead (the daemon reads its schedule again).
void onTermSignals(QObject* context, std::function<void()> end, std::function<void()> hangUp = {});

// A write to a pipe or socket whose reader has gone fails with EPIPE instead
// of ending the process: the log line on standard output is lost, the program
// goes on and still saves at the end. A handler that does nothing rather than
// SIG_IGN, so that programs started from here get the default back when they
// are executed.
void survivePipeWithoutReader();

}  // namespace app
