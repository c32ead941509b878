// Links handed to the desktop (help page, mail, web). Tests record them instead of opening.
#pragma once

#include <functional>

class QUrl;

void openDesktopUrl(const QUrl& url);
// A recorder replaces the desktop for the process (tests); pass {} to restore it.
void setDesktopUrlRecorder(std::function<void(const QUrl&)> recorder);
