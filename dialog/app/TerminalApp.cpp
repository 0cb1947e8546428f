#include "app/TerminalApp.h"

#include "app/TerminalDlg.h"

bool CTerminalApp::InitInstance() {
    CTerminalDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
