#include <set>

#include <gtest/gtest.h>

#include "ui/model/RowCommand.h"

namespace {

TEST(RouteRowCommandTest, RoutesTheFiveRangesToTheirIndex) {
    EXPECT_EQ((RowCommand{RowCommandKind::Toggle, 1}), RouteRowCommand(1025));
    EXPECT_EQ((RowCommand{RowCommandKind::Toggle, 99}), RouteRowCommand(1123));
    EXPECT_EQ((RowCommand{RowCommandKind::Delete, 1}), RouteRowCommand(1125));
    EXPECT_EQ((RowCommand{RowCommandKind::Delete, 99}), RouteRowCommand(1223));
    EXPECT_EQ((RowCommand{RowCommandKind::Edit, 1}), RouteRowCommand(1225));
    EXPECT_EQ((RowCommand{RowCommandKind::Edit, 99}), RouteRowCommand(1323));
    EXPECT_EQ((RowCommand{RowCommandKind::LoadConfig, 1}), RouteRowCommand(1325));
    EXPECT_EQ((RowCommand{RowCommandKind::LoadConfig, 99}), RouteRowCommand(1423));
    EXPECT_EQ((RowCommand{RowCommandKind::OpenPath, 1}), RouteRowCommand(1425));
    EXPECT_EQ((RowCommand{RowCommandKind::OpenPath, 99}), RouteRowCommand(1523));
}

TEST(RouteRowCommandTest, LeavesBaseIdsAndOtherIdsAlone) {
    // base + 0 of each range, and what lies beyond the last one
    for (int id : {1024, 1124, 1224, 1324, 1424, 1524, 1600, 1000, 1001, 1008, 1009, 0, -1})
        EXPECT_EQ(std::nullopt, RouteRowCommand(id)) << id;
}

TEST(RouteRowCommandTest, EveryRowsButtonsHaveIdsOfTheirOwnThatRouteBack) {
    const RowCommandKind kinds[] = {RowCommandKind::Toggle, RowCommandKind::Delete, RowCommandKind::Edit,
                                    RowCommandKind::LoadConfig, RowCommandKind::OpenPath};
    std::set<int> seen;
    for (int index = 1; index <= kHighestRowIndex; ++index) {
        for (RowCommandKind kind : kinds) {
            const int id = RowCommandId(kind, index);
            ASSERT_EQ((RowCommand{kind, index}), RouteRowCommand(id)) << index;
            ASSERT_TRUE(seen.insert(id).second) << "two buttons share " << id;
            // Clear of the window's own controls and the toolkit's IDs, and
            // within what a command carries on Windows.
            ASSERT_TRUE((id > 1024 && id < 1524) || (id >= 10000 && id <= 32767)) << id;
        }
    }
    // The first rows keep the IDs they always had; row 100 no longer falls
    // on the next range's base.
    EXPECT_EQ(1123, RowCommandId(RowCommandKind::Toggle, 99));
    EXPECT_EQ(10000, RowCommandId(RowCommandKind::Toggle, 100));
    EXPECT_EQ(10004, RowCommandId(RowCommandKind::OpenPath, 100));
    EXPECT_EQ(10005, RowCommandId(RowCommandKind::Toggle, 101));
    // Beyond the last row with buttons, and before the first, there is none.
    for (RowCommandKind kind : kinds) {
        EXPECT_EQ(-1, RowCommandId(kind, kHighestRowIndex + 1));
        EXPECT_EQ(-1, RowCommandId(kind, 0));
    }
    EXPECT_EQ(std::nullopt, RouteRowCommand(RowCommandId(RowCommandKind::OpenPath, kHighestRowIndex) + 1));
    EXPECT_EQ(std::nullopt, RouteRowCommand(9999));
}

}  // namespace
