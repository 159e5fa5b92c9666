// The panel program as app/main.cpp builds it, plus a probe that reports its first painted
// frame and then closes the window: the bench's start-up and memory sample of the panel.
#include <QApplication>

#include "ControllerApp.h"
#include "Globals.h"
#include "StartupProbe.h"

int main(int /*argc*/, char** /*argv*/) {
    static char programName[] = "varnel";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    FirstFrameProbe probe;
    application.installEventFilter(&probe);
    theApp.InitInstance();
    PrintPeakRss();
    return 0;
}
