#include "settings/qt/devices_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "settings/config.h"
#include "settings/qt/dialog_host.h"
#include "settings/qt/serial_device_list.h"

namespace {

QString comName(int comNumber) { return QStringLiteral("COM%1").arg(comNumber); }

// A list entry shows what is known of the adapter, but the field must hold its path alone.
void showPathOf(QComboBox* combo, int index) {
    if (index >= 0) combo->setEditText(QFile::decodeName(combo->itemData(index).toByteArray()));
}

}  // namespace

DevicesDialog::DevicesDialog(const SettingsDialogHost& host, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), host_(host) {
    setObjectName(QStringLiteral("DEVICES"));
    setWindowTitle(QStringLiteral("Vorlinex：  Devices"));
    if (host_.dialogFont) setFont(host_.dialogFont());

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("The device each COM name opens. Choose a detected device or type any path."), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    const Config config = host_.config();
    const std::vector<SerialDeviceInfo> found =
        host_.listSerialDevices ? host_.listSerialDevices() : std::vector<SerialDeviceInfo>{};
    auto* rows = new QGridLayout;
    for (int n = 1; n <= 6; ++n) {
        auto* name = new QLabel(comName(n), this);
        auto* combo = new QComboBox(this);
        combo->setObjectName(comName(n));
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setMinimumContentsLength(48);
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        for (const SerialDeviceInfo& device : found) {
            const QString text = QFile::decodeName(QByteArray::fromStdString(deviceEntryText(device)));
            combo->addItem(text, QByteArray::fromStdString(device.path));
            combo->setItemData(combo->count() - 1, text, Qt::ToolTipRole);
        }
        combo->setCurrentIndex(-1);
        openedPaths_[n - 1] = QByteArray::fromStdString(config.comDevicePaths[n - 1]);
        openedTexts_[n - 1] = QFile::decodeName(openedPaths_[n - 1]);
        combo->setEditText(openedTexts_[n - 1]);
        connect(combo, &QComboBox::activated, combo, [combo](int index) { showPathOf(combo, index); });
        connect(combo, &QComboBox::currentIndexChanged, combo, [combo](int index) { showPathOf(combo, index); });
        name->setBuddy(combo);
        rows->addWidget(name, n - 1, 0);
        rows->addWidget(combo, n - 1, 1);
    }
    layout->addLayout(rows);
    if (found.empty()) {
        layout->addWidget(new QLabel(QStringLiteral("No serial adapter was found; paths can still be typed."), this));
    }

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QStringLiteral("ｷｬﾝｾﾙ"), QDialogButtonBox::RejectRole);
    ok->setObjectName(QString::number(kDevicesOk));
    cancel->setObjectName(QString::number(kDevicesCancel));
    ok->setDefault(true);
    layout->addWidget(buttons);
    connect(ok, &QPushButton::clicked, this, [this] { acceptPaths(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(sizeHint());
}

QComboBox* DevicesDialog::deviceCombo(int comNumber) const {
    return findChild<QComboBox*>(comName(comNumber));
}

std::array<std::string, 6> DevicesDialog::chosenPaths() const {
    std::array<std::string, 6> paths;
    for (int n = 1; n <= 6; ++n) {
        const QComboBox* combo = deviceCombo(n);
        QString text = combo->currentText();
        QByteArray path;
        if (text == openedTexts_[n - 1]) {
            // Shown as best the locale can, which may have lost bytes: the row's own bytes count.
            path = openedPaths_[n - 1];
        } else if (const int entry = combo->findText(text, Qt::MatchExactly); entry >= 0) {
            path = combo->itemData(entry).toByteArray();
        } else {
            for (int i = 0; i < combo->count() && path.isEmpty(); ++i) {
                if (QFile::decodeName(combo->itemData(i).toByteArray()) == text) path = combo->itemData(i).toByteArray();
            }
            if (path.isEmpty()) {
                // One line of the file per key: a pasted line break must not make a line of its own.
                text.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
                path = QFile::encodeName(text.trimmed());
            }
        }
        paths[n - 1] = path.isEmpty() ? "/dev/ttyS" + std::to_string(n - 1) : path.toStdString();
    }
    return paths;
}

void DevicesDialog::acceptPaths() {
    // The host writes the file first and reopens the ports only once it is written; when it could
    // not be, the window stays for another try.
    if (host_.applyDevicePaths(chosenPaths())) accept();
}

void runDevicesDialog(const SettingsDialogHost& host, QWidget* owner) {
    DevicesDialog dialog(host, owner);
    dialog.exec();
}
