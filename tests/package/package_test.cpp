// The installed program in a package unpacked into a scratch root: check_package.sh runs this
// program from that root's usr/bin, so its own folder is the package's.
#include <signal.h>

#include <QFileInfo>
#include <QProcess>
#include <QUrl>
#include <cstdlib>

#include "tests/shell/qt/shell_harness.h"

namespace {

// It relays and ends with 0 on SIGTERM; HELP opens the current folder's page, else the installed one.
TEST(InstalledProgram, RelaysEndsWithZeroOnSigtermAndHelpFindsTheInstalledPage) {
    const char* root = std::getenv("VORLINEX_PACKAGE_ROOT");
    ASSERT_NE(root, nullptr) << "VORLINEX_PACKAGE_ROOT names the unpacked package";
    const QString installed = QFileInfo(QString(root) + "/usr/share/doc/vorlinex/Vorlinex.html").canonicalFilePath();
    ScratchDir dir;
    PtyCable first, second;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}));
    QProcess program;  // killed by its destructor should a check fail
    program.start(QString(root) + "/usr/bin/vorlinex", {});
    ASSERT_TRUE(program.waitForStarted());
    // Opening the ports purges earlier bytes: call until some come through.
    bool relaying = false;
    for (int attempt = 0; attempt < 60 && !relaying; ++attempt) {
        first.send("ping");
        relaying = !second.receive(4, 1000).empty();
    }
    ASSERT_TRUE(relaying) << "the program never relayed";
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(60000)) << "the program did not end";
    EXPECT_TRUE(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);

    std::vector<QUrl> opened;
    EXPECT_EQ(runVorlinex([&dir, &opened](QWidget* window) {
        Vorlinex& v = vorlinexOf(window);
        v.openUrl = [&opened](const QUrl& url) { opened.push_back(url); };
        v.mainMenuItem(kCommandHelp)->trigger();
        dir.write("Vorlinex.html", "<html>local</html>");
        v.mainMenuItem(kCommandHelp)->trigger();
    }), 0);
    const QString local = QFileInfo(QString::fromStdString(dir.file("Vorlinex.html"))).canonicalFilePath();
    EXPECT_EQ(opened, (std::vector<QUrl>{QUrl::fromLocalFile(installed), QUrl::fromLocalFile(local)}));
}

}  // namespace
