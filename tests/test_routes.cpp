// The event routing table against the dialog template.

#include "resources/Resources.h"
#include "rules/Rates.h"
#include "serial/PortSettings.h"
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
    // Every control the operator can press does something, but the one that only shows a
    // count.
    for (const fw::ControlTemplate& ct : mainTemplate().controls) {
        using K = fw::ControlKind;
        const bool pressable =
            ct.kind == K::PushButton || ct.kind == K::CheckBox || ct.kind == K::RadioButton;
        if (pressable && ct.id != fw::kNoId && ct.id != IDC_DATASIZE_IN_COM) {
            EXPECT_NE(findRoute(RoutedEvent::Clicked, ct.id), nullptr) << ct.id;
        }
        if (ct.kind == K::ComboBox) {
            EXPECT_NE(findRoute(RoutedEvent::SelectionChanged, ct.id), nullptr) << ct.id;
        }
    }
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

// What the operator picks in a list is what the port opens with: each entry of the settings
// lists stands for the value the handlers record for its index, and that value is one the
// serial library takes.
TEST(Template, EachListEntryIsTheSettingItsIndexGives) {
    const fw::DialogTemplate& t = mainTemplate();
    std::set<int> ids;
    for (const fw::ControlTemplate& ct : t.controls)
        if (ct.id != fw::kNoId) {
            EXPECT_TRUE(ids.insert(ct.id).second) << "duplicate id " << ct.id;
        }
    const auto entries = [&](int id) {
        for (const fw::ListContent& l : t.lists)
            if (l.controlId == id)
                return std::vector<std::string>(l.entries.begin(), l.entries.end());
        ADD_FAILURE() << "no list for " << id;
        return std::vector<std::string>{};
    };
    const auto bauds = entries(IDC_BAUD_LIST);
    ASSERT_EQ(bauds.size(), serial::kBaudRates.size());
    for (std::size_t i = 0; i < bauds.size(); ++i) {
        EXPECT_EQ(std::stoul(bauds[i]), serial::kBaudRates[i]) << i;
        EXPECT_TRUE(portula::isLineRate(serial::kBaudRates[i])) << bauds[i];
    }
    EXPECT_EQ(bauds.at(serial::kFastBaudIndex), "115200");
    const auto dataBits = entries(IDC_DATABITS_LIST);
    ASSERT_EQ(dataBits.size(), serial::kDataBits.size());
    for (std::size_t i = 0; i < dataBits.size(); ++i)
        EXPECT_EQ(std::stoul(dataBits[i]), serial::kDataBits[i]) << i;
    const auto ports = entries(IDC_PORT_LIST);
    ASSERT_EQ(ports.size(), static_cast<std::size_t>(serial::kPortCount));
    for (std::size_t i = 0; i < ports.size(); ++i)
        EXPECT_EQ(ports[i], "COM" + std::to_string(i + 1))
            << "index " << i << " opens COM" << i + 1;
    // Stop bits: index + 1; parity: the index is the library's code (none, odd, even).
    EXPECT_EQ(entries(IDC_STOPBITS_LIST), (std::vector<std::string>{"1", "2"}));
    const auto parities = entries(IDC_PARITY_LIST);
    ASSERT_EQ(parities.size(), 3u);
    EXPECT_EQ(parities[1], "Odd");
    EXPECT_EQ(parities[2], "Even");

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
