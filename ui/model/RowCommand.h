#pragma once
#include <cstdint>
#include <optional>

// The command IDs of the row buttons. Rows 1 to 99 keep the IDs every
// version had: base + index. The bases follow each other at a distance of
// 100, so index 100 would reach the next range; rows 100 and above take
// their IDs from a range of their own, five to a row in the order of the
// kinds, from kMoreRowsBase on.

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
// The last row of the first ranges (base + index).
constexpr std::int32_t kHighestClassicRowIndex = 99;
// Where the IDs of rows 100 and above begin: clear of the window's other
// controls and of the toolkit's own IDs.
constexpr int kMoreRowsBase = 10000;
// The last row that has buttons: its IDs stay within 16 bits (signed), as
// command IDs travel on Windows.
constexpr std::int32_t kHighestRowIndex = kHighestClassicRowIndex + (32767 - kMoreRowsBase + 1) / 5;

// The command ID of a row's button; -1 (no ID of its own) beyond
// kHighestRowIndex.
int RowCommandId(RowCommandKind kind, std::int32_t index);

// The row button a command ID stands for; none for any other ID, including
// base + 0 of the first ranges.
std::optional<RowCommand> RouteRowCommand(int id);
