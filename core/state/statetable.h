#pragma once
// What every module is doing, as far as the program can know: one entry for
// each of the 256 addresses. It follows the commands this program sends once
// the interface has confirmed them, and the traffic heard on the powerline.
// Everything runs on the user-interface thread.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <optional>
#include <vector>

#include "address.h"
#include "modules.h"
#include "reply.h"
#include "x10.h"

namespace state {

enum class Power : unsigned char { Unknown, On, Off };
// Where the last change came from.
enum class Source : unsigned char { None, Click, Remote, Powerline, Mqtt, Schedule, Web };

// Whether a module that can answer (a two-way module) confirmed its state.
enum class Answer : unsigned char {
    Unasked,       // tracked from what was sent and heard only
    Confirmed,     // the module's own answer to a status request
    NotAnswering,  // asked (and the command sent again), no answer came
};

struct ModuleState {
    Power power = Power::Unknown;
    int level = -1;  // brightness in percent 0..100; -1 while it cannot be known
    QDateTime changed;
    Source source = Source::None;
    Answer answer = Answer::Unasked;
    // A two-way lamp's load as it last said: 1 connected, 0 none (no bulb
    // or a burnt-out one), -1 not known.
    signed char load = -1;
    // answer and load are facts of this run: the state file keeps power,
    // level, time and source only, and the checks at start ask again.
};

// One event heard on the powerline, decoded once for every reader (event-log
// line, click-pad labels, the bridge).
struct HeardEvent {
    using Kind = x10::HeardEvent::Kind;
    Kind kind = Kind::Function;
    int house = 0;           // position 1..16 (A = 1); 0 for a macro report
    std::vector<int> units;  // the addressed units of that house, in order
    int function = -1;       // x10::Function; -1 for a macro report
    int amount = -1;         // DIM and BRIGHT: percent; -1 otherwise
    int macro = -1;          // macro report: the two bytes, the first in the high byte
};

class StateTable : public QObject {
    Q_OBJECT
  public:
    explicit StateTable(QObject* parent = nullptr);

    // Kinds of the modules; ALL LIGHTS ON / OFF act on lamps only.
    void setModules(const ModuleList& modules);
    const ModuleList& modules() const { return modules_; }

    // The state of one module; an address that names no module (a whole
    // house, house 0) is always unknown.
    const ModuleState& state(Address a) const;

    // A function (x10::Function) applied to units of one house
    // (position 1..16): ALL UNITS OFF, ALL LIGHTS ON, ON, OFF, DIM, BRIGHT,
    // ALL LIGHTS OFF, the preset dims, STATUS ON, STATUS OFF; others change
    // nothing. amount is the
    // percent of DIM and BRIGHT, applied relative to the tracked level and
    // clamped to 0..100 (a DIM or BRIGHT on a lamp whose level is unknown or
    // that is off starts from full brightness, as lamp modules do). An empty
    // units list means the units of that house addressed last.
    void apply(int house, const std::vector<int>& units, int function, int amount, Source source);
    // Power and level of one module after a function under the rules of
    // apply (lamp: listed as a lamp; dims: a lamp or an unlisted address).
    // The command path uses it to foresee the level of queued commands.
    static ModuleState after(const ModuleState& s, int function, int amount, bool lamp, bool dims);
    // An absolute level (the CP290's dim): 0..100 percent.
    void setLevel(Address a, int percent, Source source);

    // What the interface heard: applies it to the modules of the function's
    // house and emits heard. An EXTENDED CODE preset level sets its unit's
    // level; a module's reply (the extended status reply, STATUS ON, STATUS
    // OFF) is recorded as recordReply does.
    void applyHeard(const x10::HeardEvent& event);
    // A module's own word on its state: power and level as it says (a reply
    // without a level keeps a lamp's level as ON does), its load when it
    // says, and, for a two-way module, answer = Confirmed.
    void recordReply(const ModuleReply& reply);
    // Whether a two-way module answered when asked; emits changed when it
    // differs. Power and level stay as they are.
    void setAnswer(Address a, Answer answer);

    // The state file: "state" in this instance's state folder
    // (platform::stateFolder(), ~/.local/state/veldrin/ for the per-user
    // settings file).
    static QString defaultPath();
    // Reads the file; a missing, unreadable or damaged one leaves every
    // entry unknown (the last two say so through problem). Only a regular
    // file of at most 1 MiB is read.
    void load(const QString& path);
    // Replaces the file whole or not at all (a link, a FIFO or a folder at
    // path is left alone); false, with the reason in error, when it could
    // not, and the old file then stays as it was.
    bool save(const QString& path, QString* error = nullptr) const;
    // Saves to path within 200 ms of a change (the changes of those 200 ms
    // together), and at flush().
    // A failed save is reported through problem once until a save succeeds.
    void setAutosave(const QString& path);
    void flush();

    // The X10 function name used in event-log lines ("ALL UNITS OFF", "ON").
    static QString functionName(int function);
    // The event-log text of a heard event without its "Received " prefix:
    // "A5 ON", "A1 A5 OFF", "A5 DIM 30%", "A ALL UNITS OFF", "macro 12F".
    static QString describe(const HeardEvent& event);
    // The text of a macro report's two bytes ("12F" for 0x012F).
    static QString macroText(int bytes);
    // The event-log line of a heard event: "Received A5 ON".
    static QString heardLine(const HeardEvent& event);
    // The name of a source as the state file stores it ("click", "web").
    static QString sourceName(Source source);

  signals:
    void changed(state::Address address);
    void heard(const state::HeardEvent& event);
    // An event-log line about the state file: unreadable, damaged, not saved.
    void problem(const QString& text);

  private:
    std::array<ModuleState, 256> table_{};
    ModuleList modules_;
    // Changes one entry; emits changed and arms the autosave when it differs.
    void set(Address a, Power power, int level, Source source);
    void applyExtended(const x10::HeardEvent& event);
    // Whether DIM and BRIGHT act on a module: lamps and unlisted addresses.
    bool dims(Address a) const;
    void scheduleSave();
    static std::optional<std::array<ModuleState, 256>> parse(const QByteArray& data);

    // Per house (index position - 1): the units addressed last (a function without addresses
    // acts on them, as the modules on the line do).
    std::array<std::vector<int>, 16> addressed_{};
    QString autosavePath_;
    QTimer autosaveTimer_;
    bool dirty_ = false;
    bool saveFailing_ = false;
};

}  // namespace state
