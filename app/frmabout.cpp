#include "frmabout.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "dialogs.h"
#include "programicon.h"
#include "programinfo.h"
#include "sysinfo.h"

frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(375, 203);

    picIcon = new QLabel(this);
    picIcon->setPixmap(programIcon().pixmap(32, 32));
    picIcon->setGeometry(16, 16, 32, 32);

    lblTitle = new QLabel(this);
    lblTitle->setGeometry(70, 16, 290, 22);
    QFont big = lblTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    lblTitle->setFont(big);

    lblVersion = new QLabel(this);
    lblVersion->setGeometry(70, 42, 290, 18);

    lblDescription = new QLabel(this);
    lblDescription->setGeometry(70, 62, 290, 78);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblDescription->setWordWrap(true);

    // The etched rule: a grey line with a white one beneath it.
    auto* ruleDark = new QFrame(this);
    ruleDark->setGeometry(6, 146, 363, 1);
    ruleDark->setStyleSheet(QStringLiteral("background: #808080;"));
    auto* ruleLight = new QFrame(this);
    ruleLight->setGeometry(6, 147, 363, 1);
    ruleLight->setStyleSheet(QStringLiteral("background: #ffffff;"));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(280, 158, 84, 26);
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton(QStringLiteral("&System Info..."), this);
    cmdSysInfo->setGeometry(280 - 96, 158, 90, 26);

    connect(cmdOK, &QPushButton::clicked, this, &QDialog::close);
    connect(cmdSysInfo, &QPushButton::clicked, this, [] { StartSysInfo(); });

    // Filled when the box loads.
    setWindowTitle(QStringLiteral("About ") + programinfo::kTitle);
    lblTitle->setText(programinfo::kTitle);
    lblVersion->setText(versionText(programinfo::kVersionMajor, programinfo::kVersionMinor,
                                    programinfo::kVersionPatch));
    lblDescription->setText(QStringLiteral("\n") + programinfo::kNotice);
}

QString frmAbout::versionText(int major, int minor, int revision) {
    return QStringLiteral("Version %1.%2.%3").arg(major).arg(minor).arg(revision);
}

void frmAbout::StartSysInfo() {
    if (platform::startSystemInformation()) return;
    platform::Dialogs::current().message(
        QStringLiteral("System Information Is Unavailable At This Time"), QString(),
        platform::MsgIcon::None);
}
