#include "settings/private_profile.h"

// STUB: filled by the settings work.
PrivateProfile::PrivateProfile(std::string path) : path_(std::move(path)) {}
int PrivateProfile::getInt(const std::string&, const std::string&, int d) const { return d; }
std::string PrivateProfile::getString(const std::string&, const std::string&,
                                      const std::string& d) const { return d; }
void PrivateProfile::setString(const std::string&, const std::string&, const std::string&) {}
bool PrivateProfile::save(std::string*) const { return false; }
