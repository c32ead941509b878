#include "shell/qt/desktop.h"

#include <QDesktopServices>
#include <QUrl>

namespace {
std::function<void(const QUrl&)>& recorder() {
    static std::function<void(const QUrl&)> r;
    return r;
}
}  // namespace

void openDesktopUrl(const QUrl& url) {
    if (recorder()) {
        recorder()(url);
        return;
    }
    QDesktopServices::openUrl(url);
}

void setDesktopUrlRecorder(std::function<void(const QUrl&)> r) { recorder() = std::move(r); }
