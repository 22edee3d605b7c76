#pragma once
// controlcm: the embeddable control that drives the two-way X10 interface on
// a serial port. A host window carries one instance; everything runs on the
// host's user-interface thread, and every wait keeps the event loop running
// so that port notifications and timer ticks are served inside it.
//
// Parameters marked in/out are references: the control writes back clamped or
// converted values (a brightness above 100, a PRESET DIM command turned into
// 11). The value overloads are for callers that do not need the write-backs.
//
// The control is a face: the work is done by one pandrel::Engine (engine.h),
// a QObject without widgets. A program without a window (a daemon under
// QCoreApplication) uses pandrel::Engine directly and links the target
// pandrel::engine of find_package(pandrel) instead of pandrel::pandrel; it
// then needs neither Qt Widgets nor Qt Gui at build or run time. The engine
// has the same members, results and signals as this control, without the
// dispatch identifiers and Invoke, and a typed face of its own (send,
// commandOutcome, heard) that takes and reports numbers rather than texts.

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QWidget>
#include <cstdint>

#include "engine.h"

class controlcm : public QWidget {
    Q_OBJECT
  public:
    // Identity of the control, as a host that looks it up by name sees it.
    static constexpr const char* TypeLibraryName = "pandrel";
    static constexpr const char* HelpString = "Lossmer Pandrel Control";
    static constexpr const char* ClassName = "controlcm";
    static constexpr const char* ProgId = "pandrel.controlcm";
    static constexpr const char* DefaultEventName = pandrel::Engine::DefaultEventName;

    // Dispatch identifiers of the members.
    enum DispId : int32_t {
        DISPID_comport = 0x68030000,
        DISPID_EventName = 0x68030001,
        DISPID_SendRetryCount = 0x68030002,
        DISPID_GetEvent = 0x6003000E,
        DISPID_ExecWait = 0x6003000F,
        DISPID_Exec = 0x60030010,
        DISPID_Init = 0x60030011,
        DISPID_ClearMem = 0x6003001A,
        DISPID_ResetCM = 0x60030028,
        DISPID_Initx = 0x60030034,
        DISPID_X10Event = 1,
        DISPID_X10SingleEvent = 2,
    };

    explicit controlcm(QWidget* parent = nullptr);
    // A face over an engine that a program owns already (its core drives the
    // same interface without a window): members and signals pass through to
    // that engine, and destroying the control leaves the engine and its port
    // alone.
    explicit controlcm(pandrel::Engine& engine, QWidget* parent = nullptr);
    ~controlcm() override;  // runs ResetCM on an engine of its own

    // Properties (plain get and set; a new comport takes effect at the next Init).
    int16_t comport() const;
    void setComport(int16_t port);
    QString EventName() const;
    void setEventName(const QString& name);
    int16_t SendRetryCount() const;
    void setSendRetryCount(int16_t count);

    // Opens the port and looks for the interface: 0 found, 1 nothing
    // answered, otherwise the serial error number (8002, 8005, 8010).
    int16_t Init();
    int16_t Initx();

    // Sends a command now; 0 when sent (or nothing to send), 1 when every
    // attempt failed, or at once when a silent attempt is followed by an
    // unanswered status request (the interface stopped answering; the
    // queued commands are then given up as well). Does nothing and returns 0
    // before a successful Init.
    // Exchanges never interleave on the line: called from a handler that runs
    // inside another exchange's wait, it sends nothing and returns 1.
    int16_t ExecWait(QString& housecode, QString& devicecode, int16_t& command, int16_t& brightness,
                     int16_t& data1, int16_t& data2);
    int16_t ExecWait(const QString& housecode, const QString& devicecode, int command,
                     int brightness = 0, int data1 = 0, int data2 = 0);

    // Queues a command for the 250 ms timer (at most 50 waiting).
    void Exec(QString& housecode, QString& devicecode, int16_t& command, int16_t& brightness,
              int16_t& data1, int16_t& data2);
    void Exec(const QString& housecode, const QString& devicecode, int command, int brightness = 0,
              int data1 = 0, int data2 = 0);

    // Closes the port and the event handle; nothing is sent afterwards until
    // the next Init. Never fails.
    void ResetCM();

    // The oldest received event as "devices:command:extra", or "" when none
    // arrives within timeout milliseconds (0: do not wait). When it had to
    // wait for the event, the caller's timeout is set to 0.
    QString GetEvent(int32_t& timeout);
    QString GetEvent(const int32_t& timeout = 0);

    // Erases the interface's memory (49 memory-download frames). Returns an
    // empty value.
    QVariant ClearMem();

    // Late-bound access by dispatch identifier. args holds the parameters in
    // order; in/out parameters are written back into it. Returns 0, or
    // DISP_E_MEMBERNOTFOUND for an unknown identifier, DISP_E_BADPARAMCOUNT
    // for too few arguments.
    enum InvokeKind { Method, PropertyGet, PropertyPut };
    static constexpr uint32_t DISP_E_MEMBERNOTFOUND = 0x80020003u;
    static constexpr uint32_t DISP_E_BADPARAMCOUNT = 0x8002000Eu;
    uint32_t Invoke(int32_t dispid, InvokeKind kind, QVariantList& args,
                    QVariant* result = nullptr);

  signals:
    // Events (the five arguments by reference, in this order).
    void X10Event(QString& devices, QString& housecode, int16_t& command, QString& extra,
                  QString& data2);
    void X10SingleEvent(QString& devices, QString& housecode, int16_t& command, QString& extra,
                        QString& data2);
    // The device of the open port went away (an adapter was unplugged, a
    // pseudo-terminal closed). The port is closed already; an exchange in
    // progress stops, queued commands are dropped and the event handle is
    // closed. Until the next Init nothing reaches the line: ExecWait returns
    // 1 and queued commands fail silently. An Init in progress returns 1.
    // reason names the device and what happened. Init on a port whose device
    // is there works as usual.
    void PortLost(const QString& reason);
    // A queued (Exec) command has finished: sent is true when the interface
    // confirmed it (the last frame's exchange ended with the interface's
    // closing byte), false when it was given up after its retries or could
    // not be sent at all (an invalid house code, an Init that emptied the
    // queue, an interface that stopped answering). The arguments are those of the Exec call after
    // the control's write-backs. Not raised for ExecWait, which returns its result.
    void CommandDone(const QString& housecode, const QString& devicecode, int16_t command,
                     int16_t brightness, bool sent);

  private:
    friend struct controlcmProbe;  // test access (controlcm_probe.h)
    pandrel::Engine* engine_;
    bool ownsEngine_ = false;
};
