#pragma once
// The terminal's main dialog.

#include "framework/CDialog.h"
#include "ui/EventRoutes.h"

#include <cstdint>

class CTerminalDlg : public CDialog {
    Q_OBJECT
  public:
    explicit CTerminalDlg(QWidget* parent = nullptr);
    ~CTerminalDlg() override;

    // Control objects, bound by the first data exchange.
    CButton m_def;
    CButton m_lfCr;
    CButton m_crLf;
    CButton m_lf;
    CEdit m_hexSuffix;
    CButton m_sendMessage;
    CButton m_stop;
    CButton m_start;
    CComboBox m_slotList;
    CButton m_slotSwitch;
    CButton m_cr;
    CButton m_none;
    CButton m_dataSizeInCom;
    CButton m_closeCom;
    CButton m_openCom;
    CEdit m_receiveText;
    CEdit m_sendText;
    CButton m_checksum;
    CComboBox m_stopBitsList;
    CComboBox m_parityList;
    CComboBox m_dataBitsList;
    CComboBox m_baudList;
    CComboBox m_portList;

    std::uint32_t interval = 0; // auto-send period in milliseconds

    static constexpr std::uint32_t kIntervalMin = 0;
    static constexpr std::uint32_t kIntervalMax = 100000;
    static constexpr std::uint32_t kDefaultInterval = 500;

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnTimer(int id) override;
    void OnControlEvent(ControlEvent event, int id) override;

  private:
    void perform(Operation operation, int timerId);

    QIcon m_hIcon;
};
