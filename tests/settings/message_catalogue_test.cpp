// The numbered message catalogue and the one box function every box goes through.
#include "shell/message_catalogue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Recorded {
    std::vector<BoxRequest> boxes;
    Recorded() {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
    }
    ~Recorded() { setBoxFunction(nullptr); }
};

struct Entry {
    int code;
    const char* text;
    BoxIcon icon;
};

class Catalogue : public ::testing::TestWithParam<Entry> {};

TEST_P(Catalogue, ShowsItsTextAndIconOwnedByTheMainWindow) {
    const Entry& e = GetParam();
    Recorded recorded;
    showMessage(e.code);
    ASSERT_EQ(recorded.boxes.size(), 1u);
    EXPECT_EQ(recorded.boxes[0].text, e.text);
    EXPECT_EQ(recorded.boxes[0].icon, e.icon);
    EXPECT_EQ(recorded.boxes[0].owner, BoxOwner::MainWindow);
    EXPECT_STREQ(messageText(e.code), e.text);
    EXPECT_EQ(messageIcon(e.code), e.icon);
}

INSTANTIATE_TEST_SUITE_P(Codes, Catalogue,
                         ::testing::Values(Entry{1, "Com1 Open Error", BoxIcon::Error},
                                           Entry{2, "Com2 Open Error", BoxIcon::Error},
                                           Entry{3, "Com3 Open Error", BoxIcon::Error},
                                           Entry{4, "Com4 Open Error", BoxIcon::Error},
                                           Entry{5, "Com5 Open Error", BoxIcon::Error},
                                           Entry{6, "Com6 Open Error", BoxIcon::Error},
                                           Entry{7, "EVMASK Error", BoxIcon::Error},
                                           Entry{8, "File Open Error", BoxIcon::Error},
                                           Entry{9, "File Send Count Error", BoxIcon::Error},
                                           Entry{10, "Wait Time Error", BoxIcon::Error},
                                           Entry{11, "Data Send End", BoxIcon::Information},
                                           Entry{12, "Data Recv End", BoxIcon::Information},
                                           Entry{13, "File Read Error", BoxIcon::Error},
                                           Entry{14, "File Size 0", BoxIcon::Error},
                                           Entry{15, "Config data save end", BoxIcon::Information},
                                           Entry{16, "Rate UPdate Time Error", BoxIcon::Error}),
                         [](const ::testing::TestParamInfo<Entry>& param) {
                             return "Code" + std::to_string(param.param.code);
                         });

TEST(CatalogueOutside, CodesOutsideTheTableShowNoBox) {
    Recorded recorded;
    for (int code : {0, -1, 17, 1000, INT32_MIN}) {
        showMessage(code);
        EXPECT_STREQ(messageText(code), "") << code;
        EXPECT_EQ(messageIcon(code), BoxIcon::None) << code;
    }
    EXPECT_TRUE(recorded.boxes.empty());
}

TEST(ShowBox, PassesEverythingToTheBoundFunction) {
    Recorded recorded;
    int widget = 0;
    showBox("ｷｬﾝｾﾙ File Open Error。", BoxIcon::Error, BoxOwner::Widget, &widget);
    ASSERT_EQ(recorded.boxes.size(), 1u);
    EXPECT_EQ(recorded.boxes[0].text, "ｷｬﾝｾﾙ File Open Error。");
    EXPECT_EQ(recorded.boxes[0].owner, BoxOwner::Widget);
    EXPECT_EQ(recorded.boxes[0].widget, &widget);
}

TEST(ShowBox, UnboundBoxesGoToStandardError) {
    setBoxFunction(nullptr);
    ::testing::internal::CaptureStderr();
    showMessage(7);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("EVMASK Error"), std::string::npos) << err;
}

}  // namespace
