#pragma once
// Text and bytes: one byte per character both ways, through Latin-1.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace messaging {

// Characters outside Latin-1 become '?'.
QByteArray toWire(const QString& text);

// Shown in place of a zero byte, so that the bytes after it stay visible.
inline constexpr char16_t kZeroBytePlaceholder = u'\u2400'; // SYMBOL FOR NULL

// count bytes as display text; CR LF, LF CR, CR and LF each become one line break, a zero byte
// shows as kZeroBytePlaceholder.
QString toDisplay(const char* bytes, std::size_t count);

// How many bytes a library call delivered into a zero-terminated buffer: the text up to its
// first zero byte, or as many as the library reported through its out-value when that is more
// (zero bytes inside the data) and leaves room for the terminator. A library that reports nothing
// is read as a plain string, as before.
std::size_t deliveredLength(const char* buffer, std::size_t capacity, std::uint32_t reported);

} // namespace messaging
