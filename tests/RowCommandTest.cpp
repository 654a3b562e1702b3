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

TEST(RouteRowCommandTest, ButtonIdsOfIndexes1To99RouteBack) {
    for (RowCommandKind kind : {RowCommandKind::Toggle, RowCommandKind::Delete, RowCommandKind::Edit,
                                RowCommandKind::LoadConfig, RowCommandKind::OpenPath})
        for (int index = 1; index <= 99; ++index)
            ASSERT_EQ((RowCommand{kind, index}), RouteRowCommand(RowCommandId(kind, index)));
    // Index 100 falls on the next range's base, which is not routed.
    for (RowCommandKind kind : {RowCommandKind::Toggle, RowCommandKind::Delete, RowCommandKind::Edit,
                                RowCommandKind::LoadConfig, RowCommandKind::OpenPath})
        EXPECT_EQ(std::nullopt, RouteRowCommand(RowCommandId(kind, 100)));
}

}  // namespace
