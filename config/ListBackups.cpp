#include "config/ListBackups.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <system_error>

#include <fmt/format.h>

#include "config/ServerListText.h"
#include "platform/FileStore.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"

namespace {

using Clock = std::chrono::system_clock;
constexpr const char* kSuffix = ".json";

bool stringMember(const rapidjson::Value& object, const char* key) {
    const auto member = object.FindMember(key);
    return member != object.MemberEnd() && member->value.IsString();
}

}  // namespace

ListBackups::ListBackups(std::string listPath, int kept)
    : listPath_(std::move(listPath)), kept_(std::clamp(kept, 0, kMostKept)) {}

std::string ListBackups::nameAt(Clock::time_point made) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(made);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    return fmt::format("{:04}{:02}{:02}-{:02}{:02}{:02}.{:03}{}", static_cast<int>(date.year()),
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), time.hours().count(),
                       time.minutes().count(), time.seconds().count(), time.subseconds().count(), kSuffix);
}

bool ListBackups::madeAt(const std::string& fileName, Clock::time_point& made) {
    using namespace std::chrono;
    // YYYYMMDD-HHMMSS.mmm.json, digits where the digits go.
    static const std::string shape = "00000000-000000.000";
    if (fileName.size() != shape.size() + std::char_traits<char>::length(kSuffix) ||
        fileName.compare(shape.size(), std::string::npos, kSuffix) != 0)
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = fileName[i] >= '0' && fileName[i] <= '9';
        if (shape[i] == '0' ? !digit : fileName[i] != shape[i]) return false;
    }
    const auto number = [&](std::size_t at, std::size_t length) { return std::stoi(fileName.substr(at, length)); };
    const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(4, 2))},
                              day{static_cast<unsigned>(number(6, 2))}};
    const int h = number(9, 2), m = number(11, 2), s = number(13, 2);
    if (!date.ok() || h > 23 || m > 59 || s > 59) return false;
    made = sys_days{date} + hours{h} + minutes{m} + seconds{s} + milliseconds{number(16, 3)};
    return true;
}

std::string ListBackups::localTimeText(Clock::time_point made) {
    std::tm local{};
    if (!platform::localTime(static_cast<std::int64_t>(Clock::to_time_t(made)), local)) return "?";
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

int ListBackups::serverCount(const std::string& bytes) {
    const platform::FileTextEncoding encoding = platform::fileTextEncoding(bytes);
    ServerListText list;
    std::string error;
    if (!list.parse(bytes.substr(platform::byteOrderMarkSize(encoding)), error)) return -1;
    int servers = 0;
    for (const rapidjson::Value& element : list.document().GetArray())
        if (element.IsObject() && stringMember(element, "name") && stringMember(element, "processname") &&
            stringMember(element, "commandline"))
            ++servers;
    return servers;
}

std::vector<ListBackups::Generation> ListBackups::generations() const {
    std::vector<Generation> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(platform::filePath(directory()), error)) {
        Generation generation;
        const std::string name = platform::pathText(entry.path().filename());
        if (!entry.is_regular_file(error) || !madeAt(name, generation.made)) continue;
        generation.path = platform::pathText(entry.path());
        found.push_back(std::move(generation));
    }
    std::sort(found.begin(), found.end(), [](const Generation& a, const Generation& b) { return a.made > b.made; });
    for (std::size_t i = 0; i < found.size(); ++i) {
        found[i].number = static_cast<int>(i + 1);
        std::string bytes;
        if (platform::readWholeFile(found[i].path, bytes) == platform::FileRead::ok)
            found[i].servers = serverCount(bytes);
    }
    return found;
}

bool ListBackups::write(const std::string& name, std::string_view bytes, bool shared, std::string& error) const {
    const std::string path = directory() + "/" + name;
    std::string reason;
    if (!platform::replaceWholeFile(
            path, bytes, shared ? platform::NewFileAccess::shared : platform::NewFileAccess::ownerOnly, reason)) {
        error = path + " could not be written" + (reason.empty() ? "" : " (" + reason + ")");
        return false;
    }
    if (!shared) platform::restrictToOwner(path);
    return true;
}

bool ListBackups::adoptSingleCopy(bool shared, std::string& error) const {
    const std::filesystem::path at = platform::filePath(directory());
    std::string bytes;
    if (platform::readWholeFile(directory(), bytes) != platform::FileRead::ok) {
        error = directory() + " could not be read";
        return false;
    }
    std::error_code failed;
    const auto written = std::filesystem::last_write_time(at, failed);
    const Clock::time_point made =
        failed ? Clock::now() : std::chrono::time_point_cast<Clock::duration>(std::chrono::file_clock::to_sys(written));
    // Out of the way under another name first: the copy is not lost if the
    // directory cannot be made.
    const std::string aside = directory() + ".old";
    std::filesystem::rename(at, platform::filePath(aside), failed);
    if (failed || !std::filesystem::create_directory(at, failed)) {
        if (!failed) failed = std::make_error_code(std::errc::file_exists);
        std::error_code ignored;
        std::filesystem::rename(platform::filePath(aside), at, ignored);
        error = directory() + " could not be made a directory (" + failed.message() + ")";
        return false;
    }
    if (!write(nameAt(made), bytes, shared, error)) return false;
    std::filesystem::remove(platform::filePath(aside), failed);
    return true;
}

bool ListBackups::keep(std::string_view bytes, bool shared, std::string& error) const {
    const std::filesystem::path at = platform::filePath(directory());
    std::error_code failed;
    const auto status = std::filesystem::symlink_status(at, failed);
    if (std::filesystem::is_regular_file(status)) {
        if (!adoptSingleCopy(shared, error)) return false;
    } else if (!std::filesystem::exists(status)) {
        if (!std::filesystem::create_directory(at, failed)) {
            error = directory() + " could not be made" + (failed ? " (" + failed.message() + ")" : "");
            return false;
        }
    } else if (!std::filesystem::is_directory(std::filesystem::status(at, failed))) {
        error = directory() + " is in the way: it is neither a directory nor a list's copy";
        return false;
    }
    if (!shared) std::filesystem::permissions(at, std::filesystem::perms::owner_all, failed);
    if (kept_ == 0) {
        prune();
        return true;
    }
    // Later than every generation there is, even after the clock went back,
    // and never the name of one.
    Clock::time_point made = Clock::now();
    const std::vector<Generation> before = generations();
    if (!before.empty() && before.front().made >= made) made = before.front().made + std::chrono::milliseconds(1);
    while (std::filesystem::exists(platform::filePath(directory() + "/" + nameAt(made)), failed))
        made += std::chrono::milliseconds(1);
    if (!write(nameAt(made), bytes, shared, error)) return false;
    prune();
    return true;
}

void ListBackups::prune() const {
    const std::vector<Generation> all = generations();
    std::error_code ignored;
    for (std::size_t i = static_cast<std::size_t>(kept_); i < all.size(); ++i)
        std::filesystem::remove(platform::filePath(all[i].path), ignored);
}
