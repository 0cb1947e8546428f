// The event routing table against the dialog template.

#include "resources/Resources.h"
#include "ui/ControlIds.h"
#include "ui/EventRoutes.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

const fw::DialogTemplate& mainTemplate() {
    return dialogTemplate(IDD_PORTULA_DIALOG);
}

const fw::ControlTemplate* control(int id) {
    for (const fw::ControlTemplate& ct : mainTemplate().controls)
        if (ct.id == id)
            return &ct;
    return nullptr;
}

TEST(Routes, EveryRoutedControlExistsAndTakesItsEvent) {
    std::set<std::pair<RoutedEvent, int>> seen;
    for (const Route& r : eventRoutes()) {
        EXPECT_TRUE(seen.insert({r.event, r.controlId}).second)
            << "(event, id) routed twice: " << r.controlId;
        if (r.event == RoutedEvent::TimerTick) {
            EXPECT_EQ(r.controlId, kWindowItself);
            continue;
        }
        const fw::ControlTemplate* ct = control(r.controlId);
        ASSERT_NE(ct, nullptr) << r.controlId;
        using K = fw::ControlKind;
        switch (r.event) {
        case RoutedEvent::Clicked:
            EXPECT_TRUE(ct->kind == K::PushButton || ct->kind == K::CheckBox ||
                        ct->kind == K::RadioButton)
                << r.controlId;
            break;
        case RoutedEvent::SelectionChanged:
            EXPECT_EQ(ct->kind, K::ComboBox) << r.controlId;
            break;
        case RoutedEvent::FocusGained:
        case RoutedEvent::FocusLost:
            EXPECT_TRUE(ct->kind == K::Edit || ct->kind == K::MultiLineEdit) << r.controlId;
            break;
        case RoutedEvent::TimerTick:
            break;
        }
    }
    EXPECT_EQ(eventRoutes().size(), 30u);
    EXPECT_EQ(findRoute(RoutedEvent::Clicked, IDC_DATASIZE_IN_COM), nullptr);
    EXPECT_EQ(findRoute(RoutedEvent::Clicked, IDC_OPEN_COM)->operation, Operation::OpenPort);
}

TEST(Routes, EveryEditFieldRaisesAndLowersTheKeyboard) {
    for (const fw::ControlTemplate& ct : mainTemplate().controls) {
        if (ct.kind != fw::ControlKind::Edit && ct.kind != fw::ControlKind::MultiLineEdit)
            continue;
        ASSERT_NE(findRoute(RoutedEvent::FocusGained, ct.id), nullptr) << ct.id;
        EXPECT_EQ(findRoute(RoutedEvent::FocusGained, ct.id)->operation, Operation::ShowKeyboard);
        EXPECT_EQ(findRoute(RoutedEvent::FocusLost, ct.id)->operation, Operation::HideKeyboard);
    }
}

TEST(Template, HasTheControlsListsAndGroupsOfTheDialog) {
    const fw::DialogTemplate& t = mainTemplate();
    EXPECT_EQ(t.controls.size(), 41u);
    EXPECT_STREQ(t.title, "Portula v7.0");
    std::set<int> ids;
    for (const fw::ControlTemplate& ct : t.controls)
        if (ct.id != fw::kNoId) {
            EXPECT_TRUE(ids.insert(ct.id).second) << "duplicate id " << ct.id;
        }
    EXPECT_EQ(ids.size(), 26u);

    const std::map<int, std::vector<std::string>> lists{
        {IDC_BAUD_LIST, {"1200", "2400", "4800", "9600", "19200", "38400", "115200"}},
        {IDC_DATABITS_LIST, {"5", "6", "7", "8"}},
        {IDC_STOPBITS_LIST, {"1", "2"}},
        {IDC_PARITY_LIST, {"None", "Odd", "Even"}},
        {IDC_SLOT_LIST, {"1", "2", "3", "4", "5", "6", "7"}}};
    std::size_t found = 0;
    for (const fw::ListContent& l : t.lists) {
        std::vector<std::string> entries(l.entries.begin(), l.entries.end());
        if (l.controlId == IDC_PORT_LIST) {
            ASSERT_EQ(entries.size(), 20u);
            for (std::size_t i = 0; i < entries.size(); ++i)
                EXPECT_EQ(entries[i], "COM" + std::to_string(i + 1));
            ++found;
            continue;
        }
        ASSERT_TRUE(lists.count(l.controlId)) << l.controlId;
        EXPECT_EQ(entries, lists.at(l.controlId));
        ++found;
    }
    EXPECT_EQ(found, 6u);

    // The radio group of None..CR_LF is closed by a group start before DEF:.
    int groupOf[2000] = {};
    int group = 0;
    for (const fw::ControlTemplate& ct : t.controls) {
        group += (ct.style & fw::StyleGroup) ? 1 : 0;
        if (ct.id != fw::kNoId)
            groupOf[ct.id] = group;
    }
    for (int id : {IDC_MODE_CR, IDC_MODE_LF, IDC_MODE_LF_CR, IDC_MODE_CR_LF})
        EXPECT_EQ(groupOf[id], groupOf[IDC_MODE_NONE]);
    EXPECT_NE(groupOf[IDC_MODE_DEF], groupOf[IDC_MODE_NONE]);
}

} // namespace
