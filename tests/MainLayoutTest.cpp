#include <gtest/gtest.h>

#include "ui/model/MainLayout.h"

namespace {

using MainLayout::Rect;

TEST(MainLayoutTest, RowsSitThirtyPixelsApartBelowTheHeaderAndFitA1366PixelScreen) {
    const int originY = MainLayout::originY(57);
    EXPECT_EQ(82, originY);
    EXPECT_EQ((Rect{23, 82, 120, 25}), MainLayout::header(originY, 0));
    EXPECT_EQ((Rect{23 + 966, 82, 100, 25}), MainLayout::header(originY, MainLayout::kHeaders - 1));
    EXPECT_EQ((Rect{23, 112, 120, 22}), MainLayout::rowControl(originY, 1, MainLayout::Name));
    EXPECT_EQ((Rect{23 + 126, 142, 100, 22}), MainLayout::rowControl(originY, 2, MainLayout::CommandLine));
    EXPECT_EQ((Rect{23 + 966, 172, 60, 22}), MainLayout::rowControl(originY, 3, MainLayout::StartStop));
    // The edit button stands left of the delete button.
    EXPECT_LT(MainLayout::rowControl(originY, 1, MainLayout::Edit).left,
              MainLayout::rowControl(originY, 1, MainLayout::Delete).left);
    // Left to right without overlaps; each cell has its header above it.
    for (int c = 0; c + 1 < MainLayout::kRowControls; ++c) {
        const Rect left = MainLayout::rowControl(originY, 1, static_cast<MainLayout::RowControl>(c));
        const Rect right = MainLayout::rowControl(originY, 1, static_cast<MainLayout::RowControl>(c + 1));
        EXPECT_LT(left.left + left.width, right.left) << c;
        if (c < MainLayout::kHeaders - 1) {
            EXPECT_EQ(left.left, MainLayout::header(originY, c).left) << c;
            EXPECT_EQ(left.width, MainLayout::header(originY, c).width) << c;
        }
    }
    // A whole row, buttons included, fits a window on a screen 1366 pixels
    // wide with its frame and a vertical scroll bar.
    const Rect last = MainLayout::rowControl(originY, 1, MainLayout::OpenPath);
    EXPECT_EQ(MainLayout::kRowsClientWidth, last.left + last.width + 10);
    EXPECT_LE(MainLayout::kRowsClientWidth + 20 + 16, 1366);
}

TEST(MainLayoutTest, WindowWithoutServersIsSizedToTheHeaderAlone) {
    const int originY = 80;
    const auto r = MainLayout::relayout(originY, 0, 540, 27);
    EXPECT_EQ(1378 + 180, r.windowWidth);
    EXPECT_EQ(originY + 128, r.windowHeight);
    for (const Rect& b : r.bottomButtons) {
        EXPECT_EQ(originY + 30, b.top);
        EXPECT_EQ(60, b.width);
        EXPECT_EQ(25, b.height);
    }
}

TEST(MainLayoutTest, ThreeServersMoveTheBottomButtonsBelowTheThirdRow) {
    const int originY = 80;
    const auto r = MainLayout::relayout(originY, 3, 540, 27);
    EXPECT_EQ(originY + 218, r.windowHeight);
    EXPECT_EQ(originY + 120, r.bottomButtons[0].top);
    const int w = 23 + 1355;
    const int lefts[5] = {w - 225, w - 155, w - 85, w - 15, w + 55};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lefts[i], r.bottomButtons[static_cast<std::size_t>(i)].left);
    EXPECT_EQ(w - 540 - 148, r.commandLineEditWidth);
    EXPECT_EQ((Rect{w - 135, 27, 60, 23}), r.topButtons[0]);
    EXPECT_EQ((Rect{w - 55, 27, 60, 23}), r.topButtons[1]);
    EXPECT_EQ((Rect{w + 55, 27, 60, 23}), r.topButtons[2]);
}

TEST(MainLayoutTest, WithAGapInTheIndexesTheLastRowMeetsTheBottomButtons) {
    // Indexes 1 and 3: two records, so the window is sized for two rows.
    const int originY = 80;
    const auto r = MainLayout::relayout(originY, 2, 540, 27);
    EXPECT_EQ(MainLayout::rowControl(originY, 3, MainLayout::Name).top, r.bottomButtons[0].top);
}

}  // namespace

namespace {

TEST(MainLayoutTest, ANarrowWindowMovesTheRightHandControlsLeftAndScrollsTheRows) {
    const int originY = 80;
    const MainLayout::Rect kReminder{1276, 80, 246, 21};
    // Wide enough: the template's places, the area as tall as the rows.
    const auto wide = MainLayout::arrange(originY, 3, 1550, 600, 540, 27, 1389, kReminder, 15);
    EXPECT_EQ(0, wide.shift);
    EXPECT_EQ((MainLayout::Rect{0, originY + 25, 1550, 95}), wide.rowArea);
    EXPECT_EQ(originY + 120, wide.bottomButtons[0].top);  // where the template puts them for three rows
    EXPECT_EQ(1378 - 225, wide.bottomButtons[0].left);
    // 1366 pixels: everything right of the command line moves left; the
    // rows still fit across.
    const auto narrow = MainLayout::arrange(originY, 3, 1350, 600, 540, 27, 1389, kReminder, 15);
    EXPECT_EQ(1350 - MainLayout::kNaturalClientWidth, narrow.shift);
    EXPECT_LE(narrow.topButtons[2].left + narrow.topButtons[2].width, 1350);
    EXPECT_LE(narrow.bottomButtons[4].left + narrow.bottomButtons[4].width, 1350);
    EXPECT_EQ(95, narrow.rowArea.height);
    // Narrower than the rows: they scroll across, a scroll bar below them.
    EXPECT_EQ(95 + 15, MainLayout::arrange(originY, 3, 1200, 600, 540, 27, 1389, kReminder, 15).rowArea.height);
    EXPECT_EQ(wide.commandLineEditWidth + narrow.shift, narrow.commandLineEditWidth);
    // The reminder stays beside the captions when there is room; in the
    // narrow window the captions scroll and it would cover them, so it sits
    // left of the bottom buttons, whole and clear of them.
    EXPECT_EQ(kReminder, wide.reminder);
    EXPECT_EQ(narrow.bottomButtons[0].top + (narrow.bottomButtons[0].height - 21) / 2, narrow.reminder.top);
    EXPECT_EQ(246, narrow.reminder.width);
    EXPECT_LE(narrow.reminder.left + narrow.reminder.width, narrow.bottomButtons[0].left);
    // "恢复" stands on the buttons' line, left of them, clear of the reminder.
    for (const auto* a : {&wide, &narrow}) {
        EXPECT_EQ(a->bottomButtons[0].top, a->restoreButton.top);
        EXPECT_EQ(a->bottomButtons[0].left - 70, a->restoreButton.left);
        EXPECT_EQ(a->bottomButtons[0].width, a->restoreButton.width);
    }
    EXPECT_LE(narrow.reminder.left + narrow.reminder.width, narrow.restoreButton.left);
    EXPECT_GE(narrow.reminder.top, narrow.rowArea.top + narrow.rowArea.height);
    // 99 rows in a short window: the area takes what is left above the
    // bottom buttons, which stay inside the window.
    const auto tall = MainLayout::arrange(originY, 99, 1550, 700, 540, 27, 1389, kReminder, 15);
    EXPECT_EQ(700 - originY - 25 - MainLayout::kBelowRows, tall.rowArea.height);
    EXPECT_LE(tall.bottomButtons[0].top + tall.bottomButtons[0].height, 700);
    EXPECT_EQ(30 * 99 + 5, MainLayout::rowAreaContentHeight(99));
}

}  // namespace
