#include "shell/qt/desktop.h"

#include <QDesktopServices>
#include <QUrl>

void openDesktopUrl(const QUrl& url) { QDesktopServices::openUrl(url); }
