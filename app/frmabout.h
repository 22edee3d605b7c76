#pragma once
// The about box: title, version, notice lines, OK and "&System Info...".
// Shown without owner and without modality; one instance at a time.

#include <QDialog>

class QLabel;
class QPushButton;

class frmAbout : public QDialog {
    Q_OBJECT
  public:
    explicit frmAbout(QWidget* parent = nullptr);

    // "Version " and major.minor.revision of a version stamp.
    static QString versionText(int major, int minor, int revision);

    // Starts the system-information program, or says it is unavailable.
    static void StartSysInfo();

    QLabel* picIcon;
    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblDescription;
    QPushButton* cmdOK;
    QPushButton* cmdSysInfo;
};
