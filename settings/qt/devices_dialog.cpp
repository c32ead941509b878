#include "settings/qt/devices_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "relay/network_port.h"
#include "settings/config.h"
#include "settings/qt/dialog_host.h"
#include "settings/qt/serial_device_list.h"

namespace {

QString comName(int comNumber) { return QStringLiteral("COM%1").arg(comNumber); }

QString networkEntryText() { return QStringLiteral("network port…"); }
// Marks the network entry, which stands for no path of its own.
constexpr int kNetworkEntryRole = Qt::UserRole + 1;

bool isNetworkEntry(const QComboBox* combo, int index) {
    return index >= 0 && combo->itemData(index, kNetworkEntryRole).toBool();
}

// A list entry shows what is known of the adapter, but the field must hold its path alone.
void showPathOf(QComboBox* combo, int index) {
    if (index >= 0) combo->setEditText(QFile::decodeName(combo->itemData(index).toByteArray()));
}

// A network address as its path: an IPv6 host in brackets, so that its colons are not taken
// for the one before the port.
std::string networkPathOf(const NetworkAddress& address) {
    const bool bracket = address.host.find(':') != std::string::npos;
    return std::string(address.scheme == NetworkScheme::Tcp ? "tcp://" : "rfc2217://") + (bracket ? "[" : "") +
           address.host + (bracket ? "]" : "") + ":" + std::to_string(address.port);
}

// A host as typed: spaces around it dropped, and brackets the user put around an IPv6 address
// too, since the path adds its own.
QString typedHost(const QLineEdit* edit) {
    QString host = edit->text().trimmed();
    if (host.size() >= 2 && host.front() == QLatin1Char('[') && host.back() == QLatin1Char(']')) host = host.mid(1, host.size() - 2);
    return host;
}

bool parses(const QString& path, NetworkAddress& address) {
    return parseNetworkPath(QFile::encodeName(path).toStdString(), address);
}

}  // namespace

NetworkPortForm::NetworkPortForm(const QString& path, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("NETWORK PORT"));
    setWindowTitle(QStringLiteral("Vorlinex：  Network Port"));
    if (owner != nullptr) setFont(owner->font());  // a window of its own does not inherit it

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("A serial port that a serial server offers on another machine."), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    rfc2217_ = new QRadioButton(QStringLiteral("RFC 2217 (sets the far port's line)"), this);
    tcp_ = new QRadioButton(QStringLiteral("raw TCP"), this);
    rfc2217_->setObjectName(QString::number(kNetworkRfc2217));
    tcp_->setObjectName(QString::number(kNetworkTcp));
    rfc2217_->setChecked(true);
    layout->addWidget(rfc2217_);
    layout->addWidget(tcp_);

    auto* fields = new QGridLayout;
    host_ = new QLineEdit(this);
    port_ = new QLineEdit(this);
    host_->setObjectName(QString::number(kNetworkHost));
    port_->setObjectName(QString::number(kNetworkPort));
    host_->setMinimumWidth(host_->fontMetrics().averageCharWidth() * 40);
    auto* hostLabel = new QLabel(QStringLiteral("Host"), this);
    auto* portLabel = new QLabel(QStringLiteral("Port"), this);
    hostLabel->setBuddy(host_);
    portLabel->setBuddy(port_);
    fields->addWidget(hostLabel, 0, 0);
    fields->addWidget(host_, 0, 1);
    fields->addWidget(portLabel, 1, 0);
    fields->addWidget(port_, 1, 1);
    layout->addLayout(fields);
    why_ = new QLabel(this);
    why_->setObjectName(QString::number(kNetworkWhy));
    layout->addWidget(why_);

    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QStringLiteral("ｷｬﾝｾﾙ"), QDialogButtonBox::RejectRole);
    ok_->setObjectName(QString::number(kNetworkOk));
    cancel->setObjectName(QString::number(kNetworkCancel));
    ok_->setDefault(true);
    layout->addWidget(buttons);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    const QString given = path.trimmed();
    const std::string bytes = QFile::encodeName(given).toStdString();
    NetworkAddress address;
    if (parseNetworkPath(bytes, address)) {
        (address.scheme == NetworkScheme::Tcp ? tcp_ : rfc2217_)->setChecked(true);
        host_->setText(QFile::decodeName(QByteArray::fromStdString(address.host)));
        port_->setText(QString::number(address.port));
    } else if (isNetworkPath(bytes)) {
        // A network path that does not hold together still gives what it has, to be mended here.
        (given.startsWith(QStringLiteral("tcp://")) ? tcp_ : rfc2217_)->setChecked(true);
        const QString rest = given.mid(given.indexOf(QStringLiteral("://")) + 3);
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        const bool bracketed = rest.startsWith(QLatin1Char('[')) && rest.indexOf(QLatin1Char(']')) >= 0;
        const qsizetype hostEnd = bracketed ? rest.indexOf(QLatin1Char(']')) + 1 : colon;
        host_->setText(hostEnd >= 0 ? rest.left(hostEnd) : rest);
        if (colon >= 0 && colon >= hostEnd) port_->setText(rest.mid(colon + 1));
    }
    connect(host_, &QLineEdit::textChanged, this, [this] { check(); });
    connect(port_, &QLineEdit::textChanged, this, [this] { check(); });
    connect(rfc2217_, &QRadioButton::toggled, this, [this] { check(); });
    check();
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString NetworkPortForm::path() const {
    NetworkAddress address;
    const QString scheme = tcp_->isChecked() ? QStringLiteral("tcp://") : QStringLiteral("rfc2217://");
    QString host = typedHost(host_);
    if (host.contains(QLatin1Char(':'))) host = QLatin1Char('[') + host + QLatin1Char(']');
    if (!parses(scheme + host + QLatin1Char(':') + port_->text().trimmed(), address)) return {};
    return QFile::decodeName(QByteArray::fromStdString(networkPathOf(address)));
}

void NetworkPortForm::check() {
    // OK is offered only for a path that the ports will take; otherwise the form says what is
    // missing, and once it holds together, the path it puts in the row.
    const QString path = this->path();
    ok_->setEnabled(!path.isEmpty());
    if (!path.isEmpty()) {
        why_->setText(path);
        return;
    }
    NetworkAddress ignored;
    QStringList why;
    QString host = typedHost(host_);
    if (host.contains(QLatin1Char(':'))) host = QLatin1Char('[') + host + QLatin1Char(']');
    const QString hostPath = QStringLiteral("tcp://") + host + QStringLiteral(":1");
    if (lacksZone(QFile::encodeName(hostPath).toStdString()))
        why << QStringLiteral("Host: a link-local address needs the interface to reach it by (fe80::1%eth0).");
    else if (!parses(hostPath, ignored))
        why << QStringLiteral("Host: a name, an IPv4 address or an IPv6 address.");
    if (!parses(QStringLiteral("tcp://host:") + port_->text().trimmed(), ignored))
        why << QStringLiteral("Port: a number from 1 to 65535.");
    why_->setText(why.join(QLatin1Char('\n')));
}

DevicesDialog::DevicesDialog(const SettingsDialogHost& host, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), host_(host) {
    setObjectName(QStringLiteral("DEVICES"));
    setWindowTitle(QStringLiteral("Vorlinex：  Devices"));
    if (host_.dialogFont) setFont(host_.dialogFont());

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("The device each COM name opens. Choose a detected device or a network port, or type any path."), this);
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
        // Last, after whatever devices were found, so that their places do not move.
        combo->addItem(networkEntryText());
        combo->setItemData(combo->count() - 1, true, kNetworkEntryRole);
        combo->setItemData(combo->count() - 1, QStringLiteral("A port on another machine: rfc2217://HOST:PORT or tcp://HOST:PORT"),
                           Qt::ToolTipRole);
        combo->setCurrentIndex(-1);
        openedPaths_[n - 1] = QByteArray::fromStdString(config.comDevicePaths[n - 1]);
        openedTexts_[n - 1] = QFile::decodeName(openedPaths_[n - 1]);
        combo->setEditText(openedTexts_[n - 1]);
        shownTexts_[n - 1] = openedTexts_[n - 1];
        connect(combo, &QComboBox::editTextChanged, this, [this, n](const QString& text) {
            if (text != networkEntryText()) shownTexts_[n - 1] = text;
        });
        connect(combo, &QComboBox::activated, this, [this, n](int index) { rowChosen(n, index); });
        connect(combo, &QComboBox::currentIndexChanged, this, [this, n](int index) { rowChosen(n, index); });
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
        paths[n - 1] = path.isEmpty() ? defaultComDevicePaths()[n - 1] : path.toStdString();
    }
    return paths;
}

void DevicesDialog::rowChosen(int comNumber, int index) {
    QComboBox* combo = deviceCombo(comNumber);
    if (!isNetworkEntry(combo, index)) {
        showPathOf(combo, index);
        return;
    }
    // The entry is a way to a path, never a row's value: the row lets go of it before the form
    // opens, so that choosing it again opens the form again and the activation that follows the
    // change of entry finds nothing more to do.
    if (combo->currentIndex() != index) return;
    const QString before = shownTexts_[comNumber - 1];
    {
        const QSignalBlocker quiet(combo);
        combo->setCurrentIndex(-1);
    }
    combo->setEditText(before);
    NetworkPortForm form(before, this);
    if (form.exec() == QDialog::Accepted) combo->setEditText(form.path());
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
