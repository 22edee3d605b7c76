#include "clicklabel.h"

#include <QMouseEvent>

#include "twips.h"

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {
    setMouseTracking(true);
    setAutoFillBackground(true);
}

int ClickLabel::buttonCode(Qt::MouseButton b) {
    switch (b) {
        case Qt::LeftButton:
            return 1;
        case Qt::RightButton:
            return 2;
        case Qt::MiddleButton:
            return 4;
        default:
            return 0;
    }
}

void ClickLabel::setBackColor(uint32_t value) {
    back_ = value;
    QPalette p = palette();
    p.setColor(QPalette::Window, ui::color(value, QPalette()));
    setPalette(p);
}

void ClickLabel::setForeColor(uint32_t value) {
    fore_ = value;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, ui::color(value, QPalette()));
    setPalette(p);
}

void ClickLabel::mousePressEvent(QMouseEvent* e) {
    e->accept();
    if (e->button() == Qt::LeftButton) pressedLeft_ = true;
    emit mouseDown(buttonCode(e->button()), e->position().toPoint());
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* e) {
    e->accept();
    const bool click =
        e->button() == Qt::LeftButton && pressedLeft_ && rect().contains(e->position().toPoint());
    if (e->button() == Qt::LeftButton) pressedLeft_ = false;
    emit mouseUp(buttonCode(e->button()), e->position().toPoint());
    if (click) emit clicked();
}

void ClickLabel::mouseMoveEvent(QMouseEvent* e) {
    e->accept();
    int code = 0;
    if (e->buttons() & Qt::LeftButton) code |= 1;
    if (e->buttons() & Qt::RightButton) code |= 2;
    if (e->buttons() & Qt::MiddleButton) code |= 4;
    emit mouseMove(code, e->position().toPoint());
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* e) {
    // A double click is a second press for the handlers.
    mousePressEvent(e);
}
