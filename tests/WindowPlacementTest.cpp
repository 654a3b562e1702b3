#include <gtest/gtest.h>

#include "config/WindowPlace.h"
#include "tests/support/TempDir.h"
#include "ui/model/WindowPlacement.h"

namespace {

using WindowPlacement::Box;

const Box kMinimum{0, 0, 900, 300};
// A laptop screen with a panel at the bottom, and a second screen to its right.
const Box kLaptop{0, 0, 1366, 738};
const Box kRightScreen{1366, 0, 1920, 1050};

TEST(WindowPlacementTest, WithoutARememberedPlaceTheWindowIsCentredAndNoLargerThanTheWorkArea) {
    // The template's size for 99 rows is far taller than the screen.
    const Box fitted{0, 0, 1558, 82 + 30 * 99 + 128};
    EXPECT_EQ((Box{0, 0, 1366, 738}), WindowPlacement::opening(std::nullopt, fitted, {kLaptop}, kMinimum));
    // A small list keeps its size, in the middle of the primary screen.
    EXPECT_EQ((Box{181, 300, 1558, 300}),
              WindowPlacement::opening(std::nullopt, Box{0, 0, 1558, 300}, {Box{0, 0, 1920, 900}, kRightScreen},
                                       kMinimum));
}

TEST(WindowPlacementTest, ARememberedPlaceIsKeptOnAnyScreenAndIgnoredOffEveryScreen) {
    const Box fitted{0, 0, 1558, 400};
    const Box onTheRight{2000, 100, 1000, 600};
    EXPECT_EQ(onTheRight, WindowPlacement::opening(onTheRight, fitted, {kLaptop, kRightScreen}, kMinimum));
    // The right screen is gone: the place is off every screen.
    const Box centred = WindowPlacement::opening(onTheRight, fitted, {kLaptop}, kMinimum);
    EXPECT_EQ((Box{0, 169, 1366, 400}), centred);
    // A title bar above the top of every screen cannot be grabbed.
    EXPECT_EQ(centred, WindowPlacement::opening(Box{100, -300, 1000, 600}, fitted, {kLaptop}, kMinimum));
    // Partly off its screen, or larger than it: made to fit, moved inside.
    EXPECT_EQ((Box{366, 138, 1000, 600}), WindowPlacement::opening(Box{800, 400, 1000, 600}, fitted, {kLaptop}, kMinimum));
    EXPECT_EQ((Box{0, 0, 1366, 738}), WindowPlacement::opening(Box{10, 10, 3000, 2000}, fitted, {kLaptop}, kMinimum));
    // Never below the minimum size, unless the screen is: a 1280x720 screen
    // scaled twice over has 640x360 to offer, and the window stays on it.
    EXPECT_EQ((Box{10, 10, 900, 300}), WindowPlacement::opening(Box{10, 10, 20, 20}, fitted, {kLaptop}, kMinimum));
    const Box scaled{0, 0, 640, 336};
    EXPECT_EQ((Box{0, 0, 640, 336}), WindowPlacement::opening(std::nullopt, fitted, {scaled}, kMinimum));
    EXPECT_EQ((Box{0, 18, 640, 300}),
              WindowPlacement::opening(std::nullopt, Box{0, 0, 1558, 200}, {scaled}, kMinimum));
    EXPECT_EQ((Box{0, 0, 640, 336}), WindowPlacement::opening(Box{-258, 0, 1800, 900}, fitted, {scaled}, kMinimum));
}

TEST(WindowPlacementTest, MoreRowsMakeTheWindowTallerWithinItsScreenAndMoveItUpOnlyAsFarAsNeeded) {
    const Box current{100, 500, 1200, 200};
    EXPECT_EQ((Box{100, 500, 1200, 238}), WindowPlacement::refit(current, 238, kLaptop, Box{0, 0, 900, 200}));
    EXPECT_EQ((Box{100, 438, 1200, 300}), WindowPlacement::refit(current, 238, kLaptop, kMinimum));  // the minimum height
    EXPECT_EQ((Box{100, 238, 1200, 500}), WindowPlacement::refit(current, 500, kLaptop, kMinimum));
    EXPECT_EQ((Box{100, 0, 1200, 738}), WindowPlacement::refit(current, 3000, kLaptop, kMinimum));
    EXPECT_EQ(kRightScreen, WindowPlacement::areaOf(Box{1300, 0, 800, 600}, {kLaptop, kRightScreen}));
}

TEST(WindowPlacementTest, ThePlaceIsKeptInTheSettingsFileBesideTheOtherKeys) {
    TempDir dir;
    const std::string path = dir.file("procward.ini");
    writeFile(path, "[GENERAL]\nSTOP_TIMEOUT=4\n");
    EXPECT_EQ(std::nullopt, WindowPlace::read(path));
    std::string error;
    ASSERT_TRUE(WindowPlace::save(path, WindowPlace{-1200, 40, 1400, 700}, error)) << error;
    EXPECT_EQ((WindowPlace{-1200, 40, 1400, 700}), WindowPlace::read(path));
    EXPECT_NE(std::string::npos, readFile(path).find("[GENERAL]\nSTOP_TIMEOUT=4\n")) << readFile(path);
    // A size that is no size is no place.
    writeFile(path, "[WINDOW]\nX=10\nY=10\nWIDTH=0\nHEIGHT=500\n");
    EXPECT_EQ(std::nullopt, WindowPlace::read(path));
}

}  // namespace
