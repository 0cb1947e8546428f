#pragma once
// The on-screen keyboard. The default panel asks Qt's input method to show and hide itself;
// a test installs its own to observe the calls.

namespace fw {

class InputPanel {
  public:
    virtual ~InputPanel() = default;
    virtual void show() = 0;
    virtual void hide() = 0;
};

InputPanel& inputPanel();
// Replaces the panel in use; nullptr restores the default. The caller keeps ownership.
void setInputPanel(InputPanel* panel);

} // namespace fw
