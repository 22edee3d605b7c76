// Form1: the click pad, the all-units strip and the dim slider.
#include <QSlider>

#include "appstate.h"
#include "clicklabel.h"
#include "controlcm.h"
#include "interfacecommands.h"
#include "mainwindow.h"
#include "numtext.h"
#include "twips.h"
#include "x10.h"

namespace x10 = veldrin::x10;

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
            path_->cp290Command(st.sHouseCode, unit, x10::On, path_->currentSource());
        else
            path_->exec(st.sHouseCode, platform::blankNumber(unit), x10::On, 0,
                        path_->currentSource());
        st.iLastUnit = unit;
        // The command goes out first, so a dim triggered by this value
        // change addresses the new unit.
        Slider1->setVisible(true);
        Slider1->setValue(10);
    } else if (Button == 2) {
        Label1[Index]->setForeColor(ui::kBlack);
        if (st.bCP290)
            path_->cp290Command(st.sHouseCode, unit, x10::Off, path_->currentSource());
        else
            path_->exec(st.sHouseCode, platform::blankNumber(unit), x10::Off, 0,
                        path_->currentSource());
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
    Label1[Index]->setToolTip(unitToolTip(Index));
}

void Form1::Label3_MouseDown(int Button, int Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    AppState& st = appState();
    int16_t function = -1;
    if (Button == 1) function = x10::AllLightsOn;
    if (Button == 2) function = x10::AllUnitsOff;
    if (function < 0) return;
    // The CP290 frame always names a unit: all-units functions go to unit 2.
    if (st.bCP290)
        path_->cp290Command(st.sHouseCode, 2, function, path_->currentSource());
    else
        path_->exec(st.sHouseCode, QStringLiteral("0"), function, 0, path_->currentSource());
}

void Form1::Slider1_Change() {
    AppState& st = appState();
    const int V = Slider1->value();
    if (st.iLastUnit != 0) {
        const QString unit = platform::blankNumber(st.iLastUnit);
        if (st.bCP290) {
            // The CP290 takes the absolute level, also when it is unchanged.
            path_->cp290Dim(st.sHouseCode, st.iLastUnit, double(V), path_->currentSource());
        } else if (V > st.iLastDim) {
            path_->exec(st.sHouseCode, unit, x10::Bright, std::abs(st.iLastDim - V) * 10,
                        path_->currentSource());
        } else if (V < st.iLastDim) {
            path_->exec(st.sHouseCode, unit, x10::Dim, std::abs(st.iLastDim - V) * 10,
                        path_->currentSource());
        } else {
            path_->exec(st.sHouseCode, unit, x10::Dim, 0, path_->currentSource());
        }
    }
    st.iLastDim = static_cast<int16_t>(V);
    st.iDimUnit = st.iLastUnit;
    Slider1->setToolTip(platform::blankNumber(V * 10) + QStringLiteral(" Bright"));
}
