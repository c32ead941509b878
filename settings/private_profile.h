// A private-profile (INI) file with the meaning of Windows' GetPrivateProfileInt and
// WritePrivateProfileString: case-insensitive names, first match wins, foreign lines kept.
#pragma once

#include <string>
#include <vector>

class PrivateProfile {
public:
    // Reads the file; a missing or unreadable file gives an empty profile (exists() false).
    explicit PrivateProfile(std::string path);

    bool exists() const { return exists_; }
    const std::string& path() const { return path_; }

    // The key's value as a decimal integer with optional sign; defaultValue when the key is
    // missing; 0 when the value does not begin with a number (as Windows does).
    int getInt(const std::string& section, const std::string& key, int defaultValue) const;
    // The key's raw value with surrounding blanks removed, or defaultValue.
    std::string getString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) const;

    // Replaces the value in place, or adds the key at the end of its section, or adds the
    // section at the end of the file. In memory only until save().
    void setString(const std::string& section, const std::string& key, const std::string& value);

    // Writes the whole file atomically (temporary file, then rename). On failure returns false,
    // leaves the old file as it was and puts the system's reason into *error.
    bool save(std::string* error) const;

private:
    std::string path_;
    bool exists_ = false;
    std::vector<std::string> lines_;  // without line ends
    std::string lineEnd_ = "\r\n";
    bool finalNewline_ = true;
};
