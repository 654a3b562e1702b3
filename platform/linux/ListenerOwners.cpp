#include "platform/linux/ListenerOwners.h"

#include <algorithm>
#include <iterator>

namespace platform {

std::uint64_t ListenerOwners::newLook(const std::vector<std::uint64_t>& listening) {
    ++looks_;
    // Both ascending: anything in the new look that the last one lacks is
    // a socket whose owner nobody knows yet.
    if (!std::includes(previous_.begin(), previous_.end(), listening.begin(), listening.end())) lastArrival_ = looks_;
    if (previous_ != listening) {
        lastChange_ = looks_;
        previous_ = listening;
    }
    // What the looks left out for long is stale (inodesOf reads it afresh);
    // the map is swept of it only now and then, so that a look in which
    // nothing changed walks nothing.
    if (looks_ % kForgetAfter == 0)
        for (auto at = owners_.begin(); at != owners_.end();)
            at = at->second.askedAt + kForgetAfter < looks_ ? owners_.erase(at) : std::next(at);
    return looks_;
}

bool ListenerOwners::read(int pid, std::uint64_t look, const std::vector<std::uint64_t>& listening, Owner& owner) {
    ++descriptorReads_;
    std::vector<std::uint64_t> all;
    if (!reader_(pid, all)) return false;
    owner.inodes.clear();
    std::set_intersection(all.begin(), all.end(), listening.begin(), listening.end(), std::back_inserter(owner.inodes));
    owner.readAt = look;
    return true;
}

bool ListenerOwners::inodesOf(int pid, std::uint64_t look, const std::vector<std::uint64_t>& listening,
                              std::vector<std::uint64_t>& out) {
    out.clear();
    if (pid <= 0) return false;
    const auto [at, isNew] = owners_.try_emplace(pid);
    Owner& owner = at->second;
    // Left out of the looks for long: possibly another process given the
    // same ID since.
    const bool forgotten = owner.askedAt + kForgetAfter < look;
    owner.askedAt = std::max(owner.askedAt, look);
    // What was read holds while no socket has appeared since and every
    // socket it held is still there.
    const bool current = !isNew && !forgotten && owner.readAt >= lastArrival_ &&
                         std::includes(listening.begin(), listening.end(), owner.inodes.begin(), owner.inodes.end());
    if (!current && !read(pid, look, listening, owner)) {
        owners_.erase(at);
        return false;
    }
    out = owner.inodes;
    return true;
}

}  // namespace platform
