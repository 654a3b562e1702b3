#include "config/ServerList.h"

#include <cerrno>
#include <cstring>

#include "config/ServerListText.h"
#include "config/ServerOptionsReader.h"
#include "log/AppLogger.h"
#include "platform/FileStore.h"

const char* const ServerList::kFileName = "serverinfo.json";

namespace {

// The value of a string member, false when the member is missing or not a
// string. With duplicate keys the first one counts.
bool stringMember(const rapidjson::Value& object, const char* key, std::string& value) {
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsString()) return false;
    value.assign(member->value.GetString(), member->value.GetStringLength());
    return true;
}

// The valid entries of a list, with a warning for each element skipped and
// each option ignored.
std::vector<ServerEntry> entriesOf(const rapidjson::Value& list, const std::string& path,
                                   std::vector<std::string>& warnings) {
    std::vector<ServerEntry> entries;
    for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        const rapidjson::Value& element = list[i];
        std::string label = path + ": entry " + std::to_string(i + 1);
        if (!element.IsObject()) {
            warnings.push_back(label + " skipped: not an object");
            continue;
        }
        std::string name, processname, commandline;
        const bool named = stringMember(element, "name", name);
        if (named) label += " (\"" + name + "\")";
        const char* missing = !named                                         ? "name"
                              : !stringMember(element, "processname", processname) ? "processname"
                              : !stringMember(element, "commandline", commandline) ? "commandline"
                                                                                   : nullptr;
        if (missing) {
            warnings.push_back(label + " skipped: \"" + missing + "\" is missing or not a string");
            continue;
        }
        ServerOptions options = ReadServerOptions(element, label, warnings);
        entries.emplace_back(static_cast<std::int32_t>(i + 1), std::move(name), std::move(processname),
                             std::move(commandline), std::move(options));
    }
    return entries;
}

// Whether the list still holds the entry as the caller read it.
bool holds(const rapidjson::Value& list, const ServerEntry& seen) {
    if (seen.index < 1 || static_cast<rapidjson::SizeType>(seen.index) > list.Size()) return false;
    const rapidjson::Value& element = list[static_cast<rapidjson::SizeType>(seen.index - 1)];
    std::string name, processname, commandline;
    return element.IsObject() && stringMember(element, "name", name) &&
           stringMember(element, "processname", processname) && stringMember(element, "commandline", commandline) &&
           name == seen.name && processname == seen.processname && commandline == seen.commandline;
}

bool sameEntries(const std::vector<ServerEntry>& a, const std::vector<ServerEntry>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].index != b[i].index || a[i].name != b[i].name || a[i].processname != b[i].processname ||
            a[i].commandline != b[i].commandline)
            return false;
    return true;
}

// " (reason)" from errno, when the failed call left one.
std::string systemReason() {
    return errno == 0 ? std::string() : " (" + std::string(std::strerror(errno)) + ")";
}

}  // namespace

ListResult ServerList::failed(const std::string& error) const {
    AppLogger::Instance().get().error("Saving serverinfo.json error! {}", error);
    ListResult result;
    result.ok = false;
    result.error = error;
    return result;
}

std::string ServerList::changedError() const { return m_path + " has changed since it was read; reload it first"; }

ListResult ServerList::load() {
    m_entries.clear();
    ListResult result;
    auto& log = AppLogger::Instance().get();

    std::string bytes;
    const platform::FileRead read = platform::readWholeFile(m_path, bytes);
    if (read != platform::FileRead::ok) {
        log.error("Failed to open serverinfo.json.");
        result.ok = false;
        result.missing = read == platform::FileRead::missing;
        result.error = "Failed to open " + m_path + ".";
        return result;
    }

    ServerListText list;
    std::string error;
    if (!list.parse(std::move(bytes), error)) {
        result.ok = false;
        result.error = m_path + ": " + error;
        log.error("Parsing serverinfo.json error! {}", result.error);
        return result;
    }
    m_entries = entriesOf(list.document(), m_path, result.warnings);
    for (const std::string& warning : result.warnings) log.warn("{}", warning);
    return result;
}

bool ServerList::current(ServerListText& list, bool& missing, std::string& error) const {
    std::string bytes;
    const platform::FileRead read = platform::readWholeFile(m_path, bytes);
    missing = read == platform::FileRead::missing;
    if (read != platform::FileRead::ok) {
        error = "Failed to open " + m_path + ".";
        return false;
    }
    if (!list.parse(std::move(bytes), error)) {
        error = m_path + ": " + error;
        return false;
    }
    return true;
}

ListResult ServerList::write(const std::string* previous, const std::string& bytes) const {
    if (previous && *previous == bytes) return {};
    // What is written must read back as a list: a fault here must not cost
    // the operator the file.
    ServerListText check;
    std::string error;
    if (!check.parse(bytes, error))
        return failed(m_path + " was left as it was: the changed list would not read back (" + error + ")");

    // Whoever may read the list may read its copy, and nobody else: the
    // entries' variables may hold secrets.
    const bool shared = platform::readableByOthers(m_path);
    if (previous) {
        errno = 0;
        if (!platform::replaceWholeFile(backupPath(), *previous,
                                        shared ? platform::NewFileAccess::shared : platform::NewFileAccess::ownerOnly))
            return failed(backupPath() + " could not be written" + systemReason() + "; " + m_path +
                          " was left as it was");
        if (!shared) platform::restrictToOwner(backupPath());
    }
    errno = 0;
    if (!platform::replaceWholeFile(m_path, bytes, platform::NewFileAccess::shared))
        return failed(m_path + " could not be written" + systemReason() + "; it was left as it was");
    return {};
}

ListResult ServerList::add(const std::string& name, const std::string& processname, const std::string& commandline) {
    const ServerListText::Members members = {{"name", ServerListText::jsonString(name)},
                                             {"processname", ServerListText::jsonString(processname)},
                                             {"commandline", ServerListText::jsonString(commandline)}};
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(list, missing, error)) return missing ? write(nullptr, ServerListText::newList(members)) : failed(error);
    return write(&list.text(), list.withElementAppended(members));
}

ListResult ServerList::replace(const ServerEntry& seen, const std::string& name, const std::string& processname,
                               const std::string& commandline, const std::optional<HealthCheckEdit>& health) {
    if (health) {
        if (std::string why = healthRefusal(seen, *health); !why.empty()) return failed(why);
    }
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), seen)) return failed(changedError());
    const auto element = static_cast<std::size_t>(seen.index - 1);
    std::string bytes =
        list.withStringsReplaced(element, {{"name", name}, {"processname", processname}, {"commandline", commandline}});
    if (health) {
        // The rule is set on the renamed text; the element stays where it was.
        ServerListText renamed;
        if (!renamed.parse(bytes, error)) return failed(m_path + ": " + error);
        bytes = renamed.withHealthCheck(element, *health);
    }
    return write(&list.text(), bytes);
}

ListResult ServerList::remove(const ServerEntry& seen) {
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), seen)) return failed(changedError());
    return write(&list.text(), list.withElementRemoved(static_cast<std::size_t>(seen.index - 1)));
}

ListResult ServerList::removeAll(const std::vector<ServerEntry>& seen) {
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(list, missing, error)) return failed(missing ? changedError() : error);
    std::vector<std::string> ignored;
    if (!sameEntries(entriesOf(list.document(), m_path, ignored), seen)) return failed(changedError());
    return write(&list.text(), list.withoutElements());
}

std::string ServerList::healthRefusal(const ServerEntry& seen, const HealthCheckEdit& edit) {
    const std::string what = "health check of entry " + std::to_string(seen.index) + ": ";
    if (edit.probe == HealthProbe::none) return {};
    HealthRule rule;
    const std::string why = SetHealthTarget(rule, edit.probe, edit.target);
    if (!why.empty()) return what + (edit.probe == HealthProbe::tcp ? "\"tcp\" " : "\"http\" ") + why;
    if (edit.interval.count() < 1 || edit.interval > std::chrono::hours(24))
        return what + "\"interval\" must be above 0 and at most 86400 seconds";
    if (edit.failures < 1 || edit.failures > 1000000)
        return what + "\"failures\" must be a whole number from 1 to 1000000";
    return {};
}

ListResult ServerList::setHealthCheck(const ServerEntry& seen, const HealthCheckEdit& edit) {
    if (std::string why = healthRefusal(seen, edit); !why.empty()) return failed(why);
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), seen)) return failed(changedError());
    return write(&list.text(), list.withHealthCheck(static_cast<std::size_t>(seen.index - 1), edit));
}
