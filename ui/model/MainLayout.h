#pragma once
#include <array>

// Pixel arithmetic of the main window: the header and server rows below the
// "add" strip, and the re-layout after each reload of the server list.
namespace MainLayout {

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

constexpr int kOriginX = 23;               // g_rowOriginX
constexpr int kOriginYBelowGroupBox = 25;  // g_rowOriginY = group box height + this
constexpr int kRowPitch = 30;
constexpr int kRowHeight = 22;
constexpr int kHeaderHeight = 25;

// Horizontal extent of a column, relative to the origin.
struct Extent {
    int left, right;
};

// Row cells, left to right: name, command line, process ID, listen
// address, start time, how long the process has run, how often the server
// was restarted, how its last process ended, its processor and memory use;
// then the buttons start/stop, edit, delete, load config, open path. The
// command line gives the newer columns most of its width (its full text is
// in its tooltip), and every column is as narrow as its usual text allows,
// so that a row with its buttons fits a screen 1366 pixels wide.
enum RowControl {
    Name,
    CommandLine,
    Pid,
    Ports,
    StartTime,
    Uptime,
    Restarts,
    LastExit,
    Cpu,
    Memory,
    StartStop,
    Edit,
    Delete,
    LoadConfig,
    OpenPath,
    kRowControls
};
constexpr std::array<Extent, kRowControls> kRowExtents{{{0, 120},
                                                        {126, 226},
                                                        {232, 282},
                                                        {288, 393},
                                                        {399, 529},
                                                        {535, 605},
                                                        {611, 667},
                                                        {673, 828},
                                                        {834, 882},
                                                        {888, 958},
                                                        {966, 1026},
                                                        {1032, 1092},
                                                        {1098, 1158},
                                                        {1164, 1224},
                                                        {1230, 1290}}};
// Command ID base of each button (the ID is base + index).
constexpr int kStartStopBase = 1024, kDeleteBase = 1124, kEditBase = 1224, kLoadConfigBase = 1324, kOpenPathBase = 1424;

// The column headers share the extents of the cells; the last one stands
// over the buttons.
constexpr int kHeaders = 11;
constexpr std::array<Extent, kHeaders> headerExtents() {
    std::array<Extent, kHeaders> headers{};
    for (int i = 0; i < kHeaders - 1; ++i) headers[i] = kRowExtents[i];
    headers[kHeaders - 1] = {kRowExtents[StartStop].left, kRowExtents[StartStop].left + 100};
    return headers;
}
constexpr std::array<Extent, kHeaders> kHeaderExtents = headerExtents();

int originY(int groupBoxHeight);

// A row control of the server with this index.
Rect rowControl(int originY, int index, RowControl control);
// A column header.
Rect header(int originY, int column);

// Where everything goes after a reload with `servers` records.
struct Relayout {
    int windowWidth = 0, windowHeight = 0;  // outer size of the window
    // Bottom buttons, in the order 1001, 1000, 1002, 1008, 1009.
    std::array<Rect, 5> bottomButtons{};
    // "恢复" (1012), on their line, left of them, and "最近事件" (1013) left
    // of that.
    Rect restoreButton;
    Rect eventsButton;
    int commandLineEditWidth = 0;  // edit 1006
    // Buttons 1010, 1003, 1011 on the line of edit 1006.
    std::array<Rect, 3> topButtons{};
};
Relayout relayout(int originY, int servers, int commandLineEditLeft, int commandLineEditTop);

// --- The window at any size ---
// The rows live in an area of their own below the header, which scrolls
// when they do not fit; a row's place in that area is its place in the
// window when the area is not scrolled. The header, the add strip and the
// bottom buttons stay where they are.
constexpr int kRowAreaOriginY = -kHeaderHeight;
// Right edge of the template's right-hand buttons, plus a margin: the
// client width the template needs. A narrower window moves what stands at
// the right (the buttons, the reminder) left by the difference and
// narrows the command-line edit and the group box.
constexpr int kNaturalClientWidth = kOriginX + 1470 + 20;
// The rows themselves end further left: the client width they need
// before they scroll sideways.
constexpr int kRowsClientWidth = kOriginX + kRowExtents[OpenPath].right + 10;
// Below the row area: the bottom buttons and a margin.
constexpr int kBelowRows = 25 + 15;
// The row area keeps room for at least two rows.
constexpr int kMinRowAreaHeight = 2 * kRowPitch + 5;
// The smallest client size the window may be given.
constexpr int kMinClientWidth = 900;
int minClientHeight(int originY);

// Height of the rows up to the highest index, in the row area.
int rowAreaContentHeight(int highestIndex);

// Where the controls go in a client area of the given size.
struct Arrangement {
    int shift = 0;  // how far the right-hand controls move left (0 or less)
    Rect rowArea;   // the scrolling area of the rows
    Rect header;    // the strip of column headers, as wide as the client
    std::array<Rect, 5> bottomButtons{};
    Rect restoreButton;
    Rect eventsButton;
    int commandLineEditWidth = 0;
    std::array<Rect, 3> topButtons{};
    int groupBoxWidth = 0;
    Rect reminder;  // the operator's reminder: beside the column captions, or below the rows
};
// `highestIndex`: the largest index of a row (every row must be reachable);
// `scrollBar`: the thickness of a scroll bar, added below the rows when
// they need a horizontal one; `groupBoxWidth`, `reminder`: their places in
// the template.
Arrangement arrange(int originY, int highestIndex, int clientWidth, int clientHeight, int commandLineEditLeft,
                    int commandLineEditTop, int groupBoxWidth, Rect reminder, int scrollBar);

}  // namespace MainLayout
