#include <windows.h>

#include "display/qt/code_page_932.h"

// The code page functions keep no state between calls: there is nothing to open.
Cp932Characters::Cp932Characters() = default;
Cp932Characters::~Cp932Characters() = default;

QString Cp932Characters::character(const char* bytes, size_t length) {
    if (length == 0 || length > 2) return {};
    wchar_t wide[4];
    // A lead byte alone, or a pair the code page leaves empty, is no character.
    const int made = ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(length), wide, 4);
    if (made <= 0) return {};
    return QString::fromWCharArray(wide, made);
}

std::optional<std::string> codePage932Bytes(const QString& text) {
    if (text.isEmpty()) return std::string();
    const std::wstring wide = text.toStdWString();
    const int wideLength = static_cast<int>(wide.size());
    BOOL substituted = FALSE;
    const int size =
        ::WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, nullptr, 0, nullptr, &substituted);
    if (size <= 0 || substituted) return std::nullopt;
    std::string out(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, out.data(), size, nullptr,
                              &substituted) != size ||
        substituted)
        return std::nullopt;
    return out;
}
