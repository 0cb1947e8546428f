#include "app/TerminalApp.h"

// The application object, constructed during static initialisation.
CTerminalApp theApp;

int main(int argc, char** argv) {
    return AfxGetApp()->Run(argc, argv);
}
