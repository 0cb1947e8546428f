#pragma once
// Text and bytes: one byte per character both ways, through Latin-1.

#include <QByteArray>
#include <QString>

namespace messaging {

// Characters outside Latin-1 become '?'.
QByteArray toWire(const QString& text);

// The zero-terminated bytes as display text; CR LF, LF CR, CR and LF each become one line
// break.
QString toDisplay(const char* bytes);

} // namespace messaging
