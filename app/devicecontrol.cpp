// Form1: the click pad, the all-units strip and the dim slider. The handlers
// call the service's pad; the labels and the slider follow what it reports.
#include <QSlider>

#include "clicklabel.h"
#include "mainwindow.h"
#include "pad.h"
#include "service.h"
#include "twips.h"
#include "x10.h"

void Form1::Label1_MouseDown(int Index, int Button, int Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Index < 0 || Index >= int(Label1.size())) return;
    if (Button == 1)
        service_->pad().unitOn(Index + 1, state::Source::Click);
    else if (Button == 2)
        service_->pad().unitOff(Index + 1, state::Source::Click);
}

void Form1::Label1_MouseMove(int Index, int Button, int Shift, float X, float Y) {
    Q_UNUSED(Button);
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Index < 0 || Index >= int(Label1.size())) return;
    for (ClickLabel* l : Label1) l->setBackColor(ui::kSilver);
    Label1[Index]->setBackColor(ui::kGrey);
    Label1[Index]->setToolTip(unitToolTip(Index));
}

void Form1::Label3_MouseDown(int Button, int Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Button == 1) service_->pad().houseFunction(x10::AllLightsOn, state::Source::Click);
    if (Button == 2) service_->pad().houseFunction(x10::AllUnitsOff, state::Source::Click);
}

void Form1::Slider1_Change() {
    service_->pad().moveSlider(Slider1->value(), state::Source::Click);
}
