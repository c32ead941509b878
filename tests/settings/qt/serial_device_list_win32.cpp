// The devices window's port list on Windows, from the system's own registry: under Wine the
// runner's cables are COM1..COM4 and COM11..COM14 (VORLINEX_WINE_CABLES says how many it made).
#include <gtest/gtest.h>

#include <QComboBox>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings/qt/devices_dialog.h"
#include "settings/qt/dialog_host.h"

namespace {

int comNumber(const std::string& name) {
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 ? std::atoi(name.c_str() + 3) : -1;
}

}  // namespace

TEST(PortList, TheDevicesWindowOffersEveryComPortByItsNameInTheOrderOfTheirNumbers) {
    const char* cables = std::getenv("VORLINEX_WINE_CABLES");
    if (cables == nullptr || std::atoi(cables) < 2)
        GTEST_SKIP() << "needs COM1/COM11 and COM2/COM12 cables (the Wine runner makes them)";
    SettingsDialogHost host;
    host.config = [] {
        Config config;
        config.comDevicePaths = defaultComDevicePaths();
        return config;
    };
    DevicesDialog devices(host, nullptr);
    QComboBox* row = devices.deviceCombo(1);
    ASSERT_NE(row, nullptr);
    std::vector<std::string> offered;
    for (int i = 0; i + 1 < row->count(); ++i) offered.push_back(row->itemData(i).toByteArray().toStdString());
    for (const char* port : {"COM1", "COM2", "COM11", "COM12"})
        EXPECT_NE(std::find(offered.begin(), offered.end(), port), offered.end()) << port;
    // The registry lists them in the order of its value names (Serial10 before Serial2).
    for (size_t i = 1; i < offered.size(); ++i) {
        EXPECT_GT(comNumber(offered[i]), 0) << offered[i];
        EXPECT_LT(comNumber(offered[i - 1]), comNumber(offered[i])) << offered[i - 1] << " before " << offered[i];
    }
    // Each entry opens the port it names.
    row->setCurrentIndex(static_cast<int>(std::find(offered.begin(), offered.end(), "COM12") - offered.begin()));
    EXPECT_EQ(devices.chosenPaths()[0], "COM12");
    // An empty row is the system's own default of its COM name.
    devices.deviceCombo(3)->setEditText(QString());
    EXPECT_EQ(devices.chosenPaths()[2], defaultComDevicePaths()[2]);
}
