#include "messaging/TextCodec.h"

#include <cstring>

namespace messaging {

QByteArray toWire(const QString& text) {
    return text.toLatin1();
}

QString toDisplay(const char* bytes, std::size_t n) {
    QString out(static_cast<qsizetype>(n), Qt::Uninitialized);
    QChar* dst = out.data();
    qsizetype len = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            dst[len++] = QLatin1Char('\n');
            const auto next = i + 1 < n ? static_cast<unsigned char>(bytes[i + 1]) : 0;
            if ((next == '\r' || next == '\n') && next != c)
                ++i; // CR LF or LF CR: one break
            continue;
        }
        dst[len++] = c == 0 ? QChar(kZeroBytePlaceholder) : QLatin1Char(static_cast<char>(c));
    }
    out.truncate(len);
    return out;
}

std::size_t deliveredLength(const char* buffer, std::size_t capacity, std::uint32_t reported) {
    if (capacity == 0)
        return 0;
    const std::size_t text = strnlen(buffer, capacity - 1);
    return reported > text && reported < capacity ? reported : text;
}

} // namespace messaging
