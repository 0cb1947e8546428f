#include "framework/DataExchange.h"

#include "rules/Text.h"

#include "framework/CDialog.h"
#include "framework/MessageBox.h"

#include <QLineEdit>

void CDataExchange::Fail(int controlId, const char* message) {
    m_failed = true;
    fw::showMessage(&m_dialog, QString::fromUtf8(message));
    if (QWidget* w = m_dialog.GetDlgItem(controlId)) {
        w->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            edit->selectAll();
    }
}

void DDX_Control(CDataExchange& dx, int id, CWndControl& control) {
    if (dx.Failed() || control.IsBound())
        return;
    control.Attach(dx.Dialog().GetDlgItem(id));
}

namespace fw {
std::optional<std::uint32_t> parseUnsigned(std::string_view text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    unsigned long value = 0;
    if (!portula::parseUnsigned(text, 0xFFFFFFFFul, value))
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}
} // namespace fw

void DDX_TextRange(CDataExchange& dx, int id, std::uint32_t& value, std::uint32_t minValue,
                   std::uint32_t maxValue) {
    if (dx.Failed())
        return;
    CDialog& dlg = dx.Dialog();
    if (!dx.SaveAndValidate()) {
        dlg.SetDlgItemText(id, QString::number(value));
        return;
    }
    const std::optional<std::uint32_t> parsed =
        fw::parseUnsigned(dlg.GetDlgItemText(id).toStdString());
    if (!parsed) {
        dx.Fail(id, "Please enter an unsigned integer.");
        return;
    }
    if (*parsed < minValue || *parsed > maxValue) {
        const QByteArray msg = QStringLiteral("Please enter an integer between %1 and %2.")
                                   .arg(minValue)
                                   .arg(maxValue)
                                   .toUtf8();
        dx.Fail(id, msg.constData());
        return;
    }
    value = *parsed;
}
