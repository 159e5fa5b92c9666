// Entry of the panel program `varnel`.
#include <QApplication>

#include "ControllerApp.h"
#include "Globals.h"

int main(int /*argc*/, char** /*argv*/) {
    // The command line is not read, not even by Qt: the panel starts the same way every time.
    static char programName[] = "varnel";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    theApp.InitInstance();
    return 0;
}
