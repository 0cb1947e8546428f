#include "campaign/DialogDriver.h"

#include "app/TerminalDlg.h"
#include "core/TerminalState.h"
#include "framework/InputPanel.h"
#include "framework/MessageBox.h"
#include "messaging/TextCodec.h"
#include "ui/ControlIds.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <optional>

namespace campaign {

namespace {

std::int64_t steadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One application for the campaign's life, made when the first dialog round needs it; the
// dialog is never put on a screen.
void needApplication() {
    if (QApplication::instance())
        return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "portula-campaign";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

class QuietPanel : public fw::InputPanel {
  public:
    void show() override {}
    void hide() override {}
};

} // namespace

struct DialogSession::Parts {
    QuietPanel panel;
    QStringList messages;
    std::unique_ptr<CTerminalDlg> dlg;
    std::string variable; // UARTCE_COM<n> of the dialog's port
    std::optional<std::string> before;

    QAbstractButton* button(int id) const {
        return qobject_cast<QAbstractButton*>(dlg->GetDlgItem(id));
    }
    bool click(int id) const {
        QAbstractButton* b = button(id);
        if (!b || !b->isEnabled())
            return false;
        QTest::mouseClick(b, Qt::LeftButton);
        return true;
    }
};

DialogSession::DialogSession(const std::string& device) : m(std::make_unique<Parts>()) {
    needApplication();
    terminalState = TerminalState{};
    fw::setInputPanel(&m->panel);
    fw::setMessagePresenter([this](QWidget*, const QString& text) { m->messages << text; });
    m->dlg = std::make_unique<CTerminalDlg>();
    m->dlg->Create();
    m->dlg->show();
    // The port the dialog starts on names the simulator's device.
    m->variable = "UARTCE_COM" + std::to_string(terminalState.port);
    if (const char* value = std::getenv(m->variable.c_str()))
        m->before = value;
    ::setenv(m->variable.c_str(), device.c_str(), 1);
}

DialogSession::~DialogSession() {
    close();
    m->dlg.reset();
    fw::setInputPanel(nullptr);
    fw::setMessagePresenter({});
    if (m->before)
        ::setenv(m->variable.c_str(), m->before->c_str(), 1);
    else
        ::unsetenv(m->variable.c_str());
}

std::string DialogSession::open(bool checksum) {
    if (!m->dlg->IsDlgItemEnabled(IDC_OPEN_COM))
        return "Open_Com is disabled";
    if (m->dlg->IsDlgButtonChecked(IDC_CHECKSUM) != checksum && !m->click(IDC_CHECKSUM))
        return "the checksum box is disabled";
    if (m->dlg->IsDlgButtonChecked(IDC_CHECKSUM) != checksum || terminalState.checksum != checksum)
        return "the checksum box did not take the click";
    m->click(IDC_OPEN_COM);
    if (!m->dlg->IsDlgItemEnabled(IDC_SEND_MESSAGE))
        return "Send_Message stays disabled: " +
               m->dlg->GetDlgItem(IDC_OPEN_COM)->toolTip().toStdString();
    return "";
}

void DialogSession::close() {
    if (m->dlg && m->dlg->IsDlgItemEnabled(IDC_CLOSE_COM))
        m->click(IDC_CLOSE_COM);
}

DialogSession::Sent DialogSession::send(const std::string& command) {
    Sent sent;
    m->dlg->SetDlgItemText(
        IDC_SEND_TEXT, QString::fromLatin1(command.data(), static_cast<qsizetype>(command.size())));
    sent.startUs = steadyUs();
    sent.clicked = m->click(IDC_SEND_MESSAGE);
    sent.endUs = steadyUs();
    if (!sent.clicked)
        return sent;
    // What the field shows on the screen, its line breaks as "\n".
    QString shown = m->dlg->GetDlgItemText(IDC_RECEIVE_TEXT);
    if (auto* multi = qobject_cast<QPlainTextEdit*>(m->dlg->GetDlgItem(IDC_RECEIVE_TEXT)))
        shown = multi->toPlainText();
    for (const QChar c : shown) {
        if (c.unicode() == messaging::kZeroBytePlaceholder)
            sent.field.push_back('\0');
        else if (c.unicode() <= 0xFF)
            sent.field.push_back(static_cast<char>(c.unicode()));
        else
            sent.beyondLatin1 = true;
    }
    return sent;
}

void DialogSession::pause(unsigned ms) {
    QTest::qWait(static_cast<int>(ms));
}

std::vector<std::string> DialogSession::messages() const {
    std::vector<std::string> out;
    for (const QString& text : m->messages)
        out.push_back(text.toStdString());
    return out;
}

} // namespace campaign
