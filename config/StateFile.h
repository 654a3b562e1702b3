#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What the supervisor remembers of one server across its own restarts: the
// process it held, told from any later process with the same ID by its
// start (platform::processIdentity) and the boot it ran in, and whether the
// operator had stopped the server.
struct RememberedServer {
    // The entry it belongs to: a record counts for the entry with these
    // three texts only.
    std::string name;
    std::string processname;
    std::string commandline;
    int pid = 0;                     // 0: no process was held
    std::uint64_t startTicks = 0;    // its identity when it was held
    bool launched = false;           // a supervisor started it (not found running)
    int group = 0;                   // the process group that goes with it; 0: none
    bool stopped = false;            // auto-start off: the operator wants it down

    bool operator==(const RememberedServer&) const = default;
};

// The state file: a small JSON document written whole and replaced
// atomically, readable by its owner only. A file from another boot holds
// no process that can still run; its records keep only their stops.
class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // Reads the records. A missing file is no error (nothing to remember);
    // a file that cannot be read or parsed gives false and the reason.
    // `bootId` is the boot the processes were held in.
    bool read(std::vector<RememberedServer>& records, std::string& bootId, std::string& error) const;

    // Replaces the file with these records, held in the boot `bootId`.
    bool write(const std::vector<RememberedServer>& records, const std::string& bootId, std::string& error) const;

    // The document written for these records.
    static std::string text(const std::vector<RememberedServer>& records, const std::string& bootId);

private:
    std::string path_;
};
