#include "supervision/ProcessDiscovery.h"

#include <filesystem>

#include "platform/LaunchTarget.h"
#include "platform/SmallFile.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "supervision/MachineLook.h"

#include <algorithm>

namespace {

const std::string kDefaultServerArgument = "/ServerID 11";

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of(platform::pathSeparator());
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) text += ' ';
        text += words[i];
    }
    return text;
}

bool isDefaultServerArgument(const std::vector<std::string>& words) { return joined(words) == kDefaultServerArgument; }

bool sameWords(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!platform::equalsNoCase(a[i], b[i])) return false;
    return true;
}

bool hasFileName(const MatchKeys& keys, const std::string& fileName) {
    for (const std::string& name : keys.fileNames)
        if (platform::equalsNoCase(name, fileName)) return true;
    return false;
}

bool isProgram(const MatchKeys& keys, const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
        for (const std::string& program : keys.programPaths)
            if (platform::equalsNoCase(path, program)) return true;
    return false;
}

// The interpreter a script names in its first line ("#!/usr/bin/python3",
// "#!/usr/bin/env python3"): its path (or, through env, its name); empty
// for a file that is no script.
std::string shebangInterpreter(const std::string& path) {
    // The kernel reads no more of a script's first line either; the file is
    // read without waiting, so a FIFO or a device in its place holds nothing up.
    constexpr std::size_t kShebangLimit = 256;
    std::string head;
    if (platform::readFileHead(path, kShebangLimit, head) != platform::SmallFileRead::ok || head.size() < 2 ||
        head[0] != '#' || head[1] != '!')
        return {};
    std::string line = head.substr(2, head.find('\n') == std::string::npos ? std::string::npos : head.find('\n') - 2);
    std::vector<std::string> words;
    std::string word;
    for (char c : line + " ") {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (words.empty()) return {};
    // "env" runs the program it is given; its options (-S) come first.
    if (baseName(words[0]) == "env")
        for (std::size_t i = 1; i < words.size(); ++i)
            if (words[i][0] != '-') return words[i];
    return words[0];
}

// The names an interpreter's process may carry: as written, and the file
// a link of that name leads to (python3 -> python3.11).
void addInterpreterNames(const std::string& interpreter, std::vector<std::string>& names) {
    auto add = [&names](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    add(baseName(interpreter));
    std::error_code error;
    std::filesystem::path path = interpreter;
    if (!path.is_absolute())
        for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"})
            if (std::filesystem::exists(std::filesystem::path(dir) / interpreter, error)) {
                path = std::filesystem::path(dir) / interpreter;
                break;
            }
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    if (!error) add(resolved.filename().string());
}

// Where the script of an interpreter's argument words is, and what follows
// it: options before it are the interpreter's own; "-jar" names a jar.
bool splitScript(const std::vector<std::string>& words, std::size_t& script) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "-jar" && i + 1 < words.size()) {
            script = i + 1;
            return true;
        }
        if (words[i].empty() || words[i][0] != '-') {
            script = i;
            return true;
        }
        // Options of the interpreter that take a value of their own.
        if ((words[i] == "-m" || words[i] == "-c" || words[i] == "-e")) return false;
        if (words[i] == "-cp" || words[i] == "-classpath" || words[i] == "-X" || words[i] == "-W") ++i;
    }
    return false;
}

bool sameScript(const std::vector<std::string>& paths, const std::string& candidate) {
    std::error_code error;
    const std::string resolved = std::filesystem::weakly_canonical(candidate, error).string();
    for (const std::string& path : paths)
        if (path == candidate || (!error && path == resolved)) return true;
    return false;
}

}  // namespace

bool isInterpreterName(const std::string& fileName) {
    static const char* const exact[] = {"sh",     "bash", "dash", "zsh",  "ksh", "perl", "node",
                                        "nodejs", "ruby", "php",  "java", "lua", "tclsh"};
    for (const char* name : exact)
        if (fileName == name) return true;
    // Versioned names: python3, python3.11, perl5.36, php8.2, ruby3.1.
    for (const char* stem : {"python", "perl", "php", "ruby", "lua"}) {
        const std::string prefix = stem;
        if (fileName.rfind(prefix, 0) == 0 && fileName.size() > prefix.size() &&
            fileName.find_first_not_of("0123456789.", prefix.size()) == std::string::npos)
            return true;
    }
    return fileName == "python";
}

bool formMatchKeys(const std::string& processname, const std::string& commandline, MatchKeys& keys) {
    keys = MatchKeys{};
    const std::string& suffix = platform::executableSuffix();
    keys.exeName = processname;
    if (!suffix.empty()) {
        const auto at = keys.exeName.find(suffix);
        if (at == std::string::npos || at + suffix.size() != keys.exeName.size()) keys.exeName += suffix;
    }
    if (keys.exeName.empty() || commandline.find(keys.exeName) == std::string::npos) return false;
    platform::LaunchTarget target;
    if (!platform::readLaunchTarget(commandline, keys.exeName, target) || target.programPaths.empty()) return false;
    keys.programPaths = std::move(target.programPaths);
    keys.arguments = std::move(target.arguments);
    keys.fileNames.push_back(keys.exeName);
    // A server configured by a link is known by the link's name; its
    // process by the name of the file the link leads to.
    if (platform::equalsNoCase(baseName(keys.programPaths.front()), keys.exeName))
        for (std::size_t i = 1; i < keys.programPaths.size(); ++i) {
            const std::string name = baseName(keys.programPaths[i]);
            if (!hasFileName(keys, name)) keys.fileNames.push_back(name);
        }
    // A script its interpreter runs: the process is the interpreter's.
    std::string interpreter;
    for (const std::string& path : keys.programPaths)
        if (interpreter.empty()) interpreter = shebangInterpreter(path);
    if (!interpreter.empty()) {
        keys.scriptPaths = keys.programPaths;
        keys.scriptArguments = keys.arguments;
        addInterpreterNames(interpreter, keys.interpreterNames);
    } else if (isInterpreterName(baseName(keys.programPaths.back())) || isInterpreterName(keys.exeName)) {
        // The interpreter itself is configured: its script or jar counts.
        std::size_t script = 0;
        if (splitScript(keys.arguments, script)) {
            keys.scriptPaths.push_back(keys.arguments[script]);
            std::error_code error;
            const std::string resolved = std::filesystem::weakly_canonical(keys.arguments[script], error).string();
            if (!error && resolved != keys.arguments[script]) keys.scriptPaths.push_back(resolved);
            keys.scriptArguments.assign(keys.arguments.begin() + static_cast<std::ptrdiff_t>(script) + 1,
                                        keys.arguments.end());
            keys.interpreterNames = keys.fileNames;
        }
    }
    for (const std::string& name : keys.interpreterNames)
        if (!hasFileName(keys, name)) keys.fileNames.push_back(name);
    return true;
}

namespace {

// A process of the interpreter running the server's script with its arguments.
bool runsScript(platform::ProcessTable& table, const platform::ProcessEntry& entry, const MatchKeys& keys) {
    bool interpreter = false;
    for (const std::string& name : keys.interpreterNames)
        interpreter = interpreter || platform::equalsNoCase(name, entry.exeFile);
    if (!interpreter) return false;
    std::vector<std::string> words;
    std::size_t script = 0;
    if (!table.argumentWords(entry.pid, words) || !splitScript(words, script)) return false;
    if (!sameScript(keys.scriptPaths, words[script])) return false;
    const std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(script) + 1, words.end());
    return sameWords(keys.scriptArguments, rest);
}

}  // namespace

bool processMatches(platform::ProcessTable& table, const platform::ProcessEntry& entry, const MatchKeys& keys) {
    if (!hasFileName(keys, entry.exeFile)) return false;
    if (!keys.scriptPaths.empty() && runsScript(table, entry, keys)) return true;
    std::vector<std::string> paths;
    if (!entry.exePath.empty())
        paths.push_back(entry.exePath);
    else if (!table.executablePaths(entry.pid, paths))
        return false;
    if (!isProgram(keys, paths)) return false;
    // Arguments that cannot be read compare as none.
    std::vector<std::string> arguments;
    if (!table.argumentWords(entry.pid, arguments)) arguments.clear();
    if ((keys.arguments.empty() && isDefaultServerArgument(arguments)) ||
        (arguments.empty() && isDefaultServerArgument(keys.arguments)))
        return true;
    return sameWords(keys.arguments, arguments);
}

bool runsServerProgram(platform::ProcessTable& table, int pid, const MatchKeys& keys) {
    std::vector<std::string> paths;
    if (!table.executablePaths(pid, paths)) return false;
    if (isProgram(keys, paths)) return true;
    // A script's process is its interpreter, whichever file that is.
    if (keys.scriptPaths.empty()) return false;
    for (const std::string& path : paths) {
        const std::string name = baseName(path);
        if (hasFileName(keys, name)) return true;
        for (const std::string& interpreter : keys.interpreterNames)
            if (platform::equalsNoCase(interpreter, name)) return true;
    }
    return false;
}

std::int32_t findServerProcess(MachineLook& look, const MatchKeys& keys) {
    for (const platform::ProcessEntry* entry : look.candidates(keys.fileNames))
        if (processMatches(look.table(), *entry, keys)) return entry->pid;
    return 0;
}
