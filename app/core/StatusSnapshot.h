#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <optional>

#include "app/core/PassHistogram.h"
#include "supervision/ServerReport.h"

// The state of every server, published by the loop after each pass and
// each change, for the threads that answer `ctl status` and /metrics: they
// read it and never touch a record.
struct StatusSnapshot {
    std::vector<ServerReport> servers;  // in index order
    std::int32_t running = 0;           // servers in the state running
    std::uint64_t passes = 0;           // check passes so far
    PassHistogram passDurations;
};
