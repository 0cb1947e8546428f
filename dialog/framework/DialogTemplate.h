#pragma once
// A dialog described as data: caption, font size, size, and the controls in tab order.
// Geometry is in dialog units (a quarter of the font's mean width, an eighth of its height).

#include <span>

namespace fw {

enum class ControlKind {
    StaticText,
    GroupBox,
    PushButton,
    CheckBox,
    RadioButton,
    ComboBox,
    Edit,          // single line, scrolls horizontally
    MultiLineEdit, // wraps, scrolls vertically, does not take Enter
};

enum ControlStyle : unsigned {
    StyleNone = 0,
    StyleGroup = 1u << 0,   // starts a group of controls (radio exclusivity ends here)
    StyleTabStop = 1u << 1, // reachable with the Tab key
    StyleBorder = 1u << 2,  // edit fields drawn with a frame
    StyleVScroll = 1u << 3, // vertical scroll bar
};

inline constexpr int kNoId = -1;

struct ControlTemplate {
    int id; // kNoId for controls the program never addresses
    ControlKind kind;
    const char* caption;
    int x, y, width, height;
    unsigned style;
    const char* accessibleName = nullptr; // for screen readers, where the caption can't serve
};

struct ListContent {
    int controlId;
    std::span<const char* const> entries;
};

struct DialogTemplate {
    int id;
    const char* title;
    int pointSize; // in the platform's default face

    int width, height;
    std::span<const ControlTemplate> controls;
    std::span<const ListContent> lists; // filled in by the base dialog initialisation
};

} // namespace fw
