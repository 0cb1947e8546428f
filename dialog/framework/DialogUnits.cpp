#include "framework/DialogUnits.h"

#include <QFontMetrics>

namespace fw {

namespace {
// Rounded a * b / c, as the dialog-unit conversion has always been done.
int mulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>((p >= 0 ? p + c / 2 : p - c / 2) / c);
}
} // namespace

DialogBaseUnits baseUnitsFor(const QFont& font) {
    const QFontMetrics fm(font);
    static const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int avg = (fm.horizontalAdvance(alphabet) / 26 + 1) / 2;
    return {avg > 0 ? avg : 1, fm.height() > 0 ? fm.height() : 1};
}

QRect dialogUnitsToPixels(const QRect& dlu, DialogBaseUnits base) {
    return {mulDiv(dlu.x(), base.x, 4), mulDiv(dlu.y(), base.y, 8), mulDiv(dlu.width(), base.x, 4),
            mulDiv(dlu.height(), base.y, 8)};
}

} // namespace fw
