#include "app/core/CommandLine.h"

#include <cstring>

#include "app/core/CtlVerbs.h"

CommandLine CommandLine::parse(int argc, char** argv, bool daemon) {
    return parse(std::vector<std::string>(argv, argv + argc), daemon);
}

CommandLine CommandLine::parse(const std::vector<std::string>& argv, bool daemon) {
    const int argc = static_cast<int>(argv.size());
    CommandLine line;
    line.mode = daemon ? Mode::Headless : Mode::Window;
    if (argc > 0) line.toolkitArgs.push_back(argv[0]);
    bool modeGiven = false;
    auto setMode = [&](Mode mode, const std::string& word) {
        if (modeGiven && line.mode != mode) {
            line.error = "\"" + word + "\" cannot be combined with the mode given before it";
            return false;
        }
        modeGiven = true;
        line.mode = mode;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "ctl") {
            // Everything after it is the command's; the directories do not
            // matter to it.
            if (!setMode(Mode::Ctl, word)) break;
            for (int j = i + 1; j < argc; ++j) line.ctlArgs.emplace_back(argv[j]);
            return line;
        }
        bool directory = false;
        std::string* target = nullptr;
        std::string option;
        for (const char* name : {"--config-dir", "--log-dir"}) {
            const std::string prefix = std::string(name) + "=";
            if (word == name || word.compare(0, prefix.size(), prefix) == 0) {
                directory = true;
                option = name;
                target = option == "--config-dir" ? &line.configDir : &line.logDir;
            }
        }
        if (directory) {
            std::string value;
            if (word.size() > option.size()) {
                value = word.substr(option.size() + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            if (value.empty()) {
                line.error = option + " needs a directory";
                break;
            }
            *target = value;
            continue;
        }
        if (daemon && word == "service" && !modeGiven) {
            if (!setMode(Mode::Service, word)) break;
            if (i + 1 < argc) line.serviceAction = argv[++i];
            if (line.serviceAction != "install" && line.serviceAction != "uninstall" &&
                line.serviceAction != "start" && line.serviceAction != "stop") {
                line.error = "service needs install, uninstall, start or stop";
                break;
            }
        } else if (daemon && word == "--service") {
            if (!setMode(Mode::RunService, word)) break;
        } else if (word == "--headless") {
            if (!setMode(Mode::Headless, word)) break;
        } else if (word == "--test-mail") {
            if (!setMode(Mode::TestMail, word)) break;
        } else if (word == "--test-alert") {
            if (!setMode(Mode::TestAlert, word)) break;
            // The channel's name, when one follows.
            if (i + 1 < argc && argv[i + 1][0] != '-') line.alertChannel = argv[++i];
        } else if (word == "--verbose") {
            line.verbose = true;
        } else if (word == "--help" || word == "-h") {
            if (!setMode(Mode::Help, word)) break;
        } else if (word == "--version") {
            if (!setMode(Mode::Version, word)) break;
        } else if (daemon) {
            line.error = "unknown argument \"" + word + "\"";
            break;
        } else {
            // The window's toolkit has options of its own (--display ...).
            line.toolkitArgs.push_back(word);
        }
    }
    if (line.error.empty() && line.verbose && line.mode != Mode::TestMail && line.mode != Mode::TestAlert)
        line.error = "--verbose goes with --test-mail or --test-alert only";
    if (!line.error.empty()) line.mode = Mode::Usage;
    return line;
}

std::string CommandLine::usage(const std::string& program, bool daemon) {
    const std::string p = program;
    std::string text = "usage: ";
    if (daemon) {
        text += p + " [--config-dir DIR] [--log-dir DIR]   supervise without a window (SIGINT or SIGTERM ends it,\n"
                "                             SIGHUP reloads serverinfo.json and procward.ini)\n";
    } else {
        text += p + " [--config-dir DIR] [--log-dir DIR]   run the supervisor in its window\n";
        text += "       " + p + " --headless [--config-dir DIR] [--log-dir DIR]   run it without a window\n";
    }
    text += "       " + p + " --test-mail [--verbose] [--config-dir DIR]   send a test mail with the settings of\n"
            "                             procward.ini; --verbose prints the SMTP conversation\n";
    text += "       " + p + " --test-alert [CHANNEL] [--verbose] [--config-dir DIR]   send a test alert through\n"
            "                             every alert channel (or the one named: mail or a webhook's name)\n"
            "                             and print each outcome; --verbose prints the exchanges\n";
    // Every ctl command, from the table ctl itself is driven by.
    for (const CtlVerb& verb : CtlVerbs())
        text += "       " + p + " ctl " + verb.usage + "\n                             " + verb.help + "\n";
    if (daemon) {
        text += "       " + p + " service install [--config-dir DIR] [--log-dir DIR]   register Procward as a Windows\n"
                "                             service (automatic start; files in %ProgramData%\\Procward by default)\n";
        text += "       " + p + " service uninstall|start|stop   remove, start or stop that service\n";
    }
    text += "       " + p + " --version   print the version\n";
    text += "       " + p + " --help   print this text\n";
    text += "ctl takes --timeout SECONDS (default 10) before the command; -- ends the options\n";
    text += "--config-dir DIR: serverinfo.json and procward.ini (default: the executable's directory)\n";
    text += "--log-dir DIR: the daily logs (default: logs/ in the configuration directory)\n";
    return text;
}
