#include "app/TerminalDlg.h"

#include "core/TerminalState.h"
#include "framework/DataExchange.h"
#include "framework/InputPanel.h"
#include "messaging/AutoSend.h"
#include "messaging/Receive.h"
#include "messaging/Send.h"
#include "messaging/SendModes.h"
#include "resources/Resources.h"
#include "serial/PortControl.h"
#include "serial/PortSettings.h"
#include "slots/SlotRouting.h"
#include "ui/ControlIds.h"

#include <cstring>

namespace {
RoutedEvent routedEvent(ControlEvent event) {
    switch (event) {
    case ControlEvent::Clicked:
        return RoutedEvent::Clicked;
    case ControlEvent::SelectionChanged:
        return RoutedEvent::SelectionChanged;
    case ControlEvent::FocusGained:
        return RoutedEvent::FocusGained;
    case ControlEvent::FocusLost:
        return RoutedEvent::FocusLost;
    }
    return RoutedEvent::Clicked;
}
} // namespace

CTerminalDlg::CTerminalDlg(QWidget* parent)
    : CDialog(dialogTemplate(IDD_PORTULA_DIALOG), parent), m_hIcon(loadIcon(IDR_MAINFRAME)) {}

CTerminalDlg::~CTerminalDlg() = default;

void CTerminalDlg::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_MODE_DEF, m_def);
    DDX_Control(dx, IDC_MODE_LF_CR, m_lfCr);
    DDX_Control(dx, IDC_MODE_CR_LF, m_crLf);
    DDX_Control(dx, IDC_MODE_LF, m_lf);
    DDX_Control(dx, IDC_HEX_SUFFIX, m_hexSuffix);
    DDX_Control(dx, IDC_SEND_MESSAGE, m_sendMessage);
    DDX_Control(dx, IDC_STOP, m_stop);
    DDX_Control(dx, IDC_START, m_start);
    DDX_Control(dx, IDC_SLOT_LIST, m_slotList);
    DDX_Control(dx, IDC_SLOT_SWITCH, m_slotSwitch);
    DDX_Control(dx, IDC_MODE_CR, m_cr);
    DDX_Control(dx, IDC_MODE_NONE, m_none);
    DDX_Control(dx, IDC_DATASIZE_IN_COM, m_dataSizeInCom);
    DDX_Control(dx, IDC_CLOSE_COM, m_closeCom);
    DDX_Control(dx, IDC_OPEN_COM, m_openCom);
    DDX_Control(dx, IDC_RECEIVE_TEXT, m_receiveText);
    DDX_Control(dx, IDC_SEND_TEXT, m_sendText);
    DDX_Control(dx, IDC_CHECKSUM, m_checksum);
    DDX_Control(dx, IDC_STOPBITS_LIST, m_stopBitsList);
    DDX_Control(dx, IDC_PARITY_LIST, m_parityList);
    DDX_Control(dx, IDC_DATABITS_LIST, m_dataBitsList);
    DDX_Control(dx, IDC_BAUD_LIST, m_baudList);
    DDX_Control(dx, IDC_PORT_LIST, m_portList);
    DDX_TextRange(dx, IDC_INTERVAL, interval, kIntervalMin, kIntervalMax);
}

bool CTerminalDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    serial::showPortDevices(*this);

    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    CenterWindow();

    SetCurSel(IDC_PORT_LIST, 1);     // COM2
    SetCurSel(IDC_DATABITS_LIST, 3); // 8
    SetCurSel(IDC_STOPBITS_LIST, 0); // 1
    SetCurSel(IDC_BAUD_LIST, 3);     // 9600
    SetCurSel(IDC_PARITY_LIST, 0);   // None
    CheckDlgButton(IDC_MODE_CR, true);
    SetCurSel(IDC_SLOT_LIST, 0); // slot 1

    terminalState.sendMode = SEND_CR;
    interval = kDefaultInterval;
    SetDlgItemText(IDC_HEX_SUFFIX, QStringLiteral("1A"));
    std::memset(terminalState.replyText, 0, sizeof terminalState.replyText);
    terminalState.replyLength = 0;

    serial::showClosedState(*this);

    SetDlgItemText(IDC_SEND_TEXT,
                   QString::fromLatin1(
                       terminalState.sendBuffer,
                       static_cast<qsizetype>(strnlen(terminalState.sendBuffer, kSendBufferSize))));
    UpdateData(false);
    return true; // the focus goes to the first tab stop
}

void CTerminalDlg::OnTimer(int id) {
    if (const Route* route = findRoute(RoutedEvent::TimerTick, kWindowItself))
        perform(route->operation, id);
    CDialog::OnTimer(id);
}

void CTerminalDlg::OnControlEvent(ControlEvent event, int id) {
    if (const Route* route = findRoute(routedEvent(event), id))
        perform(route->operation, 0);
}

void CTerminalDlg::perform(Operation operation, int timerId) {
    TerminalState& st = terminalState;
    switch (operation) {
    case Operation::OpenPort:
        return serial::openPort(*this, st);
    case Operation::ClosePort:
        return serial::closePort(*this, st);
    case Operation::TakeChecksum:
        return serial::takeChecksum(*this, st);
    case Operation::TakePort:
        return serial::takePort(*this, st);
    case Operation::TakeBaudRate:
        return serial::takeBaudRate(*this, st);
    case Operation::TakeDataBits:
        return serial::takeDataBits(*this, st);
    case Operation::TakeParity:
        return serial::takeParity(*this, st);
    case Operation::TakeStopBits:
        return serial::takeStopBits(*this, st);
    case Operation::Send:
        return messaging::sendMessage(*this, st);
    case Operation::TimerDispatch:
        return messaging::timerDispatch(*this, st, timerId);
    case Operation::ClearReply:
        return messaging::clearReply(*this, st);
    case Operation::SelectNone:
        return messaging::selectSendMode(*this, st, SEND_NONE);
    case Operation::SelectCr:
        return messaging::selectSendMode(*this, st, SEND_CR);
    case Operation::SelectLf:
        return messaging::selectSendMode(*this, st, SEND_LF);
    case Operation::SelectLfCr:
        return messaging::selectSendMode(*this, st, SEND_LF_CR);
    case Operation::SelectCrLf:
        return messaging::selectSendMode(*this, st, SEND_CR_LF);
    case Operation::SelectDef:
        return messaging::selectSendMode(*this, st, SEND_DEF);
    case Operation::TakeSlotSwitch:
        return slotrouting::takeSlotSwitch(*this, st);
    case Operation::TakeSlot:
        return slotrouting::takeSlot(*this, st);
    case Operation::ReadInterval:
        return messaging::readInterval(*this);
    case Operation::StartAutoSend:
        return messaging::startAutoSend(*this, interval);
    case Operation::StopAutoSend:
        return messaging::stopAutoSend(*this);
    case Operation::ShowKeyboard:
        return fw::inputPanel().show();
    case Operation::HideKeyboard:
        return fw::inputPanel().hide();
    }
}
