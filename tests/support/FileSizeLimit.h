#pragma once
#include <sys/resource.h>

#include <csignal>

// While it lives, no file of this process may grow beyond `bytes`: a write
// past the limit fails with EFBIG (the signal that would end the process is
// ignored). It makes a write fail halfway, like a full disk, even for root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = SIG_DFL;
};
