#include <iconv.h>

#include <cstring>

#include "display/qt/code_page_932.h"

namespace {

iconv_t converterOf(void* converter) { return static_cast<iconv_t>(converter); }
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

}  // namespace

Cp932Characters::Cp932Characters() : converter_(iconv_open("UTF-8", "CP932")) {}

Cp932Characters::~Cp932Characters() {
    if (converterOf(converter_) != kNoConverter) iconv_close(converterOf(converter_));
}

QString Cp932Characters::character(const char* bytes, size_t length) {
    const iconv_t converter = converterOf(converter_);
    if (converter == kNoConverter || length > 2) return {};
    iconv(converter, nullptr, nullptr, nullptr, nullptr);  // nothing left over from the last one
    char in[2];
    std::memcpy(in, bytes, length);
    char out[16];
    char* inPtr = in;
    char* outPtr = out;
    size_t inLeft = length;
    size_t outLeft = sizeof out;
    if (iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return {};
    return QString::fromUtf8(out, static_cast<int>(outPtr - out));
}

std::optional<std::string> codePage932Bytes(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    iconv_t converter = iconv_open("CP932", "UTF-8");
    if (converter == kNoConverter) return std::nullopt;
    std::string out(static_cast<size_t>(utf8.size()) * 2 + 8, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = static_cast<size_t>(utf8.size());
    char* to = out.data();
    size_t outLeft = out.size();
    const bool converted = iconv(converter, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(converter);
    if (!converted) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}
