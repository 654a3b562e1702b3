#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace platform {

// Which of the machine's listening sockets (by inode) each process asked
// about holds, kept from one look at the machine to the next. Finding the
// owner of a socket means reading every descriptor link of a process, which
// costs as much as the process holds open (thousands for a server with
// clients), so a process's descriptors are read only when something
// changed: a listening socket appeared that was not there at its last
// reading, one of those it held went away, or it was never read (a new
// process). In a look where nothing changed, nothing is read at all.
//
// A socket inherited by a child, or passed on, is open in several
// processes: each process asked about is read on its own, so each holds it.
//
// What is known of a process is kept while looks ask about it: one that 64
// looks in a row leave out (it has ended, or is no longer a server's, or
// its asker knew the answer because nothing had changed) is forgotten, so
// that a later process given the same ID is read afresh. Between two reads
// a process is taken to be the one that was read: asked about after it has
// ended, it may still be given the listeners it held when other processes
// hold them too.
//
// Not thread-safe: its owner serialises the calls.
class ListenerOwners {
public:
    // Reads the socket inodes among a process's descriptors, ascending;
    // false when they cannot be read (the process has gone, or belongs to
    // another user).
    using DescriptorReader = bool (*)(int pid, std::vector<std::uint64_t>& inodes);

    explicit ListenerOwners(DescriptorReader reader) : reader_(reader) {}

    // Takes the listening inodes of a new look at the machine, ascending,
    // and returns the look's number for inodesOf.
    std::uint64_t newLook(const std::vector<std::uint64_t>& listening);

    // The inodes among `listening` (those given for look `look`) that
    // process `pid` holds, ascending. False when its descriptors had to be
    // read and could not be.
    bool inodesOf(int pid, std::uint64_t look, const std::vector<std::uint64_t>& listening,
                  std::vector<std::uint64_t>& out);

    // The latest look in which a listening socket appeared that the one
    // before lacked (0: none yet).
    std::uint64_t lastArrival() const { return lastArrival_; }
    // The latest look whose listening sockets differed from the one before.
    std::uint64_t lastChange() const { return lastChange_; }
    // How many times a process's descriptors were read.
    std::uint64_t descriptorReads() const { return descriptorReads_; }

private:
    struct Owner {
        std::vector<std::uint64_t> inodes;  // the listening ones it held when read, ascending
        std::uint64_t readAt = 0;           // the look in which its descriptors were read
        std::uint64_t askedAt = 0;          // the last look that asked about it
    };

    static constexpr std::uint64_t kForgetAfter = 64;

    bool read(int pid, std::uint64_t look, const std::vector<std::uint64_t>& listening, Owner& owner);

    DescriptorReader reader_;
    std::vector<std::uint64_t> previous_;  // the listening inodes of the latest look
    std::uint64_t looks_ = 0;
    std::uint64_t lastArrival_ = 0;  // the latest look in which an inode appeared
    std::uint64_t lastChange_ = 0;   // ... in which one appeared or went
    std::unordered_map<int, Owner> owners_;
    std::uint64_t descriptorReads_ = 0;
};

}  // namespace platform
