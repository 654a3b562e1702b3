#pragma once
// An installation in a fresh directory: a program copied there beside its
// two files, as an operator would set it up, with helpers to run it and to
// send it ctl commands.
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

class Installation {
public:
    explicit Installation(const std::string& program = PROCWARDD_EXECUTABLE) {
        name_ = std::filesystem::path(program).filename().string();
        std::filesystem::copy_file(program, executable());
        ::chmod(executable().c_str(), 0755);
        // Other users (the tests run some commands as nobody) may enter.
        ::chmod(dir.path().c_str(), 0755);
        server_ = copyTestServer(dir.file("procward-testserver"));
        std::filesystem::copy_file(PROCWARD_METRICS_MODULE, dir.file("procward-metrics.so"));
        // The servers' output goes through the writer installed beside it.
        std::filesystem::copy_file(PROCWARD_OUTPUT_WRITER, dir.file("procward-output"));
    }
    ~Installation() {
        if (process) {
            process->signal(SIGTERM);
            process->wait(15000);
        }
        for (int pid : serverPids()) killAndWait(pid);
    }

    std::string executable() const { return dir.file(name_); }
    const std::string& testServer() const { return server_; }
    void writeServers(const std::string& json) { writeFile(dir.file("serverinfo.json"), json); }
    void writeSettings(const std::string& ini) { writeFile(dir.file("procward.ini"), ini); }

    // One entry of serverinfo.json that runs this installation's test server.
    std::string entry(const std::string& name, const std::string& arguments) const {
        return R"({"name":")" + name + R"(","processname":"procward-testserver","commandline":")" + server_ + " " +
               arguments + R"("})";
    }

    // Starts the program without a window and waits for its table.
    void start(const std::vector<std::string>& args = {}) {
        std::vector<std::string> all = args;
        if (name_ == "procward") all.insert(all.begin(), "--headless");
        process = std::make_unique<ChildProcess>(executable(), all, "/");
        ASSERT_NE(std::string::npos, process->waitForOutput("INDEX", 15000)) << process->output();
    }

    struct Result {
        int code = -1;
        std::string output;
    };
    // Runs `program ctl ARGS`, optionally under a wrapper (setpriv ...).
    Result ctl(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {}) const {
        std::vector<std::string> words = wrapper;
        words.push_back(executable());
        words.push_back("ctl");
        words.insert(words.end(), args.begin(), args.end());
        const std::string program = words.front();
        words.erase(words.begin());
        ChildProcess child(program, words, "/");
        const int status = child.wait(60000);
        Result result;
        result.output = child.output();
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    std::string logDirectory() const { return logDir_.empty() ? dir.file("logs") : logDir_; }
    void setLogDirectory(const std::string& path) { logDir_ = path; }
    std::string log() const {
        std::string text;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(logDirectory(), error))
            if (entry.path().extension() == ".log") text += readFile(entry.path());
        return text;
    }

    // The processes of this installation's test server program.
    std::vector<int> serverPids() const {
        std::vector<int> pids;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code ignored;
            const auto target = std::filesystem::read_symlink(entry.path() / "exe", ignored);
            if (!ignored && target == std::filesystem::path(server_) && processAlive(std::stoi(name)))
                pids.push_back(std::stoi(name));
        }
        return pids;
    }

    TempDir dir;
    std::unique_ptr<ChildProcess> process;

private:
    std::string name_;
    std::string server_;
    std::string logDir_;
};

// How the tests run a command as the user nobody; with `overrideFiles` it
// also keeps the right to pass file permissions, so that only the
// supervisor's own check of the peer can refuse it.
inline std::vector<std::string> asNobody(bool overrideFiles) {
    std::vector<std::string> words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (overrideFiles) {
        words.push_back("--inh-caps=+dac_override");
        words.push_back("--ambient-caps=+dac_override");
    }
    return words;
}
