#include "resources/Resources.h"

#include "ui/ControlIds.h"

#include <array>
#include <cstdlib>

namespace {
using fw::ControlKind;
using fw::ControlTemplate;
using fw::kNoId;

constexpr unsigned kStatic = fw::StyleGroup;
constexpr unsigned kTab = fw::StyleTabStop;
constexpr unsigned kCombo = fw::StyleTabStop | fw::StyleVScroll;
constexpr unsigned kEdit = fw::StyleTabStop | fw::StyleBorder;
constexpr unsigned kMultiEdit = fw::StyleTabStop | fw::StyleBorder | fw::StyleVScroll;
constexpr unsigned kRadio = fw::StyleNone;
constexpr unsigned kFrame = fw::StyleNone;

// Template order is the tab order.
constexpr std::array<ControlTemplate, 41> kMainControls{{
    {kNoId, ControlKind::StaticText, "COM Port", 23, 31, 32, 8, kStatic},
    {kNoId, ControlKind::StaticText, "BaudRate", 23, 55, 32, 8, kStatic},
    {kNoId, ControlKind::StaticText, "Data Bit", 115, 31, 26, 8, kStatic},
    {kNoId, ControlKind::StaticText, "Parity", 119, 55, 20, 8, kStatic},
    {kNoId, ControlKind::StaticText, "Stop Bit", 197, 31, 26, 8, kStatic},
    {IDC_CHECKSUM, ControlKind::CheckBox, "CheckSum", 206, 55, 49, 10, kTab},
    {IDC_PORT_LIST, ControlKind::ComboBox, "", 59, 30, 47, 38, kCombo},
    {IDC_BAUD_LIST, ControlKind::ComboBox, "", 59, 54, 48, 40, kCombo},
    {IDC_DATABITS_LIST, ControlKind::ComboBox, "", 143, 30, 45, 36, kCombo},
    {IDC_STOPBITS_LIST, ControlKind::ComboBox, "", 226, 30, 31, 40, kCombo},
    {IDC_OPEN_COM, ControlKind::PushButton, "Open_Com", 267, 28, 43, 16, kTab},
    {IDC_CLOSE_COM, ControlKind::PushButton, "Close_Com", 268, 53, 44, 14, kTab},
    {IDC_PARITY_LIST, ControlKind::ComboBox, "", 144, 54, 45, 65, kCombo},
    {kNoId, ControlKind::GroupBox, "COM Port Configuration", 13, 16, 312, 60, kFrame},
    {IDC_SEND_TEXT, ControlKind::MultiLineEdit, "", 26, 102, 125, 51, kMultiEdit},
    {IDC_SEND_MESSAGE, ControlKind::PushButton, "Send_Message", 41, 158, 98, 15, kTab},
    {kNoId, ControlKind::StaticText, "Send_String", 26, 92, 40, 8, kStatic},
    {kNoId, ControlKind::StaticText, "Receive_String", 178, 91, 49, 8, kStatic},
    {IDC_RECEIVE_TEXT, ControlKind::MultiLineEdit, "", 177, 102, 129, 53, kMultiEdit},
    {IDC_CLEAR, ControlKind::PushButton, "Clear", 200, 158, 90, 13, kTab},
    {IDC_DATASIZE_IN_COM, ControlKind::PushButton, "DataSizeInCom", 138, 7, 57, 13, kTab},
    {kNoId, ControlKind::GroupBox, "Send / Recv", 14, 80, 311, 100, kFrame},
    {IDC_MODE_NONE, ControlKind::RadioButton, "None", 23, 197, 33, 10, kRadio},
    {IDC_MODE_CR, ControlKind::RadioButton, "CR", 61, 197, 25, 10, kRadio},
    {IDC_MODE_LF, ControlKind::RadioButton, "LF", 95, 197, 23, 10, kRadio},
    {IDC_MODE_LF_CR, ControlKind::RadioButton, "LF_CR", 125, 197, 37, 10, kRadio},
    {IDC_MODE_CR_LF, ControlKind::RadioButton, "CR_LF", 167, 197, 37, 10, kRadio},
    {kNoId, ControlKind::StaticText, "ITarn_Slot", 245, 230, 32, 8, kStatic},
    {IDC_SLOT_LIST, ControlKind::ComboBox, "", 279, 228, 34, 32, kCombo},
    {IDC_SLOT_SWITCH, ControlKind::CheckBox, "Check2", 231, 231, 10, 8, kTab,
     "Route COM1 to the module in the chosen expansion slot"},
    {IDC_INTERVAL, ControlKind::Edit, "", 50, 228, 38, 13, kEdit},
    {IDC_SET, ControlKind::PushButton, "Set", 90, 228, 27, 14, kTab},
    {IDC_START, ControlKind::PushButton, "Start", 133, 228, 34, 14, kTab},
    {IDC_STOP, ControlKind::PushButton, "Stop", 170, 228, 34, 14, kTab},
    {kNoId, ControlKind::GroupBox, "Auto Send Message", 14, 217, 199, 31, kFrame},
    {IDC_MODE_DEF, ControlKind::RadioButton, "DEF:", 207, 197, 29, 10, kRadio},
    {IDC_HEX_SUFFIX, ControlKind::Edit, "", 236, 196, 53, 12, kEdit},
    {kNoId, ControlKind::GroupBox, "I-Tarn Module", 218, 217, 108, 30, kFrame},
    {kNoId, ControlKind::StaticText, "( HEX )", 292, 198, 24, 8, kStatic},
    {kNoId, ControlKind::GroupBox, "Send String with", 14, 183, 311, 31, kFrame},
    {kNoId, ControlKind::StaticText, "Interval", 21, 231, 28, 9, kStatic},
}};

constexpr std::array<const char*, 20> kPorts{
    "COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",  "COM8",  "COM9",  "COM10",
    "COM11", "COM12", "COM13", "COM14", "COM15", "COM16", "COM17", "COM18", "COM19", "COM20"};
constexpr std::array<const char*, 7> kBaudRates{"1200",  "2400",  "4800",  "9600",
                                                "19200", "38400", "115200"};
constexpr std::array<const char*, 4> kDataBits{"5", "6", "7", "8"};
constexpr std::array<const char*, 2> kStopBits{"1", "2"};
constexpr std::array<const char*, 3> kParities{"None", "Odd", "Even"};
constexpr std::array<const char*, 7> kSlots{"1", "2", "3", "4", "5", "6", "7"};

constexpr std::array<fw::ListContent, 6> kMainLists{{
    {IDC_PORT_LIST, kPorts},
    {IDC_BAUD_LIST, kBaudRates},
    {IDC_DATABITS_LIST, kDataBits},
    {IDC_STOPBITS_LIST, kStopBits},
    {IDC_PARITY_LIST, kParities},
    {IDC_SLOT_LIST, kSlots},
}};

constexpr fw::DialogTemplate kMainDialog{
    IDD_PORTULA_DIALOG, "Portula v7.0", 8, 344, 262, kMainControls, kMainLists,
};
} // namespace

const fw::DialogTemplate& dialogTemplate(int id) {
    if (id == IDD_PORTULA_DIALOG)
        return kMainDialog;
    std::abort();
}
