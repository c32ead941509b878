// A private-profile (INI) file with the meaning of Windows' GetPrivateProfileInt and
// WritePrivateProfileString: case-insensitive names, the first matching section and key win,
// and every line the program does not write stays byte for byte as it was.
#pragma once

#include <string>
#include <vector>

class PrivateProfile {
  public:
    // Reads the file. A missing file, or one that cannot be read (a directory, a FIFO, no
    // permission), gives an empty profile with exists() false; save() then refuses to replace
    // what it could not read.
    explicit PrivateProfile(std::string path);

    bool exists() const { return exists_; }
    // errno when the path is there but could not be read (EISDIR, EACCES...); 0 otherwise.
    int readError() const { return readError_; }
    // Whether the file has a section of that name.
    bool hasSection(const std::string& section) const { return find(section, "").section >= 0; }
    // The line (from 1) of the key that getInt and getString read, 0 when it is missing.
    int lineOf(const std::string& section, const std::string& key) const {
        return static_cast<int>(find(section, key).key + 1);
    }
    const std::string& path() const { return path_; }

    // The key's value read as Windows reads it: blanks skipped, an optional sign, decimal digits
    // up to the first non-digit. A missing key (or an empty value, as Windows treats it) gives
    // defaultValue; a value that does not begin with a number gives 0. Only the first 29
    // characters of the value count, and the digits wrap modulo 2^32 as they do on Windows.
    int getInt(const std::string& section, const std::string& key, int defaultValue) const;
    // The key's value with surrounding blanks and one pair of matching quotes removed, or
    // defaultValue when the key is missing.
    std::string getString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) const;

    // Replaces the value in place, or adds the key after the last non-blank line of its
    // (first) section, or adds the section at the end of the file. In memory until save().
    void setString(const std::string& section, const std::string& key, const std::string& value);

    // Writes the whole file in one atomic replacement (replaceFile: through a symbolic link, never
    // over a file the user may not write). On failure returns false, leaves the old file as it
    // was and puts the reason into *error.
    bool save(std::string* error);

    // The file's text as save() would write it.
    std::string text() const;

  private:
    struct Line {
        std::string text;    // without its line end
        std::string ending;  // "\r\n", "\n", or "" for a last line without one
    };
    struct Found {
        long section = -1;    // index of the section's header line, -1 when missing
        long key = -1;        // index of the key's line, -1 when missing
        long lastEntry = -1;  // last non-blank line of the section (the header when none)
    };

    Found find(const std::string& section, const std::string& key) const;

    std::string path_;
    bool exists_ = false;
    int readError_ = 0;  // errno when the path exists but could not be read
    std::vector<Line> lines_;
    std::string lineEnding_ = "\r\n";  // the file's own style; CR LF for a new file
};
