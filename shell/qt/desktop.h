// Links handed to the desktop (help page, mail, web).
#pragma once

#include <functional>

class QUrl;

void openDesktopUrl(const QUrl& url);
