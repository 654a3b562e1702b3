#include "ui/model/RowCommand.h"

#include "ui/model/MainLayout.h"

namespace {

// In the order the ranges are tested.
constexpr RowCommandKind kKinds[] = {RowCommandKind::Toggle, RowCommandKind::Delete, RowCommandKind::Edit,
                                     RowCommandKind::LoadConfig, RowCommandKind::OpenPath};

int base(RowCommandKind kind) {
    switch (kind) {
        case RowCommandKind::Toggle: return MainLayout::kStartStopBase;
        case RowCommandKind::Delete: return MainLayout::kDeleteBase;
        case RowCommandKind::Edit: return MainLayout::kEditBase;
        case RowCommandKind::LoadConfig: return MainLayout::kLoadConfigBase;
        case RowCommandKind::OpenPath: return MainLayout::kOpenPathBase;
    }
    return 0;
}

}  // namespace

int RowCommandId(RowCommandKind kind, std::int32_t index) { return base(kind) + index; }

std::optional<RowCommand> RouteRowCommand(int id) {
    for (RowCommandKind kind : kKinds) {
        const int index = id - base(kind);
        if (index >= kLowestRowIndex && index <= kHighestRowIndex) return RowCommand{kind, index};
    }
    return std::nullopt;
}
