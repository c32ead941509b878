#include <QCoreApplication>

#include "shell/qt/help_page.h"

// The installer and the portable folder put the page beside the program.
QString installedHelpPage() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Vorlinex.html"); }
