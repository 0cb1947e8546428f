#pragma once
// The real terminal dialog, built and shown off-screen, with the on-screen keyboard and the
// framework's message boxes replaced by recorders.

#include "app/TerminalDlg.h"
#include "core/TerminalState.h"
#include "framework/InputPanel.h"
#include "framework/MessageBox.h"
#include "ui/ControlIds.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class TestDlg : public CTerminalDlg {
  public:
    using CTerminalDlg::OnTimer; // lets a test deliver one tick of a given timer
};

class RecordingPanel : public fw::InputPanel {
  public:
    void show() override { events.push_back("show"); }
    void hide() override { events.push_back("hide"); }
    std::vector<std::string> events;
};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        terminalState = TerminalState{};
        fw::setInputPanel(&panel);
        fw::setMessagePresenter([this](QWidget*, const QString& text) { messages << text; });
        dlg = std::make_unique<TestDlg>();
        dlg->Create();
        dlg->show();
    }
    void TearDown() override {
        dlg.reset();
        fw::setInputPanel(nullptr);
        fw::setMessagePresenter({});
    }

    template <typename T> T* item(int id) const {
        T* w = qobject_cast<T*>(dlg->GetDlgItem(id));
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
    void click(int id) const {
        auto* b = item<QAbstractButton>(id);
        ASSERT_TRUE(b->isEnabled()) << "control " << id << " is disabled";
        QTest::mouseClick(b, Qt::LeftButton);
    }
    // The operator picks an entry from a list.
    void choose(int id, int index) const {
        auto* combo = item<QComboBox>(id);
        ASSERT_TRUE(combo->isEnabled()) << "list " << id << " is disabled";
        combo->setCurrentIndex(index);
        Q_EMIT combo->activated(index);
    }
    void setText(int id, const QString& text) const { dlg->SetDlgItemText(id, text); }
    QString text(int id) const { return dlg->GetDlgItemText(id); }
    // What a field shows on screen: a multi-line field's line breaks as "\n".
    QString shown(int id) const {
        if (auto* multi = qobject_cast<QPlainTextEdit*>(dlg->GetDlgItem(id)))
            return multi->toPlainText();
        return text(id);
    }
    bool enabled(int id) const { return dlg->IsDlgItemEnabled(id); }
    bool checked(int id) const { return dlg->IsDlgButtonChecked(id); }
    void activate() const {
        dlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    }
    // Puts the focus into a field as a click would.
    void focusField(int id) const {
        QWidget* w = dlg->GetDlgItem(id);
        if (auto* multi = qobject_cast<QPlainTextEdit*>(w))
            QTest::mouseClick(multi->viewport(), Qt::LeftButton);
        else
            QTest::mouseClick(w, Qt::LeftButton);
    }

    RecordingPanel panel;
    QStringList messages;
    std::unique_ptr<TestDlg> dlg;
};

} // namespace testsupport
