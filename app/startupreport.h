#pragma once
// VELDRIN_STARTUP_REPORT=1: measurements of the start-up for the benchmark.
// The program prints, on standard output,
//   startup: window shown at monotonic <ns> ns, <ms> ms after the process started
// when its main window is first shown, and once the start-up (including the
// interface search, which runs after showing) is over
//   startup: resident <kB> kB
// and then ends without writing its settings. Nothing happens without the
// variable.

#include <QObject>
#include <functional>

namespace app {

class StartupReport : public QObject {
  public:
    StartupReport();
    bool active() const { return active_; }
    // Prints the resident memory, calls release and ends the process.
    [[noreturn]] void finish(const std::function<void()>& release);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool active_ = false;
    bool shown_ = false;
};

}  // namespace app
