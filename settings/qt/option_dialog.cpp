#include "settings/qt/option_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QString>

#include "relay/relay.h"
#include "settings/config.h"
#include "settings/startup_entry.h"
#include "settings/qt/dialog_host.h"

static void loadDialogResources() { Q_INIT_RESOURCE(resources); }

uint32_t dialogNumber(const QString& text) {
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 10) return 0;
    uint64_t value = 0;
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return 0;
        value = value * 10 + static_cast<uint64_t>(c.unicode() - '0');
    }
    return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

OptionDialog::OptionDialog(const SettingsDialogHost& host, QWidget* owner)
    : QDialog(owner), appOptions(host.config().appOptions), host_(host) {
    loadDialogResources();
    setWindowTitle(QStringLiteral("Vorlinex： Option"));
    setFont(host.dialogFont());
    const QFont dialogFont = font();
    const auto rect = [&](int left, int top, int width, int height) {
        return host.dialogRect(dialogFont, left, top, width, height);
    };
    setFixedSize(rect(0, 0, 187, 231).size());

    auto label = [&](const char* text, int x, int y, int w, int h) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setGeometry(rect(x, y, w, h));
        return l;
    };
    auto frame = [&](int x, int y, int w, int h) {
        auto* g = new QGroupBox(this);
        g->setGeometry(rect(x, y, w, h));
        g->lower();
    };
    auto named = [&](QWidget* w, int id, int x, int y, int wu, int hu) {
        w->setObjectName(QString::number(id));
        w->setGeometry(rect(x, y, wu, hu));
    };
    auto edit = [&](int id, int x, int y) {
        auto* e = new QLineEdit(this);
        e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        named(e, id, x, y, 38, 12);
        return e;
    };
    auto radio = [&](int id, int x, int y) {
        auto* r = new QRadioButton(this);
        r->setFocusPolicy(Qt::ClickFocus);  // the group is not a tab stop
        named(r, id, x, y, 9, 10);
        return r;
    };

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/IDI_ICON3.png")));
    icon->setGeometry(rect(6, 5, 20, 21));
    label("OPTION", 30, 14, 87, 9);
    frame(7, 30, 173, 27);
    label("スタートアップに登録", 13, 41, 87, 9);
    auto* registerButton = new QPushButton(QStringLiteral("登録"), this);
    named(registerButton, kOptionRegister, 138, 38, 38, 15);
    frame(7, 61, 173, 29);
    label("RateUpdate Time", 15, 74, 105, 9);
    QLineEdit* rate = edit(kOptionRate, 138, 72);
    frame(7, 95, 173, 56);
    label("ログ保存時の改行", 15, 107, 55, 9);
    label("変換なし", 113, 107, 37, 9);
    QRadioButton* keep = radio(kOptionKeepLineEnds, 154, 106);
    label("CR 削除", 113, 120, 37, 9);
    QRadioButton* dropCr = radio(kOptionDropCr, 154, 120);
    label("LF 削除", 113, 133, 37, 9);
    QRadioButton* dropLf = radio(kOptionDropLf, 154, 134);
    frame(7, 157, 173, 45);
    label("通信時間を付加する。", 15, 169, 85, 9);
    auto* stamp = new QCheckBox(this);
    named(stamp, kOptionStamp, 154, 169, 10, 8);
    label("通信時間付加までのTimeOut。", 15, 186, 100, 9);
    QLineEdit* timeout = edit(kOptionStampTimeout, 137, 185);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    named(ok, kOptionOk, 39, 209, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("CHANCEL"), this);
    named(cancel, kOptionCancel, 97, 209, 50, 14);
    ok->setDefault(true);

    // One exclusive group that may also have no button checked (a CRLF from the file that
    // none of them stands for).
    auto* lineEnds = new QButtonGroup(this);
    lineEnds->addButton(keep, 0);
    lineEnds->addButton(dropLf, 1);
    lineEnds->addButton(dropCr, 2);

    QWidget* order[] = {ok, cancel, registerButton, rate, timeout, stamp};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    // Opening.
    rate->setText(QString::number(static_cast<uint32_t>(appOptions.RATE.load())));
    if (QAbstractButton* b = lineEnds->button(appOptions.CRLF.load())) b->setChecked(true);
    const bool stampOn = appOptions.DATETIME.load() == 1;
    stamp->setChecked(stampOn);
    timeout->setEnabled(stampOn);
    timeout->setText(QString::number(static_cast<uint32_t>(appOptions.DATETIMEVAL.load())));

    connect(stamp, &QCheckBox::toggled, timeout, &QWidget::setEnabled);
    connect(registerButton, &QPushButton::clicked, this, [this] { registerStartup(); });
    connect(ok, &QPushButton::clicked, this, [this] { acceptOptions(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void OptionDialog::acceptOptions() {
    auto* rate = findChild<QLineEdit*>(QString::number(kOptionRate));
    auto* timeout = findChild<QLineEdit*>(QString::number(kOptionStampTimeout));
    auto* stamp = findChild<QCheckBox*>(QString::number(kOptionStamp));

    const uint32_t seconds = dialogNumber(rate->text());
    if (seconds < 1 || seconds > 60) {
        host_.refuse(SettingsRefusal::RateOutOfRange);
        return;
    }
    appOptions.RATE.store(static_cast<int32_t>(seconds));
    // Tested in this order; with none checked CRLF keeps its value.
    for (auto [id, value] : {std::pair{kOptionKeepLineEnds, 0}, std::pair{kOptionDropLf, 1}, std::pair{kOptionDropCr, 2}}) {
        if (findChild<QRadioButton*>(QString::number(id))->isChecked()) {
            appOptions.CRLF.store(value);
            break;
        }
    }
    appOptions.DATETIME.store(stamp->isChecked() ? 1 : 0);
    if (appOptions.DATETIME.load() == 1) {
        const uint32_t quiet = dialogNumber(timeout->text());
        if (quiet < 1 || quiet > 3600) {
            // What was stored above stays, also if the dialog is cancelled now.
            host_.applyOptions(appOptions);
            host_.refuse(SettingsRefusal::StampTimeoutOutOfRange);
            return;
        }
        appOptions.DATETIMEVAL.store(static_cast<int32_t>(quiet));
    }
    host_.applyOptions(appOptions);
    accept();
}

void OptionDialog::registerStartup() { host_.reportStartupEntry(registerStartupEntry()); }

void runOptionDialog(const SettingsDialogHost& host, QWidget* owner) {
    OptionDialog dialog(host, owner);
    dialog.exec();
}
