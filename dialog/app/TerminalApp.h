#pragma once

#include "framework/CWinApp.h"

class CTerminalApp : public CWinApp {
  public:
    CTerminalApp() = default;
    ~CTerminalApp() override = default;
    // Runs the terminal dialog and returns false, so that the program ends with it.
    bool InitInstance() override;
};
