#include "framework/CWinApp.h"

#include "portula_version.h"

#include <QApplication>

namespace {
CWinApp* theInstance = nullptr;
}

CWinApp::CWinApp() {
    theInstance = this;
}

CWinApp::~CWinApp() {
    if (theInstance == this)
        theInstance = nullptr;
}

bool CWinApp::InitInstance() {
    return true;
}

int CWinApp::Run(int argc, char** argv) {
    QApplication app(argc, argv);
    fw::applyApplicationIdentity();
    if (!InitInstance())
        return 0;
    return QApplication::exec();
}

CWinApp* AfxGetApp() {
    return theInstance;
}

namespace fw {
void applyApplicationIdentity() {
    QApplication::setApplicationName(QStringLiteral(PORTULA_INTERNAL_NAME));
    QApplication::setApplicationVersion(QStringLiteral(PORTULA_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral("portula"));
}
} // namespace fw
