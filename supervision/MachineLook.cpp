#include "supervision/MachineLook.h"

#include <algorithm>

namespace {

std::string foldAscii(const std::string& text) {
    std::string folded = text;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

}  // namespace

void MachineLook::takeSnapshot() {
    snapshotTaken_ = true;
    ++processWalks_;
    if (!table_.snapshot(snapshot_)) snapshot_.clear();
    for (std::size_t i = 0; i < snapshot_.size(); ++i) byFileName_[foldAscii(snapshot_[i].exeFile)].push_back(i);
}

std::vector<const platform::ProcessEntry*> MachineLook::candidates(const std::vector<std::string>& fileNames) {
    if (!snapshotTaken_) takeSnapshot();
    std::vector<std::size_t> positions;
    for (const std::string& name : fileNames) {
        const auto found = byFileName_.find(foldAscii(name));
        if (found != byFileName_.end()) positions.insert(positions.end(), found->second.begin(), found->second.end());
    }
    // Names that fold alike share a bucket: each process once, in table order.
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    std::vector<const platform::ProcessEntry*> out;
    out.reserve(positions.size());
    for (const std::size_t at : positions) out.push_back(&snapshot_[at]);
    return out;
}

std::vector<int> MachineLook::descendantsOf(int pid) {
    std::vector<int> found{pid};
    // Asked process by process where the platform can: no walk of the
    // table, and a cost that grows with the server's own processes only.
    std::vector<int> children;
    bool listed = true;
    for (std::size_t at = 0; at < found.size() && listed; ++at) {
        listed = table_.childrenOf(found[at], children);
        for (const int child : children)
            if (std::find(found.begin(), found.end(), child) == found.end()) found.push_back(child);
    }
    if (listed) {
        found.erase(found.begin());
        return found;
    }
    found.assign(1, pid);
    if (!snapshotTaken_) takeSnapshot();
    // A child is listed after its parent unless IDs wrapped around: walk
    // until nothing new turns up.
    for (bool more = true; more;) {
        more = false;
        for (const platform::ProcessEntry& entry : snapshot_)
            if (entry.parentPid != 0 && std::find(found.begin(), found.end(), entry.parentPid) != found.end() &&
                std::find(found.begin(), found.end(), entry.pid) == found.end()) {
                found.push_back(entry.pid);
                more = true;
            }
    }
    found.erase(found.begin());
    return found;
}

std::optional<std::uint64_t> MachineLook::listenerArrivals() const {
    return sockets_ ? sockets_->arrivals() : std::nullopt;
}

void MachineLook::takeSockets() {
    if (socketsTaken_) return;
    socketsTaken_ = true;
    ++socketDumps_;
    sockets_ = tcp_.snapshot();
}

std::optional<std::uint64_t> MachineLook::listenerChanges() {
    takeSockets();
    return sockets_ ? sockets_->changes() : std::nullopt;
}

bool MachineLook::listenersOf(int pid, std::vector<platform::TcpListener>& out) {
    out.clear();
    takeSockets();
    return sockets_ && sockets_->listenersOf(pid, out);
}
