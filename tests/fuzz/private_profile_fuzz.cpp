// Any bytes as an INI file: reading never fails, and writing one key changes that key's line
// (or adds it, with its section when missing) and leaves every other line byte for byte.
#include <algorithm>
#include <vector>

#include "settings/private_profile.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The file's lines, each with its end (LF, or CR LF); the last may have none.
std::vector<std::string> linesOf(const std::string& file) {
    std::vector<std::string> lines;
    for (size_t pos = 0, end; pos < file.size(); pos = end) {
        end = std::min(file.find('\n', pos), file.size() - 1) + 1;
        lines.push_back(file.substr(pos, end - pos));
    }
    return lines;
}

// A line without its end: the LF and a CR just before it.
std::string textOf(const std::string& line) {
    const size_t lf = line.size() - (!line.empty() && line.back() == '\n');
    return line.substr(0, lf - (lf > 0 && line[lf - 1] == '\r' && lf < line.size()));
}

// A name or value the program could write: letters and digits only, never empty.
std::string word(FuzzedDataProvider& in) {
    std::string w;
    for (char c : in.ConsumeRandomLengthString(12))
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) w += c;
    return w.empty() ? "K" : w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = word(in), key = word(in), value = word(in);
    const std::string before = in.ConsumeRemainingBytesAsString(), path = fuzzScratchDir() + "/Vorlinex.ini";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << before;

    PrivateProfile profile(path);
    // No value read can hold a line feed, so this default never collides with one.
    const bool existed = profile.getString(section, key, "\n") != "\n";
    profile.getInt(section, key, -1);
    profile.setString(section, key, value);
    FUZZ_REQUIRE(profile.save(nullptr));
    FUZZ_REQUIRE(PrivateProfile(path).getString(section, key, "\n") == value);

    const std::vector<std::string> old = linesOf(before), now = linesOf(readWholeFile(path));
    const auto same = [&](size_t o, size_t n) {
        // A last line without an end may gain one when a line is added after it.
        const bool open = o + 1 == old.size() && old[o].back() != '\n';
        return now[n] == old[o] || (open && (now[n] == old[o] + "\n" || now[n] == old[o] + "\r\n"));
    };
    size_t first = 0;
    while (first < old.size() && first < now.size() && same(first, first)) ++first;
    if (existed) {
        // Only the key's own line changed.
        FUZZ_REQUIRE(now.size() == old.size());
        for (size_t i = first + 1; i < old.size(); ++i) FUZZ_REQUIRE(same(i, i));
    } else {
        // The key's line, after its new section's header when the section was missing.
        const size_t added = now.size() - old.size();
        FUZZ_REQUIRE(now.size() > old.size() && added <= 2);
        for (size_t i = first; i < old.size(); ++i) FUZZ_REQUIRE(same(i, i + added));
        FUZZ_REQUIRE(added == 1 || textOf(now[first]) == "[" + section + "]");
        FUZZ_REQUIRE(textOf(now[first + added - 1]) == key + "=" + value);
    }
    return 0;
}
