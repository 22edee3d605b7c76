// The click pad of the base house: its steps send through the command path and
// report what the window paints.
#include "pad.h"

#include "commandpath.h"
#include "x10.h"

namespace core {

Pad::Pad(CommandPath& path, std::function<int()> house, QObject* parent)
    : QObject(parent), path_(path), house_(std::move(house)) {}

void Pad::reset() {
    lastUnit_ = 0;
    shown_ = false;
    level_ = 0;
    lastDim_ = 0;
    dimUnit_ = 0;
    // The slider starts at full brightness; the dim step runs once with no
    // unit selected, which only records the level.
    setLevel(10, state::Source::Click);
}

void Pad::unitOn(int unit, state::Source source) {
    if (unit < 1 || unit > 16) return;
    emit unitSwitched(unit, true);
    const state::Address a{house_(), unit};
    path_.switchUnit(a, true, source);
    lastUnit_ = unit;
    // The command goes out first, so a dim triggered by this level change
    // addresses the new unit. A module that does not dim (an appliance)
    // only moves the slider: the ON was all it takes.
    shown_ = true;
    if (level_ == 10) {
        emit sliderChanged(level_, shown_);
    } else if (!path_.refusalFor(a, x10::Bright).isEmpty()) {
        level_ = lastDim_ = 10;
        dimUnit_ = unit;
        emit sliderChanged(level_, shown_);
    } else {
        setLevel(10, source);
    }
}

void Pad::unitOff(int unit, state::Source source) {
    if (unit < 1 || unit > 16) return;
    emit unitSwitched(unit, false);
    path_.switchUnit(state::Address{house_(), unit}, false, source);
    lastUnit_ = 0;
    shown_ = false;
    emit sliderChanged(level_, shown_);
}

void Pad::houseFunction(int function, state::Source source) {
    path_.houseFunction(house_(), function, source);
}

void Pad::moveSlider(int level, state::Source source) {
    setLevel(level, source);
}

void Pad::dimUnit(int unit, int level, state::Source source) {
    if (unit < 1 || unit > 16) return;
    lastUnit_ = unit;
    shown_ = true;
    // A change of level runs the dim step at once; the unit it acted on is
    // read only afterwards, so the step does not run twice.
    if (level != level_)
        setLevel(level, source);
    else
        emit sliderChanged(level_, shown_);
    if (unit != dimUnit_) dimSelected(source);
}

void Pad::setLevel(int level, state::Source source) {
    level_ = level;
    dimSelected(source);
    emit sliderChanged(level_, shown_);
}

void Pad::dimSelected(state::Source source) {
    if (lastUnit_ != 0)
        path_.sliderDim(state::Address{house_(), lastUnit_}, lastDim_, level_, source);
    lastDim_ = level_;
    dimUnit_ = lastUnit_;
}

}  // namespace core
