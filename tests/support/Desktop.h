#pragma once
// The desktop the window tests run on (scripts/desktop-session.sh: Xvfb,
// the openbox window manager and a tint2 panel with a notification area),
// seen and driven the way an operator would: through the window manager
// (wmctrl), the X server's window tree (xwininfo, xprop) and real pointer
// and keyboard input (xdotool).
#include <optional>
#include <string>
#include <vector>

namespace desktop {

using Window = unsigned long;

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;  // the window itself, without its frame
    bool viewable = false;
    bool operator==(const Geometry&) const = default;
};

struct FrameExtents {
    int left = 0, right = 0, top = 0, bottom = 0;
};

// True when a window manager runs and a notification area is there.
bool present();
// True when the session script promised a desktop: its absence is then a
// failure, not a reason to skip.
bool promised();

// Standard output of a shell command.
std::string run(const std::string& command);

// The window the window manager shows for `pid` with this title.
std::optional<Window> managedWindow(int pid, const std::string& title);
// Every window of the process (from _NET_WM_PID), shown or not.
std::vector<Window> windowsOf(int pid);
Geometry geometry(Window window);
FrameExtents frameExtents(Window window);
// The process's icon in the notification area, while it is shown there.
std::optional<Window> trayIconOf(int pid);
// Windows of the process shown outside the window manager's frames and the
// tray (pop-up menus, tooltips).
std::vector<Window> popupsOf(int pid);

// What the window manager does for the title bar's close button.
void closeWindow(Window window);
// Makes the window the active one; false when the manager did not.
bool activate(Window window);
std::optional<Window> activeWindow();
// A click at a screen position (1 left, 3 right).
void click(int x, int y, int button);
void clickCentre(Window window, int button);
// Key presses for the active window, xdotool names ("Escape", "alt+F4").
void keys(const std::string& names);

}  // namespace desktop
