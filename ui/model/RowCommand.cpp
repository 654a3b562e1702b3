#include "ui/model/RowCommand.h"

namespace {

// In the order the ranges are tested.
constexpr RowCommandKind kKinds[] = {RowCommandKind::Toggle, RowCommandKind::Delete, RowCommandKind::Edit,
                                     RowCommandKind::LoadConfig, RowCommandKind::OpenPath};

int base(RowCommandKind kind) {
    switch (kind) {
        case RowCommandKind::Toggle: return 1024;
        case RowCommandKind::Delete: return 1124;
        case RowCommandKind::Edit: return 1224;
        case RowCommandKind::LoadConfig: return 1324;
        case RowCommandKind::OpenPath: return 1424;
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
