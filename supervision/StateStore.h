#pragma once
#include <string>
#include <vector>

#include "config/StateFile.h"

// Where the supervisor keeps what must outlive it: per server, the process
// it holds and the operator's stop (RememberedServer). The supervisor reads
// it once, at its first load of the list, and writes it whenever what it
// holds changes, never once per check.
class StateStore {
public:
    virtual ~StateStore() = default;
    // What the previous run left, and the boot ID it was left in; empty
    // when there is nothing (a file that cannot be read is the store's to
    // report).
    virtual std::vector<RememberedServer> read(std::string& bootId) = 0;
    // Keeps these records in place of the previous ones. Called on the
    // checking thread: it must not wait for the disk.
    virtual void write(std::vector<RememberedServer> records) = 0;
};
