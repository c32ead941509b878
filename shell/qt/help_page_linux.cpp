#include <QCoreApplication>

#include "shell/qt/help_page.h"

// <prefix>/bin/../share/doc/vorlinex, where the package puts its documents.
QString installedHelpPage() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../share/doc/vorlinex/Vorlinex.html");
}
