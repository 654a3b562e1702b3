#pragma once
#include <string>
#include <vector>

// What the command line of procward or procwardd asks for.
class CommandLine {
public:
    enum class Mode {
        Window,    // procward without a mode: the window
        Headless,  // procwardd, procward --headless
        TestMail,  // --test-mail
        TestAlert, // --test-alert [CHANNEL]
        Ctl,       // ctl ...: a command to the running supervisor
        Service,   // service install|uninstall|start|stop (procwardd): the system's service
        RunService,  // --service (procwardd): run as that service, as its manager starts it
        Help,      // --help, -h
        Version,   // --version
        Usage,     // not understood: `error` says why
    };

    // `daemon`: the command line of procwardd, which has no window (no
    // mode means headless there) and hands nothing on to a toolkit.
    // `words`: the program's words, argv[0] first.
    static CommandLine parse(const std::vector<std::string>& words, bool daemon);
    static CommandLine parse(int argc, char** argv, bool daemon);

    Mode mode = Mode::Window;
    std::string configDir;              // --config-dir DIR, empty when not given
    std::string logDir;                 // --log-dir DIR, empty when not given
    bool verbose = false;               // --verbose (with --test-mail, --test-alert): print the exchange
    std::string alertChannel;           // --test-alert CHANNEL; empty: every channel
    std::vector<std::string> ctlArgs;   // the words after "ctl"
    std::string serviceAction;          // install, uninstall, start or stop
    std::vector<std::string> toolkitArgs;  // the program name and what the window's toolkit may read
    std::string error;

    // The usage text of the program named `program`.
    static std::string usage(const std::string& program, bool daemon);
};
