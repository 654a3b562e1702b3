#include "ui/ServerRow.h"

#include "ui/DialogTemplate.h"
#include "ui/MainWindowGlobals.h"
#include "ui/RowArea.h"
#include "ui/model/MainLayout.h"
#include "ui/model/RowCommand.h"

namespace {

// In the row area, whose view may be scrolled: a control goes to its place
// in the content, in the pixels of the monitor the window is on.
wxRect place(wxWindow* parent, int index, MainLayout::RowControl control) {
    const MainLayout::Rect r = MainLayout::rowControl(MainLayout::kRowAreaOriginY, index, control);
    wxPoint at = parent->FromDIP(wxPoint(r.left, r.top));
    if (auto* area = dynamic_cast<RowArea*>(parent)) at = area->CalcScrolledPosition(at);
    return wxRect(at, parent->FromDIP(wxSize(r.width, r.height)));
}

template <class Control>
Control* withRowFont(Control* control) {
    if (g_rowFont.IsOk()) control->SetFont(g_rowFont);
    return control;
}

wxStaticText* cell(wxWindow* parent, int index, MainLayout::RowControl control, const std::string& text) {
    const wxRect r = place(parent, index, control);
    auto* label = withRowFont(new wxStaticText(parent, wxID_STATIC, wxString(), r.GetPosition(), r.GetSize(),
                                               wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END));
    label->SetLabelText(U8(text));  // shown as it is: no mnemonics
    return label;
}

wxButton* button(wxWindow* parent, int index, MainLayout::RowControl control, RowCommandKind kind, const char* text) {
    const wxRect r = place(parent, index, control);
    const int id = RowCommandId(kind, index);
    return withRowFont(new wxButton(parent, id < 0 ? wxID_ANY : id, U8(text), r.GetPosition(), r.GetSize()));
}

}  // namespace

const wxColour ServerRow::kAlarmColour(220, 32, 32);
const wxColour ServerRow::kBusyColour(235, 170, 20);
const wxColour ServerRow::kUnhealthyColour(240, 150, 0);

ServerRow::ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
                     const RowStatus& cells, std::function<void()> changed)
    : commandLineLabel(cell(parent, index, MainLayout::CommandLine, commandline)),
      pidLabel(cell(parent, index, MainLayout::Pid, cells.pid)),
      portsLabel(cell(parent, index, MainLayout::Ports, cells.ports)),
      startTimeLabel(cell(parent, index, MainLayout::StartTime, cells.startTime)),
      uptimeLabel(cell(parent, index, MainLayout::Uptime, cells.uptime)),
      restartsLabel(cell(parent, index, MainLayout::Restarts, cells.restarts)),
      lastExitLabel(cell(parent, index, MainLayout::LastExit, cells.lastExit)),
      cpuLabel(cell(parent, index, MainLayout::Cpu, cells.cpu)),
      memoryLabel(cell(parent, index, MainLayout::Memory, cells.memory)),
      startStopButton(
          button(parent, index, MainLayout::StartStop, RowCommandKind::Toggle, cells.startStopCaption.c_str())),
      editButton(button(parent, index, MainLayout::Edit, RowCommandKind::Edit, "编辑")),
      deleteButton(button(parent, index, MainLayout::Delete, RowCommandKind::Delete, "删除")),
      loadConfigButton(button(parent, index, MainLayout::LoadConfig, RowCommandKind::LoadConfig, "加载配置")),
      openPathButton(button(parent, index, MainLayout::OpenPath, RowCommandKind::OpenPath, "打开路径")),
      nameLabel(cell(parent, index, MainLayout::Name, name)),
      m_changed(std::move(changed)),
      m_shown(cells) {
    // A text cut to fit its cell is shown whole on hover.
    nameLabel->SetToolTip(U8(name));
    commandLineLabel->SetToolTip(U8(commandline));
    pidLabel->SetToolTip(U8(cells.tooltip));
    portsLabel->SetToolTip(U8(cells.tooltip));
    lastExitLabel->SetToolTip(U8(cells.tooltip));
    uptimeLabel->SetToolTip(U8(cells.tooltip));
    restartsLabel->SetToolTip(U8(cells.tooltip));
    showColour(cells.colour);
    showHealth(cells);
}

void ServerRow::pinName(bool scrolled) {
    // Unscrolled, its column's place is this place in the view too. Pinned,
    // it covers the margin left of its column as well, so that nothing
    // passes between it and the view's edge.
    wxWindow* area = nameLabel->GetParent();
    const MainLayout::Extent column = MainLayout::kRowExtents[MainLayout::Name];
    const int left = scrolled ? 0 : area->FromDIP(MainLayout::kOriginX + column.left);
    const int width = area->FromDIP(MainLayout::kOriginX + column.right) - left;
    const wxRect at = nameLabel->GetRect();
    if (at.x != left || at.width != width) nameLabel->SetSize(left, at.y, width, at.height);
    if (scrolled == m_pinned) return;
    m_pinned = scrolled;
    showNameBackground();
}

std::array<wxStaticText*, 10> ServerRow::cells() const {
    return {nameLabel,   commandLineLabel, pidLabel,      portsLabel, startTimeLabel,
            uptimeLabel, restartsLabel,    lastExitLabel, cpuLabel,   memoryLabel};
}

ServerRow::~ServerRow() {
    for (wxWindow* control : cells()) control->Destroy();
    for (wxWindow* control :
         std::array<wxWindow*, 5>{startStopButton, editButton, deleteButton, loadConfigButton, openPathButton})
        control->Destroy();
}

void ServerRow::update(const RowStatus& cells) {
    if (cells == m_shown) return;
    // Only what changed is set: the running clocks in the tooltip change at
    // every check, the cells seldom.
    if (cells.pid != m_shown.pid) pidLabel->SetLabelText(U8(cells.pid));
    if (cells.ports != m_shown.ports) portsLabel->SetLabelText(U8(cells.ports));
    if (cells.startStopCaption != m_shown.startStopCaption) startStopButton->SetLabel(U8(cells.startStopCaption));
    if (cells.startTime != m_shown.startTime) startTimeLabel->SetLabelText(U8(cells.startTime));
    if (cells.lastExit != m_shown.lastExit) lastExitLabel->SetLabelText(U8(cells.lastExit));
    if (cells.uptime != m_shown.uptime) uptimeLabel->SetLabelText(U8(cells.uptime));
    if (cells.restarts != m_shown.restarts) restartsLabel->SetLabelText(U8(cells.restarts));
    if (cells.cpu != m_shown.cpu) cpuLabel->SetLabelText(U8(cells.cpu));
    if (cells.memory != m_shown.memory) memoryLabel->SetLabelText(U8(cells.memory));
    if (cells.tooltip != m_shown.tooltip) {
        for (wxStaticText* label : {pidLabel, portsLabel, lastExitLabel, uptimeLabel, restartsLabel})
            label->SetToolTip(U8(cells.tooltip));
    }
    showColour(cells.colour);
    showHealth(cells);
    const bool cellsChanged = cells.pid != m_shown.pid || cells.ports != m_shown.ports ||
                              cells.startStopCaption != m_shown.startStopCaption ||
                              cells.startTime != m_shown.startTime || cells.lastExit != m_shown.lastExit ||
                              cells.restarts != m_shown.restarts || cells.colour != m_shown.colour ||
                              cells.unhealthy != m_shown.unhealthy;
    m_shown = cells;
    if (cellsChanged && m_changed) m_changed();
}

void ServerRow::showHealth(const RowStatus& cells) {
    // The name cell turns orange, and tells why on hover, while the
    // server runs but fails its health rule.
    if (cells.unhealthy) {
        nameLabel->SetToolTip(U8(cells.healthTip));
    } else if (m_unhealthy) {
        nameLabel->SetToolTip(nameLabel->GetLabel());
    }
    if (cells.unhealthy == m_unhealthy) return;
    m_unhealthy = cells.unhealthy;
    showNameBackground();
}

void ServerRow::showNameBackground() {
    if (m_unhealthy) {
        nameLabel->SetBackgroundColour(kUnhealthyColour);
        nameLabel->SetForegroundColour(*wxBLACK);
    } else {
        // Opaque while pinned: the cells that scroll under it are hidden.
        nameLabel->SetBackgroundColour(m_pinned ? nameLabel->GetParent()->GetBackgroundColour() : wxNullColour);
        nameLabel->SetForegroundColour(wxNullColour);
    }
    nameLabel->Refresh();
}

void ServerRow::showColour(RowColour colour) {
    if (colour == m_colour) return;
    m_colour = colour;
    // The whole cell shows the colour; it keeps its place and size.
    switch (colour) {
        case RowColour::Alarm:
            pidLabel->SetBackgroundColour(kAlarmColour);
            pidLabel->SetForegroundColour(*wxWHITE);
            break;
        case RowColour::Busy:
            pidLabel->SetBackgroundColour(kBusyColour);
            pidLabel->SetForegroundColour(*wxBLACK);
            break;
        case RowColour::Plain:
            pidLabel->SetBackgroundColour(wxNullColour);
            pidLabel->SetForegroundColour(wxNullColour);
            break;
    }
    pidLabel->Refresh();
}
