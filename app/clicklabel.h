#pragma once
// A label that reports the mouse like a form's label control: button codes
// 1 left, 2 right, 4 middle, and a click (press and release of the left
// button over it). It takes every mouse event it gets, so a press or release
// over a label never reaches the window beneath it.

#include <QLabel>

class ClickLabel : public QLabel {
    Q_OBJECT
  public:
    explicit ClickLabel(QWidget* parent = nullptr);

    // Button code of a Qt button (0 for others).
    static int buttonCode(Qt::MouseButton b);

    // Sets the background colour (0x00BBGGRR) and remembers it.
    void setBackColor(uint32_t value);
    uint32_t backColor() const { return back_; }
    void setForeColor(uint32_t value);
    uint32_t foreColor() const { return fore_; }

  signals:
    void mouseDown(int button, QPoint pos);
    void mouseUp(int button, QPoint pos);
    void mouseMove(int button, QPoint pos);
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

  private:
    uint32_t back_ = 0;
    uint32_t fore_ = 0x80000008;
    bool pressedLeft_ = false;
};
