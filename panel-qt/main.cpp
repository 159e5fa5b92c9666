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
    // Qt sees no arguments either: the panel starts the same way every time.
    static char programName[] = "varnel";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    theApp.InitInstance();
    return 0;
}
