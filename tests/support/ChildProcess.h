#pragma once
#include <string>
#include <vector>

// A program run by a test with its standard output and error read through a
// pipe (both into one stream).
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingDirectory = std::string());
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    // Reads output until `text` has appeared (searching from `from`) or the
    // time is up; returns the position after it, or npos.
    std::size_t waitForOutput(const std::string& text, int ms, std::size_t from = 0);
    const std::string& output() const { return output_; }
    void signal(int number);
    // Waits for the end; returns the exit status (as waitpid reports it), or
    // -1 when the time is up.
    int wait(int ms);

private:
    void readAvailable(int ms);

    int pid_ = 0;
    int fd_ = -1;
    std::string output_;
    bool reaped_ = false;
};
