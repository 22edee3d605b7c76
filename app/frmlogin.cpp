#include "frmlogin.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dialogs.h"
#include "programicon.h"

frmLogin::frmLogin(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(QStringLiteral("Login"));
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(260, 110);

    lblLabels[0] = new QLabel(QStringLiteral("New Password:"), this);
    lblLabels[0]->setGeometry(8, 12, 90, 20);
    txtPAS = new QLineEdit(this);
    txtPAS->setGeometry(100, 10, 150, 22);
    lblLabels[1] = new QLabel(QStringLiteral("Confirmation:"), this);
    lblLabels[1]->setGeometry(8, 42, 90, 20);
    txtCon = new QLineEdit(this);
    txtCon->setGeometry(100, 40, 150, 22);
    for (QLineEdit* e : {txtPAS, txtCon}) {
        e->setEchoMode(QLineEdit::Password);
        // Every typed character shows as "*".
        e->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    }

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(60, 74, 90, 26);
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(160, 74, 90, 26);

    connect(cmdOK, &QPushButton::clicked, this, &frmLogin::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmLogin::cmdCancel_Click);
    txtPAS->setFocus();
}

void frmLogin::cmdOK_Click() {
    if (txtPAS->text() == txtCon->text()) {
        emit passwordChosen(txtCon->text());
        accept();
        return;
    }
    platform::Dialogs::current().message(
        QStringLiteral("Passwords Do Not Match, Please Try Again."), QString(),
        platform::MsgIcon::Critical);
    txtPAS->clear();
    txtCon->clear();
    txtPAS->setFocus();
}

void frmLogin::cmdCancel_Click() {
    reject();
}
