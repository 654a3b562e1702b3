#include "supervision/LoopThread.h"

#include <cstdio>
#include <cstdlib>

void LoopThread::misuse(const char* where) {
    std::fprintf(stderr, "procward: Supervisor::%s called off the supervisor's thread\n", where);
    std::fflush(stderr);
    std::abort();
}
