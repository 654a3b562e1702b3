#pragma once
#include <cstdint>
#include <optional>

// The command IDs of the row buttons: base + index, for index 1 to 99.

enum class RowCommandKind {
    Toggle,      // "启动" / "停止", base 1024
    Delete,      // "删除", base 1124
    Edit,        // "编辑", base 1224
    LoadConfig,  // "加载配置", base 1324
    OpenPath,    // "打开路径", base 1424
};

struct RowCommand {
    RowCommandKind kind;
    std::int32_t index;

    bool operator==(const RowCommand&) const = default;
};

constexpr std::int32_t kLowestRowIndex = 1;
constexpr std::int32_t kHighestRowIndex = 99;

// The command ID of a row's button (base + index). Indexes beyond 99 get IDs
// that RouteRowCommand does not take back.
int RowCommandId(RowCommandKind kind, std::int32_t index);

// The row button a command ID stands for; none for any other ID, including
// base + 0 and base + 100 and above.
std::optional<RowCommand> RouteRowCommand(int id);
