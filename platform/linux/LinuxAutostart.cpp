#include "platform/linux/LinuxAutostart.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

// mkdir -p; false with errno set when a part cannot be made.
bool makeDirectories(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectories(path.substr(0, slash))) return false;
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    return false;
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) return user->pw_dir;
    return {};
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string LinuxAutostart::directory() {
    // Relative values are invalid and are ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base = config && config[0] == '/' ? std::string(config) : homeDirectory() + "/.config";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/autostart";
}

std::string LinuxAutostart::execValue(const std::string& program) {
    // Quoting of the Exec key: an argument with a reserved character goes in
    // double quotes, inside which ", `, $ and \ take a backslash.
    static const char* const reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string argument;
    if (program.find_first_of(reserved) == std::string::npos) {
        argument = program;
    } else {
        argument = "\"";
        for (char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
            argument += c;
        }
        argument += '"';
    }
    // Then the escapes of every string value, and "%%" for a literal "%"
    // (a single one would start a field code).
    std::string value;
    for (char c : argument) {
        switch (c) {
            case '\\': value += "\\\\"; break;
            case '\n': value += "\\n"; break;
            case '\t': value += "\\t"; break;
            case '\r': value += "\\r"; break;
            case '%': value += "%%"; break;
            default: value += c;
        }
    }
    return value;
}

std::string LinuxAutostart::entryText(const std::string& name, const std::string& executable,
                                      const std::vector<std::string>& arguments) {
    std::string exec = execValue(executable);
    for (const std::string& argument : arguments) exec += " " + execValue(argument);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" + name + "\n"
           "Exec=" + exec + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

AutostartResult LinuxAutostart::registerEntry(const std::string& name, const std::string& executable,
                                              const std::vector<std::string>& arguments, std::string& where,
                                              int& error) {
    const std::string dir = directory();
    where = dir + "/" + name + ".desktop";
    error = 0;
    if (!makeDirectories(dir)) {
        error = errno;
        return AutostartResult::CannotOpen;
    }
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = errno;
        return AutostartResult::CannotOpen;
    }

    std::string temporary = where + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    bool written = fd >= 0;
    if (written) {
        written = ::fchmod(fd, 0644) == 0 && writeAll(fd, entryText(name, executable, arguments)) && ::fsync(fd) == 0;
        if (!written) error = errno;
        if (::close(fd) != 0 && written) {
            error = errno;
            written = false;
        }
        if (written && ::rename(temporary.c_str(), where.c_str()) != 0) {
            error = errno;
            written = false;
        }
        if (!written) ::unlink(temporary.c_str());
    } else {
        error = errno;
    }
    // The rename is durable once the directory is.
    if (written) ::fsync(dirFd);
    ::close(dirFd);
    return written ? AutostartResult::Written : AutostartResult::WriteFailed;
}

Autostart& defaultAutostart() {
    static LinuxAutostart autostart;
    return autostart;
}

const AutostartWording& autostartWording() {
    static const AutostartWording wording{"procward", "autostart entry",
                                          "Parameter error, setting auto-run entry failed."};
    return wording;
}

}  // namespace platform
