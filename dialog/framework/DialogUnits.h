#pragma once
// Conversion from dialog units to pixels: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height.

#include <QFont>
#include <QRect>

namespace fw {

struct DialogBaseUnits {
    int x; // average character width in pixels
    int y; // character height in pixels
};

DialogBaseUnits baseUnitsFor(const QFont& font);

// Pure: maps a rectangle in dialog units to pixels for the given base units.
QRect dialogUnitsToPixels(const QRect& dlu, DialogBaseUnits base);

} // namespace fw
