// The status sender: levels, cancellation and the warn-once flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kroutil/util/status_send.h"

namespace {

struct Seen {
    std::string text;
    int32_t level;
    bool nullText;
};
std::vector<Seen> gSeen;
int32_t gAnswer = 0;

int32_t record(const char* text, int32_t level) {
    gSeen.push_back({text ? text : "", level, text == nullptr});
    return gAnswer;
}

TEST(StatusSend, LevelsAndCancel) {
    gSeen.clear();
    gAnswer = 0;
    EXPECT_FALSE(kro::statusProgress(record, "Reading", true));
    EXPECT_FALSE(kro::statusProgress(record, nullptr));
    gAnswer = 1;
    EXPECT_TRUE(kro::statusProgress(record, "Frame 2 of 9"));
    kro::statusError(record, "bad");
    kro::statusWarning(record, "hm");
    kro::statusDeclined(record);
    ASSERT_EQ(gSeen.size(), 6u);
    int32_t levels[] = {1, 0, 0, 2, 4, 3};
    for (size_t i = 0; i < gSeen.size(); ++i) EXPECT_EQ(gSeen[i].level, levels[i]) << i;
    EXPECT_EQ(gSeen[1].text, "");
    EXPECT_FALSE(gSeen[1].nullText);  // only the declined message carries a null text
    EXPECT_TRUE(gSeen[5].nullText);
    // Without a callback nothing is sent and nothing cancels.
    EXPECT_FALSE(kro::statusProgress(nullptr, "x"));
    kro::statusError(nullptr, "x");
    kro::statusDeclined(nullptr);
}

TEST(StatusSend, WarnOncePerKind) {
    kro::statusResetWarnOnce();
    gSeen.clear();
    EXPECT_FALSE(kro::statusWarnOnce(nullptr, "a", "first"));  // nobody saw it: not marked
    EXPECT_TRUE(kro::statusWarnOnce(record, "a", "first"));
    EXPECT_FALSE(kro::statusWarnOnce(record, "a", "again"));
    EXPECT_TRUE(kro::statusWarnOnce(record, "b", "other"));
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].text, "first");
    EXPECT_EQ(gSeen[1].text, "other");
    EXPECT_EQ(gSeen[1].level, 4);
    kro::statusResetWarnOnce();
    EXPECT_TRUE(kro::statusWarnOnce(record, "a", "after reset"));
}

}  // namespace
