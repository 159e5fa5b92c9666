// The smallest dialog program worth the name, built like the panel: the yardstick that the
// panel's start-up time and peak memory are divided by.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "StartupProbe.h"

int main(int /*argc*/, char** /*argv*/) {
    static char programName[] = "minimal";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    FirstFrameProbe probe;
    application.installEventFilter(&probe);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Minimal"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("A minimal dialog"), &dialog));
    layout->addWidget(new QPushButton(QStringLiteral("OK"), &dialog));
    dialog.exec();
    PrintPeakRss();
    return 0;
}
