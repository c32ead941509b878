// The numbered message catalogue, shown through the one box function.
#include "shell/message_catalogue.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

TEST(Catalogue, EachCodeShowsItsTextAndIconOwnedByTheMainWindow) {
    std::vector<BoxRequest> boxes;
    const BoxFunction record = [&boxes](const BoxRequest& r) { boxes.push_back(r); };
    const char* const texts[] = {"Com1 Open Error", "Com2 Open Error", "Com3 Open Error", "Com4 Open Error",
                                 "Com5 Open Error", "Com6 Open Error", "EVMASK Error", "File Open Error",
                                 "File Send Count Error", "Wait Time Error", "Data Send End", "Data Recv End",
                                 "File Read Error", "File Size 0", "Config data save end", "Rate UPdate Time Error"};
    for (int code : {0, -1, 17, INT_MIN}) showMessage(record, code);
    EXPECT_TRUE(boxes.empty()) << "a code outside the table shows no box";
    for (int code = 1; code <= 16; ++code) {
        showMessage(record, code);
        ASSERT_EQ(boxes.size(), size_t(code));
        const bool info = code == 11 || code == 12 || code == 15;
        EXPECT_EQ(boxes.back().text, texts[code - 1]) << code;
        EXPECT_TRUE(boxes.back().icon == (info ? BoxIcon::Information : BoxIcon::Error) && boxes.back().owner == BoxOwner::MainWindow) << code;
    }
}
