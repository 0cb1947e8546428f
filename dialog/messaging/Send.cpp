#include "messaging/Send.h"

#include "framework/CDialog.h"
#include "messaging/FrameBuilder.h"
#include "messaging/TextCodec.h"
#include "serial/LibraryExtras.h"
#include "ui/ControlIds.h"

#include <uartce.h>

#include <QWidget>
#include <cstring>

namespace messaging {

namespace {
QString refusalText(const FrameResult& result, qsizetype suffixLength) {
    if (result.status == FrameStatus::SuffixTooLong)
        return QStringLiteral("Not sent: the suffix is %1 characters long; the limit is %2.")
            .arg(suffixLength)
            .arg(kSuffixWorkBufferSize);
    return QStringLiteral("Not sent: the text is too long (%1 bytes with its ending; the limit "
                          "is %2).")
        .arg(result.required - 1)
        .arg(kSendBufferSize - 1);
}

// The code's number stands in the field; its words, where the library has them, wait in the
// field's tooltip until the field shows something else.
void setReceiveTip(CDialog& dlg, const QString& tip) {
    if (QWidget* field = dlg.GetDlgItem(IDC_RECEIVE_TEXT))
        field->setToolTip(tip);
}

void showFailure(CDialog& dlg, std::uint16_t rc) {
    dlg.SetDlgItemText(IDC_RECEIVE_TEXT, QStringLiteral("Err_Code = %1").arg(rc));
    setReceiveTip(dlg, QString::fromStdString(serial::statusMeaning(rc)));
}
} // namespace

void showReplyText(CDialog& dlg, const TerminalState& state) {
    setReceiveTip(dlg, QString());
    dlg.SetDlgItemText(IDC_RECEIVE_TEXT, toDisplay(state.replyText, state.replyLength));
    dlg.ScrollDlgItemToEnd(IDC_RECEIVE_TEXT);
}

void clearReply(CDialog& dlg, TerminalState& state) {
    std::memset(state.replyText, 0, sizeof state.replyText);
    state.replyLength = 0;
    showReplyText(dlg, state);
}

void sendMessage(CDialog& dlg, TerminalState& state) {
    clearReply(dlg, state);
    std::memset(state.sendBuffer, 0, sizeof state.sendBuffer);
    std::memset(state.replyText, 0, sizeof state.replyText);
    state.replyLength = 0;

    const auto mode = static_cast<SendMode>(state.sendMode);
    const QByteArray text = toWire(dlg.GetDlgItemText(IDC_SEND_TEXT));
    const QByteArray suffix =
        mode == SEND_DEF ? toWire(dlg.GetDlgItemText(IDC_HEX_SUFFIX)) : QByteArray();
    const FrameResult frame = composeFrame(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())), mode,
        std::string_view(suffix.constData(), static_cast<std::size_t>(suffix.size())),
        state.sendBuffer);
    if (frame.status != FrameStatus::Ok) {
        setReceiveTip(dlg, QString());
        dlg.SetDlgItemText(IDC_RECEIVE_TEXT, refusalText(frame, suffix.size()));
        return;
    }

    const auto port = static_cast<std::uint8_t>(state.port);
    if (mode == SEND_CR) {
        state.libraryOut = 0;
        const std::uint16_t rc = Send_Receive_Cmd(port, state.sendBuffer, state.replyText,
                                                  state.timeout, state.checksum, &state.libraryOut);
        state.replyText[kReplyTextSize - 1] = '\0'; // whatever the library left there
        state.replyLength = deliveredLength(state.replyText, kReplyTextSize, state.libraryOut);
        if (rc == 0)
            showReplyText(dlg, state);
        else
            showFailure(dlg, rc);
        return;
    }
    Send_Binary(port, state.sendBuffer, static_cast<std::uint32_t>(frame.count));
}

} // namespace messaging
