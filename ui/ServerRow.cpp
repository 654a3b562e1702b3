#include "ui/ServerRow.h"

#include "ui/DialogTemplate.h"
#include "ui/MainWindowGlobals.h"
#include "ui/model/MainLayout.h"
#include "ui/model/RowCommand.h"

namespace {

wxRect place(int index, MainLayout::RowControl control) {
    const MainLayout::Rect r = MainLayout::rowControl(g_rowOriginY, index, control);
    return wxRect(r.left, r.top, r.width, r.height);
}

template <class Control>
Control* withRowFont(Control* control) {
    if (g_rowFont.IsOk()) control->SetFont(g_rowFont);
    return control;
}

wxStaticText* cell(wxWindow* parent, int index, MainLayout::RowControl control, const std::string& text) {
    const wxRect r = place(index, control);
    auto* label = withRowFont(
        new wxStaticText(parent, wxID_STATIC, wxString(), r.GetPosition(), r.GetSize(), wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END));
    label->SetLabelText(U8(text));  // shown as it is: no mnemonics
    return label;
}

wxButton* button(wxWindow* parent, int index, MainLayout::RowControl control, RowCommandKind kind, const char* text) {
    const wxRect r = place(index, control);
    const int id = RowCommandId(kind, index);
    return withRowFont(new wxButton(parent, id < 0 ? wxID_ANY : id, U8(text), r.GetPosition(), r.GetSize()));
}

}  // namespace

const wxColour ServerRow::kAlarmColour(220, 32, 32);
const wxColour ServerRow::kUnhealthyColour(240, 150, 0);

ServerRow::ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
                     const RowCells& cells, std::function<void()> changed)
    : nameLabel(cell(parent, index, MainLayout::Name, name)),
      commandLineLabel(cell(parent, index, MainLayout::CommandLine, commandline)),
      pidLabel(cell(parent, index, MainLayout::Pid, cells.pid)),
      portsLabel(cell(parent, index, MainLayout::Ports, cells.ports)),
      startTimeLabel(cell(parent, index, MainLayout::StartTime, cells.startTime)),
      startStopButton(button(parent, index, MainLayout::StartStop, RowCommandKind::Toggle,
                             cells.startStopCaption.c_str())),
      editButton(button(parent, index, MainLayout::Edit, RowCommandKind::Edit, "编辑")),
      deleteButton(button(parent, index, MainLayout::Delete, RowCommandKind::Delete, "删除")),
      loadConfigButton(button(parent, index, MainLayout::LoadConfig, RowCommandKind::LoadConfig, "加载配置")),
      openPathButton(button(parent, index, MainLayout::OpenPath, RowCommandKind::OpenPath, "打开路径")),
      m_changed(std::move(changed)) {
    showAlarm(cells.downWithAutoStart);
    showHealth(cells);
}

ServerRow::~ServerRow() {
    for (wxWindow* control : std::array<wxWindow*, 10>{nameLabel, commandLineLabel, pidLabel, portsLabel, startTimeLabel,
                                                       startStopButton, editButton, deleteButton, loadConfigButton,
                                                       openPathButton})
        control->Destroy();
}

void ServerRow::update(const RowCells& cells) {
    pidLabel->SetLabelText(U8(cells.pid));
    portsLabel->SetLabelText(U8(cells.ports));
    startStopButton->SetLabel(U8(cells.startStopCaption));
    startTimeLabel->SetLabelText(U8(cells.startTime));
    showAlarm(cells.downWithAutoStart);
    showHealth(cells);
    if (m_changed) m_changed();
}

void ServerRow::showHealth(const RowCells& cells) {
    // The name cell turns orange, and tells why on hover, while the
    // server runs but fails its health rule.
    if (cells.unhealthy) {
        nameLabel->SetToolTip(U8(cells.healthTip));
    } else if (m_unhealthy) {
        nameLabel->UnsetToolTip();
    }
    if (cells.unhealthy == m_unhealthy) return;
    m_unhealthy = cells.unhealthy;
    if (m_unhealthy) {
        nameLabel->SetBackgroundColour(kUnhealthyColour);
        nameLabel->SetForegroundColour(*wxBLACK);
    } else {
        nameLabel->SetBackgroundColour(wxNullColour);
        nameLabel->SetForegroundColour(wxNullColour);
    }
    nameLabel->Refresh();
}

void ServerRow::showAlarm(bool alarm) {
    if (alarm == m_alarm) return;
    m_alarm = alarm;
    // The cell is empty while the server is down, so its whole area shows
    // the colour; it keeps its place and size.
    if (alarm) {
        pidLabel->SetBackgroundColour(kAlarmColour);
        pidLabel->SetForegroundColour(*wxWHITE);
    } else {
        pidLabel->SetBackgroundColour(wxNullColour);
        pidLabel->SetForegroundColour(wxNullColour);
    }
    pidLabel->Refresh();
}
