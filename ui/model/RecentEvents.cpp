#include "ui/model/RecentEvents.h"

#include "supervision/RowCells.h"
#include "ui/model/ReasonText.h"

void RecentEvents::add(const AlertEvent& event, const std::string& exitText) {
    entries_.push_front(Entry{event.time, event.index > 0 ? event.name : std::string(), whatOf(event, exitText)});
    if (entries_.size() > kKept) entries_.pop_back();
    ++count_;
}

std::string RecentEvents::whatOf(const AlertEvent& event, const std::string& exitText) {
    const std::string reason = ReasonText::chinese(event.reason);
    const auto withReason = [&reason](std::string text) {
        if (!reason.empty()) text += "：" + reason;
        return text;
    };
    switch (event.kind) {
        case AlertKind::ServerDown: return "进程退出（" + (exitText.empty() ? reason : exitText) + "），将重启";
        case AlertKind::Started: return "启动成功";
        case AlertKind::Restarted:
            return event.pid > 0 ? "重启成功，进程ID " + std::to_string(event.pid) : std::string("重启成功");
        case AlertKind::Stopped: return "已按操作停止";
        case AlertKind::StartFailed: return withReason("启动失败");
        case AlertKind::BackoffMax: return withReason("多次启动失败，重启间隔已达上限");
        case AlertKind::Recovered: return "已恢复正常运行";
        case AlertKind::ProcwardStarted: return "Procward 已启动";
        case AlertKind::ProcwardStopping: return "Procward 正在退出";
        case AlertKind::Unhealthy: return withReason("健康检查失败");
        case AlertKind::Healthy: return "健康检查恢复正常";
    }
    return withReason("事件");
}

std::string RecentEvents::timeText(std::int64_t time) { return formatStartTime(time); }
