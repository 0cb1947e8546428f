#include "framework/CDialog.h"

#include "framework/DataExchange.h"
#include "framework/DialogUnits.h"

#include <QApplication>
#include <QBasicTimer>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QTimerEvent>

namespace {
const char* const kIdProperty = "dlgCtrlId";

// A combo box is shown at the height of its closed box; the template's height includes the
// drop-down list, which Qt sizes by itself.
constexpr int kComboClosedHeightDlu = 12;

// A check box or radio button shorter than its indicator would be drawn cut off: it grows about
// its vertical centre until the indicator fits, which keeps it where the template puts it.
QRect fitIndicator(const QWidget* w, QRect r) {
    if (!qobject_cast<const QCheckBox*>(w) && !qobject_cast<const QRadioButton*>(w))
        return r;
    const QStyle::PixelMetric metric = qobject_cast<const QRadioButton*>(w)
                                           ? QStyle::PM_ExclusiveIndicatorHeight
                                           : QStyle::PM_IndicatorHeight;
    const int needed = w->style()->pixelMetric(metric, nullptr, w) + 2;
    if (r.height() >= needed)
        return r;
    const int grow = needed - r.height();
    return r.adjusted(0, -grow / 2, 0, grow - grow / 2);
}

bool isEnterKey(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}
} // namespace

CDialog::CDialog(const fw::DialogTemplate& tpl, QWidget* parent)
    : QDialog(parent), m_template(tpl) {}

CDialog::~CDialog() {
    for (auto& [id, timer] : m_timers)
        delete timer;
}

int CDialog::DoModal() {
    if (!Create())
        return IDCANCEL;
    if (m_ended)
        return m_result;
    exec();
    return m_result;
}

bool CDialog::Create() {
    if (m_built)
        return true;
    buildControls();
    m_built = true;
    const bool defaultFocus = OnInitDialog();
    if (defaultFocus) {
        for (const fw::ControlTemplate& ct : m_template.controls) {
            QWidget* w = GetDlgItem(ct.id);
            if ((ct.style & fw::StyleTabStop) && w && w->isEnabled() && !w->isHidden()) {
                w->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
    return true;
}

void CDialog::buildControls() {
    setWindowTitle(QString::fromUtf8(m_template.title));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    QFont font(QApplication::font());
    font.setPointSize(m_template.pointSize);
    setFont(font);
    const fw::DialogBaseUnits base = fw::baseUnitsFor(font);
    setFixedSize(
        fw::dialogUnitsToPixels(QRect(0, 0, m_template.width, m_template.height), base).size());

    QWidget* previousTabStop = nullptr;
    for (const fw::ControlTemplate& ct : m_template.controls) {
        QWidget* w = createControl(ct);
        const int h = ct.kind == fw::ControlKind::ComboBox ? kComboClosedHeightDlu : ct.height;
        w->setGeometry(
            fitIndicator(w, fw::dialogUnitsToPixels(QRect(ct.x, ct.y, ct.width, h), base)));
        w->setProperty(kIdProperty, ct.id);
        if (ct.id != fw::kNoId)
            m_controls[ct.id] = w;
        if (ct.accessibleName)
            w->setAccessibleName(QString::fromUtf8(ct.accessibleName));
        if (ct.style & fw::StyleTabStop) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, w);
            previousTabStop = w;
        }
        wireNotifications(ct, w);
    }
    groupRadioButtons();
}

QWidget* CDialog::createControl(const fw::ControlTemplate& ct) {
    const QString caption = QString::fromUtf8(ct.caption ? ct.caption : "");
    switch (ct.kind) {
    case fw::ControlKind::StaticText: {
        auto* label = new QLabel(caption, this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case fw::ControlKind::GroupBox: {
        auto* box = new QGroupBox(caption, this);
        box->setFocusPolicy(Qt::NoFocus);
        box->lower();
        return box;
    }
    case fw::ControlKind::PushButton: {
        auto* button = new QPushButton(caption, this);
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setFocusPolicy(Qt::ClickFocus);
        return button;
    }
    case fw::ControlKind::CheckBox: {
        auto* box = new QCheckBox(caption, this);
        box->setFocusPolicy(Qt::ClickFocus);
        return box;
    }
    case fw::ControlKind::RadioButton: {
        // Exclusivity follows the template's groups (groupRadioButtons). The button stays
        // auto-exclusive all the same: that is what makes assistive tools call it a radio button.
        auto* radio = new QRadioButton(caption, this);
        radio->setFocusPolicy(Qt::ClickFocus);
        return radio;
    }
    case fw::ControlKind::ComboBox: {
        auto* combo = new QComboBox(this);
        combo->setEditable(false); // typed text would mean nothing to the handlers
        combo->setMaxVisibleItems(10);
        combo->setFocusPolicy(Qt::ClickFocus);
        return combo;
    }
    case fw::ControlKind::Edit: {
        auto* edit = new QLineEdit(this);
        edit->setFrame(ct.style & fw::StyleBorder);
        edit->setFocusPolicy(Qt::ClickFocus);
        return edit;
    }
    case fw::ControlKind::MultiLineEdit: {
        auto* edit = new QPlainTextEdit(this);
        edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        edit->setVerticalScrollBarPolicy((ct.style & fw::StyleVScroll) ? Qt::ScrollBarAlwaysOn
                                                                       : Qt::ScrollBarAsNeeded);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setTabChangesFocus(true);
        if (!(ct.style & fw::StyleBorder))
            edit->setFrameShape(QFrame::NoFrame);
        edit->setFocusPolicy(Qt::ClickFocus);
        return edit;
    }
    }
    return new QWidget(this);
}

void CDialog::wireNotifications(const fw::ControlTemplate& ct, QWidget* w) {
    const int id = ct.id;
    if (id == fw::kNoId)
        return;
    switch (ct.kind) {
    case fw::ControlKind::PushButton:
    case fw::ControlKind::CheckBox:
    case fw::ControlKind::RadioButton:
        // clicked is raised by the operator (mouse, keyboard) only, never by setChecked.
        connect(static_cast<QAbstractButton*>(w), &QAbstractButton::clicked, this,
                [this, id] { OnControlEvent(ControlEvent::Clicked, id); });
        break;
    case fw::ControlKind::ComboBox:
        // activated is raised by the operator's choice only, never by setCurrentIndex.
        connect(static_cast<QComboBox*>(w), &QComboBox::activated, this,
                [this, id] { OnControlEvent(ControlEvent::SelectionChanged, id); });
        break;
    case fw::ControlKind::Edit:
    case fw::ControlKind::MultiLineEdit:
        w->installEventFilter(this);
        break;
    case fw::ControlKind::StaticText:
    case fw::ControlKind::GroupBox:
        break;
    }
}

// Radio buttons are exclusive within a group of the template: from one control that starts a
// group up to the next one.
void CDialog::groupRadioButtons() {
    QButtonGroup* group = nullptr;
    for (const fw::ControlTemplate& ct : m_template.controls) {
        if (ct.style & fw::StyleGroup)
            group = nullptr;
        if (ct.kind != fw::ControlKind::RadioButton)
            continue;
        if (!group) {
            group = new QButtonGroup(this);
            group->setExclusive(true);
        }
        group->addButton(static_cast<QAbstractButton*>(GetDlgItem(ct.id)));
    }
}

void CDialog::fillLists() {
    for (const fw::ListContent& list : m_template.lists) {
        auto* combo = qobject_cast<QComboBox*>(GetDlgItem(list.controlId));
        if (!combo)
            continue;
        const QSignalBlocker block(combo);
        for (const char* entry : list.entries)
            combo->addItem(QString::fromUtf8(entry));
        combo->setCurrentIndex(-1);
    }
}

bool CDialog::OnInitDialog() {
    fillLists();
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(*this, saveAndValidate);
    DoDataExchange(dx);
    return !dx.Failed();
}

void CDialog::OnOK() {
    if (!UpdateData(true))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::OnTimer(int) {}

void CDialog::OnControlEvent(ControlEvent, int) {}

void CDialog::EndDialog(int result) {
    m_ended = true;
    m_result = result;
    // The window's timers end with it.
    for (auto& [id, timer] : m_timers)
        timer->stop();
    m_timerPeriods.clear();
    QDialog::done(result);
}

void CDialog::accept() {
    OnOK();
}
void CDialog::reject() {
    OnCancel();
}

void CDialog::keyPressEvent(QKeyEvent* event) {
    if (isEnterKey(event->key())) {
        // A push button with the focus takes Enter as a click; anywhere else it means OK.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled())
                button->click();
        } else {
            OnOK();
        }
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        OnCancel();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CDialog::eventFilter(QObject* watched, QEvent* event) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w)
        return QDialog::eventFilter(watched, event);
    const int id = GetDlgCtrlID(w);
    switch (event->type()) {
    case QEvent::FocusIn:
        OnControlEvent(ControlEvent::FocusGained, id);
        break;
    case QEvent::FocusOut:
        OnControlEvent(ControlEvent::FocusLost, id);
        break;
    case QEvent::KeyPress: {
        // Enter in a multi-line field is OK for the dialog, as in a single-line one.
        auto* key = static_cast<QKeyEvent*>(event);
        if (qobject_cast<QPlainTextEdit*>(w) && isEnterKey(key->key())) {
            OnOK();
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void CDialog::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer->timerId() == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QDialog::timerEvent(event);
}

namespace {
// The raw document text: toPlainText() would turn a no-break space into a plain one. Each block
// or line separator is a line break, whether it was typed, set, or pasted as CR, LF or CR LF.
QString multiLineText(const QPlainTextEdit& edit) {
    QString text = edit.document()->toRawText();
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (QChar c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
            out += QLatin1String("\r\n");
        else
            out += c;
    }
    return out;
}
} // namespace

QWidget* CDialog::GetDlgItem(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

int CDialog::GetDlgCtrlID(const QWidget* widget) const {
    if (!widget)
        return fw::kNoId;
    const QVariant v = widget->property(kIdProperty);
    return v.isValid() ? v.toInt() : fw::kNoId;
}

void CDialog::EnableDlgItem(int id, bool enable) {
    if (QWidget* w = GetDlgItem(id))
        w->setEnabled(enable);
}

bool CDialog::IsDlgItemEnabled(int id) const {
    const QWidget* w = GetDlgItem(id);
    return w && w->isEnabled();
}

void CDialog::ShowDlgItem(int id, bool show) {
    if (QWidget* w = GetDlgItem(id))
        w->setHidden(!show);
}

bool CDialog::IsDlgItemVisible(int id) const {
    const QWidget* w = GetDlgItem(id);
    return w && !w->isHidden();
}

void CDialog::CheckDlgButton(int id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(id));
    if (!button)
        return;
    button->setCheckable(true);
    // An exclusive group refuses to untick its ticked button; the program may do so.
    QButtonGroup* group = button->group();
    const bool exclusive = group && group->exclusive();
    if (exclusive && !checked)
        group->setExclusive(false);
    button->setChecked(checked);
    if (exclusive && !checked)
        group->setExclusive(true);
}

bool CDialog::IsDlgButtonChecked(int id) const {
    const auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(id));
    return button && button->isChecked();
}

int CDialog::GetCurSel(int id) const {
    const auto* combo = qobject_cast<QComboBox*>(GetDlgItem(id));
    return combo ? combo->currentIndex() : -1;
}

int CDialog::GetCount(int id) const {
    const auto* combo = qobject_cast<QComboBox*>(GetDlgItem(id));
    return combo ? combo->count() : 0;
}

void CDialog::SetListItemTip(int id, int index, const QString& tip) {
    if (auto* combo = qobject_cast<QComboBox*>(GetDlgItem(id)))
        combo->setItemData(index, tip, Qt::ToolTipRole);
}

void CDialog::SetCurSel(int id, int index) {
    if (auto* combo = qobject_cast<QComboBox*>(GetDlgItem(id)))
        combo->setCurrentIndex(index);
}

QString CDialog::GetDlgItemText(int id) const {
    const QWidget* w = GetDlgItem(id);
    if (const auto* edit = qobject_cast<const QLineEdit*>(w))
        return edit->text();
    if (const auto* text = qobject_cast<const QPlainTextEdit*>(w))
        return multiLineText(*text);
    if (const auto* combo = qobject_cast<const QComboBox*>(w))
        return combo->currentText();
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text();
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    return {};
}

void CDialog::SetDlgItemText(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        edit->setText(text);
    else if (auto* multi = qobject_cast<QPlainTextEdit*>(w))
        multi->setPlainText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(text);
    else if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(text);
}

void CDialog::ScrollDlgItemToEnd(int id) {
    if (auto* multi = qobject_cast<QPlainTextEdit*>(GetDlgItem(id)))
        multi->moveCursor(QTextCursor::End);
}

void CDialog::SetTimer(int id, unsigned periodMs) {
    const int period =
        static_cast<int>(std::clamp<unsigned>(periodMs, kMinTimerPeriodMs, 0x7FFFFFFF));
    QBasicTimer*& timer = m_timers[id];
    if (!timer)
        timer = new QBasicTimer;
    timer->start(period, Qt::PreciseTimer, this);
    m_timerPeriods[id] = period;
}

void CDialog::KillTimer(int id) {
    const auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second->stop();
    m_timerPeriods.erase(id);
}

bool CDialog::IsTimerRunning(int id) const {
    const auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->isActive();
}

int CDialog::TimerPeriod(int id) const {
    const auto it = m_timerPeriods.find(id);
    return IsTimerRunning(id) && it != m_timerPeriods.end() ? it->second : -1;
}

void CDialog::SetIcon(const QIcon& icon, bool big) {
    (big ? m_bigIcon : m_smallIcon) = icon;
    QIcon merged;
    for (const QIcon* i : {&m_bigIcon, &m_smallIcon})
        for (const QSize& s : i->availableSizes())
            merged.addPixmap(i->pixmap(s));
    setWindowIcon(merged.isNull() ? icon : merged);
}

void CDialog::CenterWindow() {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}
