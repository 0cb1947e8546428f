#pragma once
// The application object: one instance with static storage, constructed before main runs.
// Run() creates the Qt application, calls InitInstance, and ends the program when it returns
// false; otherwise it enters the event loop.

class QWidget;

class CWinApp {
  public:
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual bool InitInstance();
    int Run(int argc, char** argv);

    QWidget* m_pMainWnd = nullptr;
    const char* m_pszAppName = nullptr;
};

CWinApp* AfxGetApp();
