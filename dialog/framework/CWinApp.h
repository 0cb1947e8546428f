#pragma once
// The application object: one instance with static storage, constructed before main runs.
// Run() creates the Qt application, calls InitInstance, and ends the program when it returns
// false; otherwise it enters the event loop.

class QWidget;

class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual bool InitInstance();
    int Run(int argc, char** argv);

    QWidget* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();

namespace fw {
// Names the running application for the desktop (settings, the window's desktop entry). No
// display name is set: the platform would append it to every window title.
void applyApplicationIdentity();
} // namespace fw
