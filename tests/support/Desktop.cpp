#include "tests/support/Desktop.h"

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "tests/support/TestServer.h"

namespace desktop {

namespace {

Window parseWindow(const std::string& text) { return std::stoul(text, nullptr, 0); }

std::string hex(Window window) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", window);
    return text;
}

int field(const std::string& text, const std::string& name) {
    const std::regex pattern(name + ": *(-?\\d+)");
    std::smatch m;
    return std::regex_search(text, m, pattern) ? std::stoi(m[1]) : 0;
}

// The window's parent in the X window tree, none for the root.
std::optional<Window> parentOf(Window window) {
    const std::string text = run("xwininfo -children -id " + hex(window));
    std::smatch m;
    static const std::regex parent("Parent window id: (0x[0-9a-fA-F]+)");
    if (!std::regex_search(text, m, parent)) return std::nullopt;
    const Window id = parseWindow(m[1]);
    if (id == 0) return std::nullopt;
    return id;
}

// Windows of the panel that holds the notification area.
std::vector<Window> trayPanels() {
    std::vector<Window> panels;
    std::istringstream ids(run("xdotool search --classname '^(tint2|stalonetray)$'"));
    for (std::string line; std::getline(ids, line);)
        if (!line.empty()) panels.push_back(parseWindow(line));
    return panels;
}

bool insideAny(Window window, const std::vector<Window>& ancestors) {
    for (std::optional<Window> w = parentOf(window); w; w = parentOf(*w))
        for (Window a : ancestors)
            if (*w == a) return true;
    return false;
}

}  // namespace

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

bool present() { return !run("wmctrl -m").empty() && !trayPanels().empty(); }

bool promised() { return std::getenv("PROCWARD_DESKTOP") != nullptr; }

std::optional<Window> managedWindow(int pid, const std::string& title) {
    // wmctrl -l -p: id, desktop, pid, host, title.
    std::istringstream lines(run("wmctrl -l -p"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, desk, host;
        int owner = 0;
        if (!(fields >> id >> desk >> owner >> host) || owner != pid) continue;
        std::string rest;
        std::getline(fields, rest);
        if (rest.size() > 1 && rest.substr(1) == title) return parseWindow(id);
    }
    return std::nullopt;
}

std::vector<Window> windowsOf(int pid) {
    std::vector<Window> windows;
    std::istringstream ids(run("xdotool search --pid " + std::to_string(pid)));
    for (std::string line; std::getline(ids, line);)
        if (!line.empty()) windows.push_back(parseWindow(line));
    return windows;
}

Geometry geometry(Window window) {
    const std::string text = run("xwininfo -id " + hex(window));
    Geometry g;
    g.x = field(text, "Absolute upper-left X");
    g.y = field(text, "Absolute upper-left Y");
    g.width = field(text, "Width");
    g.height = field(text, "Height");
    g.viewable = text.find("Map State: IsViewable") != std::string::npos;
    return g;
}

FrameExtents frameExtents(Window window) {
    const std::string text = run("xprop -id " + hex(window) + " _NET_FRAME_EXTENTS");
    std::smatch m;
    static const std::regex values("= *(\\d+), *(\\d+), *(\\d+), *(\\d+)");
    FrameExtents e;
    if (std::regex_search(text, m, values)) {
        e.left = std::stoi(m[1]);
        e.right = std::stoi(m[2]);
        e.top = std::stoi(m[3]);
        e.bottom = std::stoi(m[4]);
    }
    return e;
}

std::optional<Window> trayIconOf(int pid) {
    const std::vector<Window> panels = trayPanels();
    for (Window w : windowsOf(pid))
        if (geometry(w).viewable && insideAny(w, panels)) return w;
    return std::nullopt;
}

std::vector<Window> popupsOf(int pid) {
    std::vector<Window> popups;
    for (Window w : windowsOf(pid)) {
        const Geometry g = geometry(w);
        // Off-screen helper windows of the toolkit do not count.
        if (!g.viewable || g.x < 0 || g.y < 0) continue;
        // The manager reparents what it frames and the panel what it embeds:
        // pop-ups stay children of the root.
        static const std::regex rootParent("Parent window id: 0x[0-9a-fA-F]+ \\(the root window\\)");
        if (std::regex_search(run("xwininfo -children -id " + hex(w)), rootParent)) popups.push_back(w);
    }
    return popups;
}

void closeWindow(Window window) { run("wmctrl -i -c " + hex(window)); }

std::optional<Window> activeWindow() {
    const std::string text = run("xdotool getactivewindow");
    if (text.empty()) return std::nullopt;
    return parseWindow(text);
}

bool activate(Window window) {
    run("xdotool windowactivate " + std::to_string(window));
    return waitFor([&] { return activeWindow() == window; }, 10000);
}

void click(int x, int y, int button) {
    run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click " + std::to_string(button));
}

void clickCentre(Window window, int button) {
    const Geometry g = geometry(window);
    click(g.x + g.width / 2, g.y + g.height / 2, button);
}

void keys(const std::string& names) { run("xdotool key " + names); }

}  // namespace desktop
