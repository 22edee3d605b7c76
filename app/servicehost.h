#pragma once
// The "Service Options" menu: installs, starts, stops and removes the
// external service host Grelmond and opens its log. Each action starts the
// host through the shell's "open" verb with a fixed command line, shows one
// message and, for install and remove, records the service mode.

#include <QString>
#include <functional>

class ServiceHost {
  public:
    // title: the program title used for the not-found boxes (app_tit).
    // unload: the main window's unload step, run after a successful install.
    ServiceHost(std::function<QString()> title, std::function<void()> unload);

    void install();
    void start();
    void stop();
    void remove();
    void showLog();

    static inline const QString kServiceName = QStringLiteral("Veldrin Service");

    // Where the host keeps its log when the program folder cannot be
    // written: $XDG_STATE_HOME/veldrin/Grelmond.txt (~/.local/state/...).
    static QString fallbackLogFile();
    // The log the host writes when it lives in folder: beside it, unless the
    // folder cannot be written or is a system folder (below /usr, /bin,
    // /sbin, /lib, /opt) owned by root while root runs the program; then the
    // fallback. The host script follows the same rule.
    static QString logFile(const QString& folder);

  private:
    // Opens folder + file with the parameters. False (after the not-found
    // message) when the file is missing; for the host itself (program true)
    // also, after an error message, when it is not a program or did not start.
    bool open(const QString& file, const QString& parameters, int showMode,
              const QString& notFoundText, bool program = true);

    std::function<QString()> title_;
    std::function<void()> unload_;
};
