#include "ui/model/RowCommand.h"

#include "ui/model/MainLayout.h"

namespace {

// In the order the ranges are tested.
constexpr RowCommandKind kKinds[] = {RowCommandKind::Toggle, RowCommandKind::Delete, RowCommandKind::Edit,
                                     RowCommandKind::LoadConfig, RowCommandKind::OpenPath};
constexpr int kKindCount = 5;

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

int RowCommandId(RowCommandKind kind, std::int32_t index) {
    if (index >= kLowestRowIndex && index <= kHighestClassicRowIndex) return base(kind) + index;
    if (index > kHighestClassicRowIndex && index <= kHighestRowIndex)
        return kMoreRowsBase + (index - kHighestClassicRowIndex - 1) * kKindCount + static_cast<int>(kind);
    return -1;
}

std::optional<RowCommand> RouteRowCommand(int id) {
    for (RowCommandKind kind : kKinds) {
        const int index = id - base(kind);
        if (index >= kLowestRowIndex && index <= kHighestClassicRowIndex) return RowCommand{kind, index};
    }
    if (id >= kMoreRowsBase) {
        const int offset = id - kMoreRowsBase;
        const std::int32_t index = kHighestClassicRowIndex + 1 + offset / kKindCount;
        if (index <= kHighestRowIndex) return RowCommand{kKinds[offset % kKindCount], index};
    }
    return std::nullopt;
}
