#pragma once
#include <vector>

// A listening socket on 127.0.0.1 whose accept queue is full: Linux drops
// further handshakes, so a connect to it never completes. full() says
// whether the queue could be filled.
class FullBacklogListener {
public:
    FullBacklogListener();
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    int port() const { return port_; }
    bool full() const { return full_; }

private:
    int listener_ = -1;
    int port_ = 0;
    bool full_ = false;
    std::vector<int> fillers_;
};
