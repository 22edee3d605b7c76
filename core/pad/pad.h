#pragma once
// core::Pad: the click pad of the base house as the program keeps it, with or
// without a window: a unit switched on becomes the unit the dim slider acts
// on, the slider's level (0..10) and whether it is shown. The window's
// labels, strip and slider call it and paint what it reports; command words
// drive the same steps, so a remote word moves the window's slider because
// the pad's level changed.
//
// The steps are those of the design's handlers: switching a unit on sends ON,
// selects the unit and moves the slider to 10, which dims the new unit when
// the level was elsewhere; moving the slider sends the difference to the
// selected unit (see CommandPath::sliderDim).

#include <QObject>
#include <functional>

#include "state/statetable.h"

class CommandPath;

namespace core {

class Pad : public QObject {
    Q_OBJECT
  public:
    // house: the base house position 1..16 at the moment of each step.
    Pad(CommandPath& path, std::function<int()> house, QObject* parent = nullptr);

    // The state at start-up: no unit selected, slider hidden at 10.
    void reset();

    // A unit label: button 1 on (and selected), button 2 off.
    void unitOn(int unit, state::Source source);
    void unitOff(int unit, state::Source source);
    // The all-units strip and the word "alluf".
    void houseFunction(int function, state::Source source);
    // The slider moved to level (0..10): the selected unit follows (DIM 0 on
    // the two-way interface when the level did not change).
    void moveSlider(int level, state::Source source);
    // A dim word: selects unit, moves the slider to level; the unit follows
    // even when the slider was there already for another unit.
    void dimUnit(int unit, int level, state::Source source);

    // Selects a unit for the slider without sending anything (a selection a
    // front end restores).
    void select(int unit) {
        if (unit >= 0 && unit <= 16) lastUnit_ = unit;
    }

    int selectedUnit() const { return lastUnit_; }
    int level() const { return level_; }
    bool sliderShown() const { return shown_; }

  signals:
    // A unit was switched through the pad (the window colours its label).
    void unitSwitched(int unit, bool on);
    // The slider's level or visibility changed.
    void sliderChanged(int level, bool shown);

  private:
    void setLevel(int level, state::Source source);
    void dimSelected(state::Source source);

    CommandPath& path_;
    std::function<int()> house_;
    int lastUnit_ = 0;  // unit the slider acts on; 0 = none
    int level_ = 0;     // the slider's level
    int lastDim_ = 0;   // the level at the end of the last dim step
    int dimUnit_ = 0;   // the selected unit at that moment
    bool shown_ = false;
};

}  // namespace core
