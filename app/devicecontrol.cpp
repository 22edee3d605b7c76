// Form1: the click pad, the all-units strip and the dim slider.
#include <QSlider>

#include "appstate.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "mainwindow.h"
#include "numtext.h"
#include "twips.h"

namespace {
// X10 functions the click pad sends.
constexpr int16_t kAllUnitsOff = 0;
constexpr int16_t kAllLightsOn = 1;
constexpr int16_t kOn = 2;
constexpr int16_t kOff = 3;
constexpr int16_t kDim = 4;
constexpr int16_t kBright = 5;
}  // namespace

void Form1::Label1_MouseDown(int Index, int Button, int Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Index < 0 || Index >= int(Label1.size())) return;
    AppState& st = appState();
    const int16_t unit = static_cast<int16_t>(Index + 1);
    if (Button == 1) {
        Label1[Index]->setForeColor(ui::kGreen);
        if (st.bCP290)
            CP290Command(*link_, st.sHouseCode, unit, kOn);
        else
            controlcm1->Exec(st.sHouseCode, platform::blankNumber(unit), kOn);
        st.iLastUnit = unit;
        // The command goes out first, so a dim triggered by this value
        // change addresses the new unit.
        Slider1->setVisible(true);
        Slider1->setValue(10);
    } else if (Button == 2) {
        Label1[Index]->setForeColor(ui::kBlack);
        if (st.bCP290)
            CP290Command(*link_, st.sHouseCode, unit, kOff);
        else
            controlcm1->Exec(st.sHouseCode, platform::blankNumber(unit), kOff);
        st.iLastUnit = 0;
        Slider1->setVisible(false);
    }
}

void Form1::Label1_MouseMove(int Index, int Button, int Shift, float X, float Y) {
    Q_UNUSED(Button);
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Index < 0 || Index >= int(Label1.size())) return;
    for (ClickLabel* l : Label1) l->setBackColor(ui::kSilver);
    Label1[Index]->setBackColor(ui::kGrey);
    Label1[Index]->setToolTip(QStringLiteral("Click Left Mouse Button for ON, Right for OFF"));
}

void Form1::Label3_MouseDown(int Button, int Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    AppState& st = appState();
    int16_t function = -1;
    if (Button == 1) function = kAllLightsOn;
    if (Button == 2) function = kAllUnitsOff;
    if (function < 0) return;
    // The CP290 frame always names a unit: all-units functions go to unit 2.
    if (st.bCP290)
        CP290Command(*link_, st.sHouseCode, 2, function);
    else
        controlcm1->Exec(st.sHouseCode, QStringLiteral("0"), function);
}

void Form1::Slider1_Change() {
    AppState& st = appState();
    const int V = Slider1->value();
    if (st.iLastUnit != 0) {
        const QString unit = platform::blankNumber(st.iLastUnit);
        if (st.bCP290) {
            // The CP290 takes the absolute level, also when it is unchanged.
            CP290Dim(*link_, st.sHouseCode, st.iLastUnit, double(V));
        } else if (V > st.iLastDim) {
            controlcm1->Exec(st.sHouseCode, unit, kBright, std::abs(st.iLastDim - V) * 10);
        } else if (V < st.iLastDim) {
            controlcm1->Exec(st.sHouseCode, unit, kDim, std::abs(st.iLastDim - V) * 10);
        } else {
            controlcm1->Exec(st.sHouseCode, unit, kDim, 0);
        }
    }
    st.iLastDim = static_cast<int16_t>(V);
    st.iDimUnit = st.iLastUnit;
    Slider1->setToolTip(platform::blankNumber(V * 10) + QStringLiteral(" Bright"));
}
