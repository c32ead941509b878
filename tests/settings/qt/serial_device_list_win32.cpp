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

TEST(PortList, TheDevicesWindowOffersEveryComPortByItsNameInTheOrderOfTheirNumbers) {
    const char* cables = std::getenv("VORLINEX_WINE_CABLES");
    if (cables == nullptr || std::atoi(cables) < 2)
        GTEST_SKIP() << "needs COM1/COM11 and COM2/COM12 cables (the Wine runner makes them)";
    SettingsDialogHost host;
    host.config = [] { return Config{}; };  // every row on its default
    DevicesDialog devices(host, nullptr);
    QComboBox* row = devices.deviceCombo(1);
    std::vector<std::string> offered;
    for (int i = 0; i + 1 < row->count(); ++i) offered.push_back(row->itemData(i).toByteArray().toStdString());
    for (const char* port : {"COM1", "COM2", "COM11", "COM12"})
        EXPECT_NE(std::find(offered.begin(), offered.end(), port), offered.end()) << port;
    // The registry lists them in the order of its value names (Serial10 before Serial2).
    const auto number = [](const std::string& name) { return name.starts_with("COM") ? std::atoi(name.c_str() + 3) : -1; };
    for (size_t i = 1; i < offered.size(); ++i)
        EXPECT_TRUE(number(offered[i - 1]) > 0 && number(offered[i - 1]) < number(offered[i]))
            << offered[i - 1] << " before " << offered[i];
    // Each entry opens the port it names; an empty row is the system's own default of its COM name.
    row->setCurrentIndex(static_cast<int>(std::find(offered.begin(), offered.end(), "COM12") - offered.begin()));
    devices.deviceCombo(3)->setEditText(QString());
    EXPECT_EQ(devices.chosenPaths()[0], "COM12");
    EXPECT_EQ(devices.chosenPaths()[2], defaultComDevicePaths()[2]);
}
