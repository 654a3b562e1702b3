#include "platform/win32/Win32ExitWatcher.h"

#include "platform/win32/Win32ProcessHandle.h"

namespace platform {

Win32ExitWatcher::~Win32ExitWatcher() { stop(); }

bool Win32ExitWatcher::start(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
    started_ = true;
    return true;
}

void CALLBACK Win32ExitWatcher::onEnded(PVOID context, BOOLEAN /*timedOut*/) {
    auto* watch = static_cast<Watch*>(context);
    // Told once its writer has written its last output, or after the grace
    // where a child of the program keeps the pipe open.
    if (watch->writer) ::WaitForSingleObject(watch->writer, Win32ProcessHandle::kOutputDrainGraceMs);
    Win32ExitWatcher* self = watch->owner;
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->exited_.push_back(watch->id);
        wake = self->wake_;
    }
    if (wake) wake();
}

bool Win32ExitWatcher::watch(std::uint64_t id, ProcessHandle& process) {
    const auto handle = reinterpret_cast<HANDLE>(process.waitable());
    if (process.waitable() == -1 || !handle) return false;
    auto watch = std::make_unique<Watch>();
    watch->owner = this;
    watch->id = id;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &watch->process, SYNCHRONIZE,
                           FALSE, 0))
        return false;
    const std::intptr_t writer = process.outputWaitable();
    if (writer != -1 && writer != 0 &&
        !::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(writer), ::GetCurrentProcess(),
                           &watch->writer, SYNCHRONIZE, FALSE, 0))
        watch->writer = nullptr;
    std::unique_ptr<Watch> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || !::RegisterWaitForSingleObject(&watch->wait, watch->process, onEnded, watch.get(),
                                                        INFINITE, WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION)) {
            ::CloseHandle(watch->process);
            if (watch->writer) ::CloseHandle(watch->writer);
            return false;
        }
        // A second watch under the same id replaces the first.
        std::unique_ptr<Watch>& slot = watches_[id];
        replaced = std::move(slot);
        slot = std::move(watch);
    }
    if (replaced) release(*replaced);
    return true;
}

void Win32ExitWatcher::release(Watch& watch) {
    // Waits for a callback under way to finish, so the watch may go.
    if (watch.wait) ::UnregisterWaitEx(watch.wait, INVALID_HANDLE_VALUE);
    if (watch.process) ::CloseHandle(watch.process);
    if (watch.writer) ::CloseHandle(watch.writer);
    watch.wait = nullptr;
    watch.process = nullptr;
    watch.writer = nullptr;
}

void Win32ExitWatcher::unwatch(std::uint64_t id) {
    std::unique_ptr<Watch> watch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = watches_.find(id);
        if (found == watches_.end()) return;
        watch = std::move(found->second);
        watches_.erase(found);
    }
    // Outside the lock: the callback being waited for takes it.
    release(*watch);
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(exited_, id);
}

void Win32ExitWatcher::takeExited(std::vector<std::uint64_t>& ids) {
    ids.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    ids.swap(exited_);
}

void Win32ExitWatcher::stop() {
    std::map<std::uint64_t, std::unique_ptr<Watch>> watches;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watches.swap(watches_);
        started_ = false;
    }
    for (auto& [id, watch] : watches) release(*watch);
    std::lock_guard<std::mutex> lock(mutex_);
    exited_.clear();
    wake_ = nullptr;
}

std::unique_ptr<ExitWatcher> makeExitWatcher() { return std::make_unique<Win32ExitWatcher>(); }

}  // namespace platform
