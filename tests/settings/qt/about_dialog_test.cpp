// IDD_DIALOG_ABOUT on real widgets: its texts and where its two links lead.
#include "settings/qt/about_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QMouseEvent>
#include <QUrl>
#include <vector>

#include "shell/qt/desktop.h"
#include "shell/qt/main_window.h"
#include "tests/settings/qt/dialog_test_support.h"

namespace {

void pressOn(QWidget* w, Qt::MouseButton button) {
    for (auto [type, buttons] : {std::pair{QEvent::MouseButtonPress, button}, std::pair{QEvent::MouseButtonRelease, Qt::NoButton}}) {
        QMouseEvent event(type, QPointF(3, 3), w->mapToGlobal(QPointF(3, 3)), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &event);
    }
}

TEST(AboutDialog, ShowsItsTextsAndALeftClickHandsALinkToTheDesktop) {
    std::vector<QUrl> urls;
    Vorlinex v;
    v.openUrl = [&urls](const QUrl& u) { urls.push_back(u); };
    AboutDialog d(v.settingsHost, nullptr);
    d.show();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Vorlinex： About"));
    EXPECT_EQ(control<QLabel>(&d, 1074)->text(), QStringLiteral("Vorlinex v1.01a"));
    QStringList texts;
    for (const QLabel* l : d.findChildren<QLabel*>()) texts << l->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Mail：")) && texts.contains(QStringLiteral("URL："))) << texts.join('|').toStdString();

    QWidget *mail = control(&d, 5003), *web = control(&d, 5004);
    ASSERT_TRUE(mail != nullptr && web != nullptr);
    pressOn(mail, Qt::RightButton);
    EXPECT_TRUE(urls.empty());
    pressOn(mail, Qt::LeftButton);
    pressOn(web, Qt::LeftButton);
    EXPECT_EQ(urls, (std::vector<QUrl>{QUrl(QStringLiteral("mailto:support@vorlinex.example")),
                                      QUrl(QStringLiteral("https://www.vorlinex.example/"))}));
    EXPECT_TRUE(d.isVisible());
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
}

}  // namespace
