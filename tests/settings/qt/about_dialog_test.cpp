// IDD_DIALOG_ABOUT on real widgets: texts, the two links' looks, cursor and targets.
#include "settings/qt/about_dialog.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QFontInfo>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QUrl>
#include <vector>

#include "shell/qt/desktop.h"
#include "tests/settings/qt/dialog_test_support.h"

namespace {

struct UrlLog {
    std::vector<QUrl> urls;
    UrlLog() {
        setDesktopUrlRecorder([this](const QUrl& u) { urls.push_back(u); });
    }
    ~UrlLog() { setDesktopUrlRecorder({}); }
};

void pressOn(QWidget* w, Qt::MouseButton button) {
    const QPointF at(3, 3);
    QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

TEST(AboutDialog, ShowsTheVersionAndItsTexts) {
    AboutDialog d(nullptr);
    d.show();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Vorlinex： About"));
    EXPECT_FALSE(d.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(d.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(control<QLabel>(&d, 1074)->text(), QStringLiteral("Vorlinex v1.01a"));
    const QStringList texts = staticTexts(&d);
    EXPECT_TRUE(texts.contains(QStringLiteral("Mail：")));
    EXPECT_TRUE(texts.contains(QStringLiteral("URL：")));
    EXPECT_GE(texts.size(), 5);  // version, date line, notice line and the two labels
    expectTextsUncut(&d);
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    AboutDialog again(nullptr);
    again.show();
    pressEscape(&again);
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(again.result(), QDialog::Rejected);
}

TEST(AboutDialog, ALeftClickOnALinkHandsItsTargetToTheDesktop) {
    UrlLog log;
    AboutDialog d(nullptr);
    d.show();
    auto* mail = control<LinkStatic>(&d, 5003);
    auto* web = control<LinkStatic>(&d, 5004);
    ASSERT_NE(mail, nullptr);
    ASSERT_NE(web, nullptr);
    pressOn(mail, Qt::RightButton);
    EXPECT_TRUE(log.urls.empty());
    pressOn(mail, Qt::LeftButton);
    pressOn(web, Qt::LeftButton);
    ASSERT_EQ(log.urls.size(), 2u);
    EXPECT_EQ(log.urls[0], QUrl(QStringLiteral("mailto:support@vorlinex.example")));
    EXPECT_EQ(log.urls[0].scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(log.urls[1], QUrl(QStringLiteral("https://www.vorlinex.example/")));
    EXPECT_TRUE(log.urls[1].isValid());
    EXPECT_EQ(mail->address(), QStringLiteral("support@vorlinex.example"));
    EXPECT_EQ(web->address(), QStringLiteral("https://www.vorlinex.example/"));
}

TEST(AboutDialog, LinksShowTheHandWithItsHotSpotAtTheFingertip) {
    AboutDialog d(nullptr);
    for (int id : {5003, 5004}) {
        const QCursor cursor = control(&d, id)->cursor();
        EXPECT_EQ(cursor.shape(), Qt::BitmapCursor);
        EXPECT_EQ(cursor.hotSpot(), QPoint(12, 1));
        const QImage hand = cursor.pixmap().toImage();
        ASSERT_EQ(hand.size(), QSize(32, 32));
        // The fingertip is drawn where the hot spot is; the far corner is transparent.
        EXPECT_GT(qAlpha(hand.pixel(12, 1)), 0);
        EXPECT_EQ(qAlpha(hand.pixel(31, 0)), 0);
    }
    EXPECT_EQ(d.cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(control(&d, 1074)->cursor().shape(), Qt::ArrowCursor);
}

TEST(AboutDialog, LinksPaintTheirAddressUnderlinedInPureBlue) {
    AboutDialog d(nullptr);
    d.show();
    for (int id : {5003, 5004}) {
        auto* link = control<LinkStatic>(&d, id);
        const QImage image = link->grab().toImage();
        const QRgb blue = qRgb(0, 0, 255);
        int bluePixels = 0, longestRun = 0;
        for (int y = 0; y < image.height(); ++y) {
            int run = 0;
            for (int x = 0; x < image.width(); ++x) {
                const bool isBlue = (image.pixel(x, y) | 0xFF000000u) == blue;
                bluePixels += isBlue;
                run = isBlue ? run + 1 : 0;
                longestRun = std::max(longestRun, run);
            }
        }
        EXPECT_GT(bluePixels, 50) << id;
        // The underline runs under the whole address, at about 6 pixels a character.
        const int characters = link->address().size();
        EXPECT_GE(longestRun, characters * 5) << id;
        EXPECT_LE(longestRun, characters * 7 + 2) << id;
    }
    const QFont font = LinkStatic::linkFont();
    EXPECT_EQ(font.pixelSize(), 12);
    EXPECT_TRUE(font.underline());
    EXPECT_TRUE(font.fixedPitch() || QFontInfo(font).fixedPitch());
}

}  // namespace
