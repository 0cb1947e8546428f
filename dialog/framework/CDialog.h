#pragma once
// Dialogs built from a table of controls on Qt Widgets. Controls and timers are reached by
// number, so handlers stay free of widget types, and a data exchange moves values between the
// controls and the members of the derived class.
//
// OnControlEvent hears from the operator only: Qt's clicked and activated signals and focus
// events, never the program's own setChecked, setCurrentIndex or setText.

#include "framework/DialogTemplate.h"

#include <QDialog>
#include <QIcon>
#include <map>

class QAbstractButton;
class QBasicTimer;
class QButtonGroup;
class CDataExchange;

enum DialogResult { IDOK = 1, IDCANCEL = 2 };

enum class ControlEvent { Clicked, SelectionChanged, FocusGained, FocusLost };

// A control object: a handle on a control of the dialog, bound by the data exchange.
class CWndControl {
  public:
    void Attach(QWidget* widget) { m_widget = widget; }
    QWidget* GetSafeHwnd() const { return m_widget; }
    bool IsBound() const { return m_widget != nullptr; }

  private:
    QWidget* m_widget = nullptr;
};
class CButton : public CWndControl {};
class CEdit : public CWndControl {};
class CComboBox : public CWndControl {};

class CDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CDialog(const fw::DialogTemplate& tpl, QWidget* parent = nullptr);
    ~CDialog() override;

    // Builds the window and runs it modally; returns IDOK or IDCANCEL.
    int DoModal();
    // Builds the controls and runs the dialog initialisation without entering a modal loop.
    // The caller shows the window; used where the event loop is driven from outside.
    bool Create();
    bool IsEnded() const { return m_ended; }
    int EndResult() const { return m_result; }

    const fw::DialogTemplate& Template() const { return m_template; }

    // Controls by identifier. An unknown identifier is ignored by the setters and reads as
    // empty, unchecked or disabled.
    QWidget* GetDlgItem(int id) const;
    int GetDlgCtrlID(const QWidget* widget) const;
    void EnableDlgItem(int id, bool enable);
    bool IsDlgItemEnabled(int id) const;
    void ShowDlgItem(int id, bool show);
    bool IsDlgItemVisible(int id) const;
    void CheckDlgButton(int id, bool checked);
    bool IsDlgButtonChecked(int id) const;
    int GetCurSel(int id) const; // -1 when nothing is selected
    int GetCount(int id) const;  // entries of a list
    void SetListItemTip(int id, int index, const QString& tip);
    void SetCurSel(int id, int index);
    // A multi-line field's line breaks read back as CR LF, however they were typed or pasted;
    // every other character comes back as the field holds it.
    QString GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const QString& text);
    // Brings the end of a multi-line field's text into view.
    void ScrollDlgItemToEnd(int id);

    // Window timers by identifier; a running timer of the same identifier is restarted.
    // Periods below 10 ms are raised to 10 ms, so a period of 0 cannot starve the window.
    void SetTimer(int id, unsigned periodMs);
    void KillTimer(int id);
    bool IsTimerRunning(int id) const;
    int TimerPeriod(int id) const; // -1 when not running

    // Moves data between controls and members. Returns false when a value is refused.
    bool UpdateData(bool saveAndValidate = true);

    void SetIcon(const QIcon& icon, bool big);
    void CenterWindow();

    static constexpr int kMinTimerPeriodMs = 10;

  protected:
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange& dx);
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnTimer(int id);
    virtual void OnControlEvent(ControlEvent event, int id);
    void EndDialog(int result);

    // QDialog
    void accept() override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    QWidget* createControl(const fw::ControlTemplate& ct);
    void groupRadioButtons();
    void fillLists();
    void wireNotifications(const fw::ControlTemplate& ct, QWidget* w);

    const fw::DialogTemplate& m_template;
    bool m_built = false;
    bool m_ended = false;
    int m_result = 0;
    std::map<int, QWidget*> m_controls;
    std::map<int, QBasicTimer*> m_timers;
    std::map<int, int> m_timerPeriods;
    QIcon m_bigIcon;
    QIcon m_smallIcon;
};
