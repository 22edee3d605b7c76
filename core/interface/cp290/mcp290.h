#pragma once
// mCP290: the CP290 driver, plain procedures over single exchanges. For every
// exchange the driver makes the two-way control release the serial port,
// opens the port at 600 baud, writes one frame, waits for the reply, reads
// it and closes the port again. It keeps no state between exchanges; what it
// needs from the program is passed in as a Cp290Link. Qt Core only: the
// driver shows nothing itself, so a program without a window can use it.

#include <QString>
#include <cstdint>
#include <functional>

class MSComm;

struct Cp290Link {
    MSComm& MSComm1;                                // the CP290's serial component
    std::function<void()> releaseControl;           // the two-way control's ResetCM
    std::function<int16_t()> iComPort;              // the port number in use
    std::function<void(const QString&)> Log_Event;  // one event-log line
    // A message the user must see: no reply, port in use, invalid port. The
    // window shows it in a message box; a program without a window logs it.
    // Unset, the message goes to Log_Event as it is.
    std::function<void(const QString& text)> notify;
};

// Looks for the interface: 0 found (or clock being set), 1 not found or port error.
int16_t CP290Detect(Cp290Link& link);
// Sets the interface's clock to the computer's clock, then detects again.
void CP290SetClock(Cp290Link& link);
// One direct command: function is the X10 function number of ALL UNITS OFF,
// ALL LIGHTS ON, ON or OFF (x10::AllUnitsOff ... Off, 0 to 3).
// Returns true when the interface answered with its reply byte. While a
// detection or clock setting waits (its wait handles window events), a
// direct command is refused with an event-log line and the port left alone;
// CP290Dim likewise.
bool CP290Command(Cp290Link& link, QString& housecode, int16_t unit, int16_t function);
// Whether a detection or clock setting is running (its wait handles window
// events); a direct command or dim given now is refused.
bool CP290Busy();
// Dims a unit to a level 0 to 10 (10 = full brightness). Returns true when
// the interface answered with its reply byte.
bool CP290Dim(Cp290Link& link, QString& housecode, int16_t unit, double level);

// House byte (the 4-bit X10 code times 16) to its letter; "" for other values.
QString ByteToHouseCode(int value);
// Day bit (Monday 0x01 ... Sunday 0x40) to its name; "" for other values.
QString DayBitToName(int bit);
// House letter to its house byte; upper-cases the caller's string; 0 for others.
int16_t HouseCodeToByte(QString& housecode);
// Unit index 0 to 15 to its bit in the unit byte; 0 for other indexes.
int16_t UnitToBitmap(int index);
// Dim code 0 (full) to 15 (dimmest) for a level; 0 for levels other than 0..10.
int DimCodeForLevel(double level);
