#include "termsignals.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <csignal>

namespace app {

namespace {
int termSignalFds[2] = {-1, -1};

void onTermSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(termSignalFds[1], &c, 1);
}

void onBrokenPipe(int) {}
}  // namespace

void onTermSignals(QObject* context, std::function<void()> end, std::function<void()> hangUp) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, termSignalFds) != 0) return;
    auto* notifier = new QSocketNotifier(termSignalFds[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [end, hangUp] {
        char c = 0;
        if (::read(termSignalFds[0], &c, 1) == 1 && c == SIGHUP && hangUp)
            hangUp();
        else
            end();
    });
    struct sigaction sa = {};
    sa.sa_handler = onTermSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old = {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &sa, nullptr);
    }
}

void survivePipeWithoutReader() {
    struct sigaction sa = {};
    sa.sa_handler = onBrokenPipe;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace app
