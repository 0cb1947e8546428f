#include "framework/InputPanel.h"

#include <QGuiApplication>
#include <QInputMethod>

namespace fw {

namespace {
class QtInputPanel final : public InputPanel {
  public:
    void show() override { QGuiApplication::inputMethod()->show(); }
    void hide() override { QGuiApplication::inputMethod()->hide(); }
};

QtInputPanel defaultPanel;
InputPanel* current = &defaultPanel;
} // namespace

InputPanel& inputPanel() {
    return *current;
}
void setInputPanel(InputPanel* panel) {
    current = panel ? panel : &defaultPanel;
}

} // namespace fw
