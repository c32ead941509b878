#include "settings/private_profile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "settings/file_replace.h"

namespace {

// Windows reads an integer through a 30-character buffer: later characters never count.
constexpr size_t kIntValueChars = 29;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool isBlankLine(std::string_view s) {
    return trim(s).empty();
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

// A header is '[' (after blanks) up to the LAST ']' on the line; a '[' without any ']' is an
// ordinary line, as on Windows.
bool sectionHeader(std::string_view line, std::string_view* name) {
    size_t start = 0;
    while (start < line.size() && isBlank(line[start])) ++start;
    if (start >= line.size() || line[start] != '[')
        return false;
    size_t close = line.rfind(']');
    if (close == std::string_view::npos || close < start)
        return false;
    *name = trim(line.substr(start + 1, close - start - 1));
    return true;
}

// The name of an entry line: the text before the first '=' (or the whole line), trimmed.
std::string_view entryName(std::string_view line) {
    size_t eq = line.find('=');
    return trim(eq == std::string_view::npos ? line : line.substr(0, eq));
}

std::string_view entryValue(std::string_view line) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return {};
    std::string_view value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

// Decimal with an optional sign, accumulated in an unsigned 32-bit word as Windows does, so a
// number beyond 32 bits wraps instead of overflowing.
int32_t parseWindowsInt(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    uint32_t total = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        total = total * 10u + static_cast<uint32_t>(s[i] - '0');
    }
    if (negative)
        total = 0u - total;
    return static_cast<int32_t>(total);
}

}  // namespace

PrivateProfile::PrivateProfile(std::string path) : path_(std::move(path)) {
    std::string content;
    if (const int err = readWholeFile(path_, content); err != 0) {
        if (err != ENOENT)
            readError_ = err;
        return;
    }
    exists_ = true;

    bool styleKnown = false;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = content.substr(pos);
            pos = content.size();
        } else {
            size_t end = nl;
            if (end > pos && content[end - 1] == '\r')
                --end;
            line.text = content.substr(pos, end - pos);
            line.ending = content.substr(end, nl + 1 - end);
            pos = nl + 1;
            // Where every line is written with CR LF, that stays the style of added lines too.
            if (!styleKnown && !kTextFilesEndLinesInCrLf) {
                lineEnding_ = line.ending;
                styleKnown = true;
            }
        }
        lines_.push_back(std::move(line));
    }
}

PrivateProfile::Found PrivateProfile::find(const std::string& section,
                                           const std::string& key) const {
    Found found;
    std::string_view wantedSection = trim(section);
    std::string_view wantedKey = trim(key);
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string_view text = lines_[i].text;
        // Editors that save UTF-8 put a byte-order mark in front of the first header.
        if (i == 0 && text.starts_with(kUtf8Bom))
            text.remove_prefix(kUtf8Bom.size());
        std::string_view name;
        if (sectionHeader(text, &name)) {
            // Only the first section of that name is ever looked at, as on Windows.
            if (found.section >= 0)
                break;
            if (sameName(name, wantedSection)) {
                found.section = static_cast<long>(i);
                found.lastEntry = found.section;
            }
            continue;
        }
        if (found.section < 0 || isBlankLine(text))
            continue;
        found.lastEntry = static_cast<long>(i);
        if (found.key < 0 && sameName(entryName(text), wantedKey))
            found.key = static_cast<long>(i);
    }
    return found;
}

std::string PrivateProfile::getString(const std::string& section, const std::string& key,
                                      const std::string& defaultValue) const {
    Found found = find(section, key);
    if (found.key < 0)
        return defaultValue;
    return std::string(entryValue(lines_[static_cast<size_t>(found.key)].text));
}

int PrivateProfile::getInt(const std::string& section, const std::string& key,
                           int defaultValue) const {
    Found found = find(section, key);
    if (found.key < 0)
        return defaultValue;
    std::string_view value = entryValue(lines_[static_cast<size_t>(found.key)].text);
    if (value.empty())
        return defaultValue;
    return parseWindowsInt(value.substr(0, kIntValueChars));
}

void PrivateProfile::setString(const std::string& section, const std::string& key,
                               const std::string& value) {
    Found found = find(section, key);
    if (found.key >= 0) {
        // Keep the key as the file spells it and the blanks after '='; replace the rest.
        std::string& text = lines_[static_cast<size_t>(found.key)].text;
        size_t eq = text.find('=');
        if (eq == std::string::npos) {
            text += "=" + value;
        } else {
            size_t start = eq + 1;
            while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
            text.replace(start, std::string::npos, value);
        }
        return;
    }
    std::vector<Line> added;
    size_t at = lines_.size();
    if (found.section >= 0) {
        at = static_cast<size_t>(found.lastEntry) + 1;
    } else {
        added.push_back({"[" + section + "]", lineEnding_});
    }
    added.push_back({key + "=" + value, lineEnding_});
    // The line before the new ones may be a last line without a line end.
    if (at > 0 && lines_[at - 1].ending.empty())
        lines_[at - 1].ending = lineEnding_;
    lines_.insert(lines_.begin() + static_cast<long>(at), added.begin(), added.end());
}

std::string PrivateProfile::text() const {
    size_t size = 0;
    for (const Line& l : lines_) size += l.text.size() + l.ending.size();
    std::string out;
    out.reserve(size);
    for (const Line& l : lines_) {
        out += l.text;
        // A line read with LF alone is written back with CR LF where the platform's own files
        // end lines so; a last line without a line end stays without.
        out += kTextFilesEndLinesInCrLf && !l.ending.empty() ? std::string("\r\n") : l.ending;
    }
    return out;
}

bool PrivateProfile::save(std::string* error) {
    // A file that exists but could not be read must not be replaced by our few keys.
    int err = readError_;
    if (err == 0)
        err = replaceFile(path_, text(), 0666);
    if (err != 0) {
        if (error != nullptr)
            *error = std::strerror(err);
        return false;
    }
    exists_ = true;
    return true;
}
