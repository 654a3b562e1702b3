#pragma once
#include <array>

// Pixel arithmetic of the main window: the header and server rows below the
// "add" strip, and the re-layout after each reload of the server list.
namespace MainLayout {

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

constexpr int kOriginX = 23;             // g_rowOriginX
constexpr int kOriginYBelowGroupBox = 25;  // g_rowOriginY = group box height + this
constexpr int kRowPitch = 30;
constexpr int kRowHeight = 22;
constexpr int kHeaderHeight = 25;

// Horizontal extent of a column, relative to the origin.
struct Extent {
    int left, right;
};

// Row cells, left to right: name, command line, process ID, listen address,
// start time; then the buttons start/stop, edit, delete, load config,
// open path.
enum RowControl { Name, CommandLine, Pid, Ports, StartTime, StartStop, Edit, Delete, LoadConfig, OpenPath, kRowControls };
constexpr std::array<Extent, kRowControls> kRowExtents{{{0, 200},
                                                        {220, 700},
                                                        {720, 800},
                                                        {820, 940},
                                                        {960, 1110},
                                                        {1130, 1190},
                                                        {1200, 1260},
                                                        {1270, 1330},
                                                        {1340, 1400},
                                                        {1410, 1470}}};
// Command ID base of each button (the ID is base + index).
constexpr int kStartStopBase = 1024, kDeleteBase = 1124, kEditBase = 1224, kLoadConfigBase = 1324,
              kOpenPathBase = 1424;

// The six column headers share the first six extents but the last one.
constexpr std::array<Extent, 6> kHeaderExtents{{{0, 200}, {220, 700}, {720, 800}, {820, 940}, {960, 1110}, {1130, 1230}}};

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
    int commandLineEditWidth = 0;  // edit 1006
    // Buttons 1010, 1003, 1011 on the line of edit 1006.
    std::array<Rect, 3> topButtons{};
};
Relayout relayout(int originY, int servers, int commandLineEditLeft, int commandLineEditTop);

}  // namespace MainLayout
