#pragma once
// Data exchange between a dialog's controls and its members.

#include <cstdint>
#include <optional>
#include <string_view>

class CDialog;
class CWndControl;

class CDataExchange {
  public:
    CDataExchange(CDialog& dialog, bool saveAndValidate)
        : m_dialog(dialog), m_saveAndValidate(saveAndValidate) {}
    CDialog& Dialog() const { return m_dialog; }
    bool SaveAndValidate() const { return m_saveAndValidate; }
    bool Failed() const { return m_failed; }
    // Reports a refused value: shows the message, puts the focus on the control, and makes the
    // remaining exchange calls of this pass do nothing.
    void Fail(int controlId, const char* message);

  private:
    CDialog& m_dialog;
    bool m_saveAndValidate;
    bool m_failed = false;
};

// Binds a control object to the control with the given identifier (first exchange only).
void DDX_Control(CDataExchange& dx, int id, CWndControl& control);

// Field <-> member for a 32-bit count. On the way in, anything but digits (blanks around are
// fine) or a value outside [minValue, maxValue] gets a message box, and value keeps its old value.
void DDX_TextRange(CDataExchange& dx, int id, std::uint32_t& value, std::uint32_t minValue,
                   std::uint32_t maxValue);

namespace fw {
// Pure: surrounding blanks are allowed, then decimal digits only; nullopt when that is not a
// number that fits in 32 bits.
std::optional<std::uint32_t> parseUnsigned(std::string_view text);
} // namespace fw
