#include "ControllerApp.h"

#include <QApplication>

#include "ControllerDlg.h"
#include "VarnelVersion.h"

bool CControllerApp::InitInstance() {
    QApplication::setApplicationName(QStringLiteral("Varnel"));
    QApplication::setApplicationVersion(QString::fromLatin1(varnel::kVersion));
    // Lets the desktop match the window to varnel.desktop and its icon.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(varnel::kAppId));

    CControllerDlg dialog;
    dialog.exec();
    return false;
}
