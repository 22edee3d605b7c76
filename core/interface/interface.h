#pragma once
// core::Interface: the powerline interface of this run, one object whatever
// its kind. It owns the two-way engine and the CP290's serial component,
// chooses the backend of the kind the settings name (the two-way interface
// through pandrel::Engine, the CP290 through its driver), contacts it, looks
// for it again by itself when it is lost or was not found, and carries the
// one command path (commands()) on which every front end sends. What the
// two-way interface hears on the powerline goes to the state table.
//
// Its event-log lines are those the program has always written: "Found
// Pandrel Interface on Com: N Connection Established", "ERROR: Pandrel
// Interface Not Found on Com: N", "ERROR: Pandrel Interface Lost on Com: N -
// <reason>", "ERROR: Pandrel Interface Still Not Found on Com: N - <reason> -
// Retrying in the Background", the CP290's own lines, and one line naming the
// group to join when this user may not open the port's device. A two-way
// interface that stops answering while its port is still there is lost with
// the reason "Interface not answering" (link() NotAnswering): commands are
// refused with that reason until the background retries find it again. The CP290
// driver's messages (no reply, port in use, invalid port) are event-log lines
// too: nothing here shows a window.
//
// Qt Core only: a program without a window runs it under QCoreApplication.

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "loglevel.h"

class CommandPath;
class MSComm;
namespace pandrel {
class Engine;
}
namespace state {
class StateTable;
}

namespace core {

class LineCommands;

class Interface : public QObject {
    Q_OBJECT
  public:
    enum class Kind { TwoWay, Cp290 };

    // table: follows the commands the interface confirmed and the traffic it
    // hears. log: its event-log lines, each with its level.
    Interface(Kind kind, state::StateTable& table, platform::LogHook log,
              QObject* parent = nullptr);
    ~Interface() override;  // releases the port

    Kind kind() const;
    // The serial port number in use (COM<n>), set by contact.
    int16_t port() const;

    // Contacts the interface on port (releasing the port first, and ending
    // any retry in the background). Writes the design's lines for what it
    // found, turns ready on or off, and when nothing answered keeps looking
    // in the background: at once when the device node appears, otherwise
    // after 1 s, doubling up to 30 s (time base). Returns whether it answered.
    // Waits run the event loop. On a port chosen in the menu the two-way
    // interface's contact writes no line of its own (the menu writes one).
    enum class Occasion { Start, PortChanged };
    bool contact(int16_t port, Occasion occasion = Occasion::Start);
    // Releases the port and ends the retries; nothing is sent until the next
    // contact. Used at exit and before another program takes the port.
    void release();

    // The interface answers; commands go out.
    bool ready() const;
    // What the program knows of the interface: found (it answers), not found
    // (never reached since the last contact), lost (it went away after it
    // was found) or not answering (its port is there but it stopped
    // answering). Every state but found is being looked for again.
    enum class Link { NotFound, Found, Lost, NotAnswering };
    Link link() const;
    // The state in words for status lines and the page: "found", "not
    // found", "lost", "not answering".
    static QString linkText(Link link);
    // Looking for a lost or missing interface in the background.
    bool supervising() const;
    // Contacts tried in the background since the interface was last lost or
    // not found.
    int retries() const;

    // The one command path for every front end.
    CommandPath& commands();
    // The same, with what the state checks need of it.
    LineCommands& lines();
    // Commands taken and not yet confirmed or given up by the interface.
    int commandsWaiting() const;
    // The end of the run (see LineCommands::finish): no more commands are
    // taken, those taken get up to maxMs to go out, then runs then.
    void finish(qint64 maxMs, std::function<void()> then);

    // The two-way engine; the window's controlcm1 is a face over it. It
    // exists whatever the kind: the CP290's exchanges release it first.
    pandrel::Engine& engine();
    // The CP290's serial component.
    MSComm& cp290Port();

    // Where the CP290 driver's messages for the user go (no reply, port in
    // use, invalid port). Unset: an event-log line each. The window shows
    // them in a message box.
    void setNotify(std::function<void(const QString&)> notify);

  signals:
    // ready() changed (the window's status strip follows it).
    void readyChanged(bool ready);
    // link() changed.
    void linkChanged(core::Interface::Link link);

  private:
    // why: the occasion, for commands that were waiting; refusal: why new
    // ones are refused while not ready ("" the usual reason).
    void setReady(bool ready, const QString& why, const QString& refusal = {});
    void setLink(Link link);
    void reportPortAccess();

    struct Private;
    std::unique_ptr<Private> d;
};

}  // namespace core
