#pragma once
// pandrel::Engine: the engine that drives the two-way X10 interface on a
// serial port. A QObject without widgets: it runs under QCoreApplication (a
// daemon, a command-line tool) as well as under a window. controlcm, the
// embeddable control, is a thin face over one Engine.
//
// A program without a window links pandrel::engine (libpandrel-engine, which
// needs Qt Core only) and uses the engine directly:
//
//     QCoreApplication app(argc, argv);
//     pandrel::Engine engine;
//     engine.setComport(1);                      // /dev/ttyS0 (or the mapping in use)
//     QObject::connect(&engine, &pandrel::Engine::X10Event, ...);
//     if (engine.Init() != 0) return 1;          // 0: the interface answered
//     engine.Exec(QStringLiteral("A"), QStringLiteral("5"), 2);  // 2: ON (x10.h names them)
//     return app.exec();
//
// A program that holds its commands as numbers uses the typed face instead:
// send() takes a ::x10::Command under an id of the caller's,
// commandOutcome reports that id once, and heard reports what the interface
// heard as a ::x10::HeardEvent. No text is made or read on that way.
//
// The other members, results, signals and timing are those of controlcm (see
// controlcm.h): everything runs on the thread that owns the engine, and every
// wait keeps that thread's event loop running so that port notifications and
// timer ticks are served inside it. An idle engine arms no timer: the 250 ms
// queue timer runs only while queued commands wait for the line, so an idle
// daemon is woken only by what arrives on the port.

#include <QObject>
#include <QString>
#include <QVariant>
#include <cstdint>

#include "x10.h"

struct controlcmProbe;

namespace pandrel {

// How a command given to Engine::send ended.
enum class Outcome : unsigned char {
    Sent,     // the interface confirmed every frame
    GivenUp,  // it went to the line and was not confirmed, or was cut short there
    Dropped,  // it never went to the line (not open, queue full, emptied by Init or a lost port)
};

class Engine : public QObject {
    Q_OBJECT
  public:
    // Name of the named event when none is set.
    static constexpr const char* DefaultEventName = "lossmer_pandrel_event";

    explicit Engine(QObject* parent = nullptr);
    ~Engine() override;  // runs ResetCM

    // Properties (a new comport takes effect at the next Init).
    int16_t comport() const;
    void setComport(int16_t port);
    QString EventName() const;
    void setEventName(const QString& name);
    int16_t SendRetryCount() const;
    void setSendRetryCount(int16_t count);

    // Opens the port and looks for the interface: 0 found, 1 nothing
    // answered, otherwise the serial error number (8002, 8005, 8010).
    int16_t Init();

    // Sends a command now; 0 when sent (or nothing to send), 1 when every
    // attempt failed or another exchange is in progress. 0 before Init.
    int16_t ExecWait(QString& housecode, QString& devicecode, int16_t& command, int16_t& brightness,
                     int16_t& data1, int16_t& data2);
    int16_t ExecWait(const QString& housecode, const QString& devicecode, int command,
                     int brightness = 0, int data1 = 0, int data2 = 0);

    // Queues a command (at most 50 waiting); CommandDone reports its outcome.
    void Exec(QString& housecode, QString& devicecode, int16_t& command, int16_t& brightness,
              int16_t& data1, int16_t& data2);
    void Exec(const QString& housecode, const QString& devicecode, int command, int brightness = 0,
              int data1 = 0, int data2 = 0);

    // Queues a command under the caller's id (the queue of Exec, at most 50
    // waiting): commandOutcome reports that id exactly once, possibly before
    // send returns. CommandDone is not raised for it.
    void send(quint64 id, const ::x10::Command& command);

    // Closes the port and the named event. Never fails.
    void ResetCM();

    // The oldest received event as "devices:command:extra", or "" when none
    // arrives within timeout milliseconds.
    QString GetEvent(int32_t& timeout);
    QString GetEvent(const int32_t& timeout = 0);

    // Erases the interface's memory. Returns an empty value.
    QVariant ClearMem();

  signals:
    void X10Event(QString& devices, QString& housecode, int16_t& command, QString& extra,
                  QString& data2);
    void X10SingleEvent(QString& devices, QString& housecode, int16_t& command, QString& extra,
                        QString& data2);
    void PortLost(const QString& reason);
    void CommandDone(const QString& housecode, const QString& devicecode, int16_t command,
                     int16_t brightness, bool sent);
    // The end of a command given to send(); reason says in words why it was
    // not sent ("" when it was).
    void commandOutcome(quint64 id, pandrel::Outcome outcome, const QString& reason);
    // What the interface heard, raised with X10Event (a macro report too).
    void heard(const ::x10::HeardEvent& event);
    // The interface stopped answering: a handshake step of a command drew no
    // byte at all within its 8 s, and a status request right after drew none
    // within 1 s either. That command was given up with reason (commandOutcome
    // GivenUp, CommandDone false, ExecWait 1) without its remaining attempts;
    // every command still queued is given up with it, after this signal
    // (commandOutcome Dropped, CommandDone false), rather than sent late. The
    // port stays open and the engine ready: a later command is tried again,
    // and Init looks for the interface afresh. reason: "Interface not
    // answering". An interface that answers the status request keeps its
    // command's retries, and nothing is raised.
    void stoppedAnswering(const QString& reason);

  private:
    struct Private;
    friend struct ::controlcmProbe;  // test access (controlcm_probe.h)
    Private* d;
};

}  // namespace pandrel
