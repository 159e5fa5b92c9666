#include <QApplication>
#include <cstdio>

#include "CommandLine.h"
#include "ControllerApp.h"
#include "Globals.h"

int main(int argc, char** argv) {
    const CommandLineAction action = HandleCommandLine(argc, argv, stdout, stderr);
    if (action != CommandLineAction::RunPanel) {
        return ExitCode(action);
    }
    // Without a display Qt would abort with a core dump and advice that does not apply. A
    // platform named explicitly (offscreen, vnc) is the user's choice and is honoured.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs(
            "varnel: the panel needs a graphical display (DISPLAY or WAYLAND_DISPLAY); "
            "varnel-ctl controls the module without one\n",
            stderr);
        return 1;
    }
    // Qt sees no arguments either: the panel starts the same way every time.
    static char programName[] = "varnel";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    theApp.InitInstance();
    return 0;
}
