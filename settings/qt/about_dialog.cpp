#include "settings/qt/about_dialog.h"

#include <QCursor>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

#include "settings/qt/dialog_host.h"

static void loadDialogResources() { Q_INIT_RESOURCE(resources); }

const char* const supportMailAddress = "support@vorlinex.example";
const char* const supportWebAddress = "https://www.vorlinex.example/";

LinkStatic::LinkStatic(const SettingsDialogHost& host, const QString& address, const QString& target, QWidget* parent)
    : QWidget(parent), host_(host), address_(address), target_(target) {
    loadDialogResources();
    // The hand's fingertip is the hot spot.
    setCursor(QCursor(QPixmap(QStringLiteral(":/IDC_CURSOR2.png")), 12, 1));
}

QFont LinkStatic::linkFont() const {
    QFont font = host_.fixedFont();
    font.setPixelSize(12);
    font.setUnderline(true);
    // Drawn as the classic bitmap-like face: solid pixels of the one colour.
    font.setStyleStrategy(QFont::NoAntialias);
    // A character cell 6 px wide: scale the face when its own half-width advance differs.
    const int advance = QFontMetrics(font).horizontalAdvance(QLatin1Char('x'));
    if (advance > 0 && advance != 6) font.setStretch(qBound(1, 600 / advance, 4000));
    return font;
}

void LinkStatic::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(linkFont());
    painter.setPen(QColor(0, 0, 255));
    // The text's top at the control's top-left corner, on a transparent background.
    painter.drawText(QPoint(0, QFontMetrics(painter.font()).ascent()), address_);
}

void LinkStatic::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        host_.openUrl(QUrl(target_));
        return;
    }
    QWidget::mousePressEvent(event);
}

AboutDialog::AboutDialog(const SettingsDialogHost& host, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    loadDialogResources();
    setWindowTitle(QStringLiteral("Vorlinex： About"));
    setFont(host.dialogFont());
    const QFont dialogFont = font();
    const auto rect = [&](int left, int top, int width, int height) {
        return host.dialogRect(dialogFont, left, top, width, height);
    };
    setFixedSize(rect(0, 0, 221, 133).size());

    auto label = [&](const QString& text, int x, int y, int w, int h) {
        auto* l = new QLabel(text, this);
        // This face is wider than the template's: a label keeps its whole text.
        const QRect r = rect(x, y, w, h);
        l->setGeometry(r.x(), r.y(), std::max(r.width(), l->sizeHint().width()), r.height());
        return l;
    };

    auto* frame = new QGroupBox(this);
    frame->setGeometry(rect(8, 4, 204, 120));
    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/vorlinex.png")));
    icon->setGeometry(rect(18, 16, 20, 20));
    QLabel* version = label(QString(), 43, 26, 118, 8);
    version->setObjectName(QString::number(kAboutVersion));
    label(QStringLiteral("2026/12/06"), 53, 45, 124, 8);
    label(QStringLiteral("(C) 2026 Vorlinex. All rights reserved."), 53, 56, 140, 8);
    label(QStringLiteral("Mail："), 65, 74, 16, 8);
    const QString mail = QString::fromUtf8(supportMailAddress);
    auto* mailLink = new LinkStatic(host, mail, QStringLiteral("mailto:") + mail, this);
    mailLink->setObjectName(QString::number(kAboutMail));
    mailLink->setGeometry(rect(84, 73, 122, 8));
    label(QStringLiteral("URL："), 65, 86, 16, 8);
    const QString web = QString::fromUtf8(supportWebAddress);
    auto* webLink = new LinkStatic(host, web, web, this);
    webLink->setObjectName(QString::number(kAboutWeb));
    webLink->setGeometry(rect(84, 86, 122, 8));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QString::number(kAboutOk));
    ok->setGeometry(rect(155, 102, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // Whatever the template holds, the version shown is this one.
    version->setText(QStringLiteral("Vorlinex v1.01a"));
}

void runAboutDialog(const SettingsDialogHost& host, QWidget* owner) {
    AboutDialog dialog(host, owner);
    dialog.exec();
}
