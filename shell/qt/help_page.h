// Where the help page is installed with the program: the second place HELP looks, after the
// current directory.
#pragma once

#include <QString>

QString installedHelpPage();
