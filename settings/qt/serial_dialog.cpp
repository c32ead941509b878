#include "settings/qt/serial_dialog.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <algorithm>
#include <vector>

#include "relay/channel.h"
#include "relay/relay.h"
#include "settings/port_restart.h"
#include "settings/qt/dialog_host.h"

static void loadDialogResources() { Q_INIT_RESOURCE(resources); }

namespace {

// The controls of one port's column: ids in the order of the rows COM, BPS, BITS, PARI, STOP,
// FLOW, which is not the order of the ids on port 2.
struct Column {
    int comId, bpsId, bitsId, pariId, stopId, flowId;
    int labelX;
    int comboX;
    int groupX;
    const char* groupTitle;
    // The pixel rectangles the combos move to once filled: x of the column, y per row.
    int pixelX;
    int pixelY[6];
};

const Column kColumns[2] = {
    {kSerialCom1, kSerialBps1, kSerialBits1, kSerialParity1, kSerialStop1, kSerialFlow1,
     21, 50, 7, "Serial Port1", 90, {70, 99, 126, 152, 179, 206}},
    {kSerialCom2, kSerialBps2, kSerialBits2, kSerialParity2, kSerialStop2, kSerialFlow2,
     144, 175, 131, "Serial Port2", 310, {71, 98, 125, 152, 179, 206}},
};

const int kRowY[6] = {49, 67, 85, 103, 121, 139};
const char* const kRowLabels[6] = {"COM　：", "BPS　：", "BITS　：", "PARI　：", "STOP　：", "FLOW　："};

template <size_t N>
void fill(QComboBox* combo, const std::array<const char*, N>& table, int selected) {
    for (const char* entry : table) combo->addItem(QString::fromUtf8(entry));
    combo->setCurrentIndex(selected >= 0 && selected < static_cast<int>(N) ? selected : -1);
}

}  // namespace

SerialDialog::SerialDialog(const SettingsDialogHost& host, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), host_(host), config_(host.config()) {
    loadDialogResources();
    setWindowTitle(QStringLiteral("Vorlinex：  Serial Port"));
    setFont(host_.dialogFont());
    const QFont dialogFont = font();
    const auto rect = [&](int left, int top, int width, int height) {
        return host_.dialogRect(dialogFont, left, top, width, height);
    };
    setFixedSize(rect(0, 0, 310, 171).size());

    auto button = [&](int id, const char* text, int x, int y) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setObjectName(QString::number(id));
        b->setGeometry(rect(x, y, 50, 15));
        return b;
    };
    auto label = [&](const char* text, QRect r) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        // This face is wider than the template's: a label keeps its whole text.
        l->setGeometry(r.x(), r.y(), std::max(r.width(), l->sizeHint().width()), r.height());
        return l;
    };

    // Template order.
    QPushButton* ok = button(kSerialOk, "OK", 253, 126);
    QPushButton* cancel = button(kSerialCancel, "ｷｬﾝｾﾙ", 253, 146);
    ok->setDefault(true);

    const PortChoice shown[2] = {choiceFromSettings(config_.port1), choiceFromSettings(config_.port2)};
    std::vector<QWidget*> tabOrder{ok, cancel};
    for (int c = 0; c < 2; ++c) {
        const Column& col = kColumns[c];
        for (int row = 0; row < 6; ++row) label(kRowLabels[row], rect(col.labelX, kRowY[row], row >= 4 ? 25 : 23, 9));
        auto makeCombo = [&](int id, int row) {
            auto* box = new QComboBox(this);
            box->setObjectName(QString::number(id));
            box->setGeometry(rect(col.comboX, kRowY[row] - 2, 62, 27));
            return box;
        };
        QComboBox* com = makeCombo(col.comId, 0);
        auto* group = new QGroupBox(QString::fromUtf8(col.groupTitle), this);
        group->setGeometry(rect(col.groupX, 30, 116, 131));
        group->lower();  // a frame only: it must not cover the controls it frames
        QComboBox* bps = makeCombo(col.bpsId, 1);
        QComboBox* bits = makeCombo(col.bitsId, 2);
        QComboBox* flow = makeCombo(col.flowId, 5);
        QComboBox* pari = makeCombo(col.pariId, 3);
        QComboBox* stop = makeCombo(col.stopId, 4);

        const PortChoice& s = shown[c];
        fill(com, portDeviceNames, s.com);
        fill(bps, baudRateChoices, s.bps);
        fill(bits, dataBitsChoices, s.bits);
        fill(pari, parityChoices, s.pari);
        fill(stop, stopBitsChoices, s.stop);
        fill(flow, flowControlChoices, s.flow);

        // The final places, in pixels. A Qt combo has no opened-list height in its geometry,
        // so each keeps its own height; x, y and the width of 100 are the rectangles'.
        QComboBox* rows[6] = {com, bps, bits, pari, stop, flow};
        for (int row = 0; row < 6; ++row) {
            rows[row]->setGeometry(col.pixelX, col.pixelY[row], 100, rows[row]->sizeHint().height());
        }
        // What each COM name opens, on the list's entries and on the list for its selection.
        for (int i = 0; i < com->count(); ++i)
            com->setItemData(i, QFile::decodeName(QByteArray::fromStdString(config_.comDevicePaths[i])), Qt::ToolTipRole);
        const auto showDevice = [com](int index) {
            com->setToolTip(index >= 0 ? com->itemData(index, Qt::ToolTipRole).toString() : QString());
        };
        showDevice(com->currentIndex());
        connect(com, &QComboBox::currentIndexChanged, com, showDevice);
        // The two long lists keep their scroll bar, disabled when not needed, rather than hide it.
        for (QComboBox* box : {com, bps}) box->view()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        for (QWidget* w : {com, bps, bits, flow, pari, stop}) tabOrder.push_back(w);
    }

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/IDI_ICON2.png")));
    icon->setGeometry(rect(5, 5, 20, 20));
    label("SERIAL", rect(29, 13, 51, 9));

    for (size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(ok, &QPushButton::clicked, this, [this] { acceptChoices(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QComboBox* SerialDialog::combo(int controlId) const {
    return findChild<QComboBox*>(QString::number(controlId), Qt::FindDirectChildrenOnly);
}

PortChoice SerialDialog::choiceOf(int port) const {
    const Column& col = kColumns[channelSlot(port)];
    PortChoice c;
    c.com = combo(col.comId)->currentIndex();
    c.bps = combo(col.bpsId)->currentIndex();
    c.bits = combo(col.bitsId)->currentIndex();
    c.pari = combo(col.pariId)->currentIndex();
    c.stop = combo(col.stopId)->currentIndex();
    c.flow = combo(col.flowId)->currentIndex();
    return c;
}

void SerialDialog::acceptChoices() {
    const PortChoice port1 = choiceOf(1), port2 = choiceOf(2);
    if (sameComChoice(config_.port1, config_.port2, port1, port2)) {
        host_.refuse(SettingsRefusal::SameComNumber);
        return;
    }
    host_.restartPorts(port1, port2);
    accept();
}

void runSerialDialog(const SettingsDialogHost& host, QWidget* owner) {
    SerialDialog dialog(host, owner);
    // The template is not centred: it opens at its owner's top-left corner.
    if (owner != nullptr) dialog.move(owner->mapToGlobal(QPoint(0, 0)));
    dialog.exec();
}
