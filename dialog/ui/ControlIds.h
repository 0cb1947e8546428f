#pragma once
// Numbers of the dialog, its icon, and the controls that code reaches; labels and frames are
// never reached, so they go without.

enum ResourceId : int {
    IDD_PORTULA_DIALOG = 102,
    IDR_MAINFRAME = 130,
};

enum ControlId : int {
    IDC_CHECKSUM = 1000,
    IDC_PORT_LIST = 1001,
    IDC_BAUD_LIST = 1002,
    IDC_DATABITS_LIST = 1003,
    IDC_STOPBITS_LIST = 1005,
    IDC_OPEN_COM = 1006,
    IDC_CLOSE_COM = 1007,
    IDC_PARITY_LIST = 1008,
    IDC_SEND_TEXT = 1010,
    IDC_SEND_MESSAGE = 1011,
    IDC_RECEIVE_TEXT = 1012,
    IDC_CLEAR = 1013,
    IDC_DATASIZE_IN_COM = 1015,
    IDC_MODE_NONE = 1016,
    IDC_MODE_CR = 1017,
    IDC_MODE_LF = 1018,
    IDC_MODE_LF_CR = 1019,
    IDC_MODE_CR_LF = 1020,
    IDC_SLOT_LIST = 1026,
    IDC_SLOT_SWITCH = 1027,
    IDC_INTERVAL = 1028,
    IDC_SET = 1029,
    IDC_START = 1030,
    IDC_STOP = 1031,
    IDC_MODE_DEF = 1032,
    IDC_HEX_SUFFIX = 1033,
};

// Window timers of the main dialog.
enum TimerId : int {
    RECEIVE_POLL_TIMER = 100,
    AUTO_SEND_TIMER = 200,
};

inline constexpr unsigned kReceivePollPeriodMs = 100;
