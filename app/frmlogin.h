#pragma once
// The password dialog: the new connection password typed twice. When both
// entries agree exactly it becomes the connection password for the rest of
// the run (passwordChosen; the window hands it to the service).

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class frmLogin : public QDialog {
    Q_OBJECT
  public:
    explicit frmLogin(QWidget* parent = nullptr);

    void cmdOK_Click();
    void cmdCancel_Click();

    QLabel* lblLabels[2];
    QLineEdit* txtPAS;
    QLineEdit* txtCon;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

  signals:
    void passwordChosen(const QString& password);
};
