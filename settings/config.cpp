#include "settings/config.h"

// STUB: filled by the settings work.
AppOptions appOptions;
std::string configPath() { return "Vorlinex.ini"; }
int loadConfig() { return 0; }
void saveConfig() {}
