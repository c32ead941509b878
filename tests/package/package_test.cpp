// The installed program, as a package unpacked into a scratch root lays it out. This program is
// copied into that root's usr/bin beside the unpacked vorlinex and run from there
// (tests/package/check_package.sh), so the program's own folder is the package's.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QUrl>
#include <cstdlib>

#include "tests/shell/qt/shell_harness.h"

namespace {

// Run as a process of its own from its INI file, it relays both ways and ends with 0 on SIGTERM.
// HELP opens the current folder's page first, else the page the package installed.
TEST(InstalledProgram, RelaysEndsWithZeroOnSigtermAndHelpFindsTheInstalledPage) {
    const char* root = std::getenv("VORLINEX_PACKAGE_ROOT");
    ASSERT_NE(root, nullptr) << "VORLINEX_PACKAGE_ROOT names the unpacked package";
    const QString installed = QFileInfo(QString(root) + "/usr/share/doc/vorlinex/Vorlinex.html").canonicalFilePath();
    ASSERT_FALSE(installed.isEmpty()) << "the package holds no help page";
    ScratchDir dir;
    PtyCable first, second;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}));
    expectProgramRelaysAndEndsWithZero(QString(root) + "/usr/bin/vorlinex", first, second, SIGTERM);

    std::vector<std::string> opened;
    recordBoxes();
    EXPECT_EQ(runVorlinex([&dir, &opened](QWidget* window) {
        Vorlinex& v = vorlinexOf(window);
        v.openUrl = [&opened](const QUrl& url) { opened.push_back(url.toString().toStdString()); };
        v.mainMenuItem(40003)->trigger();
        dir.write("Vorlinex.html", "<html>local</html>");
        v.mainMenuItem(40003)->trigger();
    }), 0);
    const QString local = QFileInfo(QString::fromStdString(dir.file("Vorlinex.html"))).canonicalFilePath();
    const auto url = [](const QString& path) { return QUrl::fromLocalFile(path).toString().toStdString(); };
    EXPECT_EQ(opened, (std::vector<std::string>{url(installed), url(local)}));
    EXPECT_TRUE(recordedBoxes().empty());
}

}  // namespace
