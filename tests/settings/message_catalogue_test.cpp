// The numbered message catalogue, shown through the one box function.
#include "shell/message_catalogue.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

TEST(Catalogue, EachCodeShowsItsTextAndIconOwnedByTheMainWindow) {
    std::vector<BoxRequest> boxes;
    setBoxFunction([&boxes](const BoxRequest& r) { boxes.push_back(r); });
    const BoxIcon E = BoxIcon::Error, I = BoxIcon::Information;
    const std::pair<const char*, BoxIcon> table[] = {
        {"Com1 Open Error", E},       {"Com2 Open Error", E}, {"Com3 Open Error", E},       {"Com4 Open Error", E},
        {"Com5 Open Error", E},       {"Com6 Open Error", E}, {"EVMASK Error", E},          {"File Open Error", E},
        {"File Send Count Error", E}, {"Wait Time Error", E}, {"Data Send End", I},         {"Data Recv End", I},
        {"File Read Error", E},       {"File Size 0", E},     {"Config data save end", I}, {"Rate UPdate Time Error", E}};
    for (int code = 1; code <= 16; ++code) {
        SCOPED_TRACE(code);
        boxes.clear();
        showMessage(code);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, table[code - 1].first);
        EXPECT_EQ(boxes[0].icon, table[code - 1].second);
        EXPECT_EQ(boxes[0].owner, BoxOwner::MainWindow);
    }
    boxes.clear();
    for (int code : {0, -1, 17, INT_MIN}) showMessage(code);
    EXPECT_TRUE(boxes.empty()) << "a code outside the table shows no box";
    setBoxFunction(nullptr);
}

}  // namespace
