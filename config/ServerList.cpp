#include "config/ServerList.h"

#include <cerrno>
#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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
        const char* missing = !named                                               ? "name"
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

// Whether the list (its text as the file stores it) still holds the entry
// as the caller read it (in the program's text).
bool holds(const rapidjson::Value& list, platform::FileTextEncoding encoding, const ServerEntry& seen) {
    if (seen.index < 1 || static_cast<rapidjson::SizeType>(seen.index) > list.Size()) return false;
    const rapidjson::Value& element = list[static_cast<rapidjson::SizeType>(seen.index - 1)];
    std::string name, processname, commandline;
    return element.IsObject() && stringMember(element, "name", name) &&
           stringMember(element, "processname", processname) && stringMember(element, "commandline", commandline) &&
           platform::fromFileText(name, encoding) == seen.name &&
           platform::fromFileText(processname, encoding) == seen.processname &&
           platform::fromFileText(commandline, encoding) == seen.commandline;
}

bool sameEntries(const std::vector<ServerEntry>& stored, platform::FileTextEncoding encoding,
                 const std::vector<ServerEntry>& seen) {
    if (stored.size() != seen.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i)
        if (stored[i].index != seen[i].index || platform::fromFileText(stored[i].name, encoding) != seen[i].name ||
            platform::fromFileText(stored[i].processname, encoding) != seen[i].processname ||
            platform::fromFileText(stored[i].commandline, encoding) != seen[i].commandline)
            return false;
    return true;
}

// " (reason)" from errno, when the failed call left one.
std::string systemReason() { return errno == 0 ? std::string() : " (" + std::string(std::strerror(errno)) + ")"; }

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

    FileBytes file;
    const platform::FileRead read = platform::readWholeFile(m_path, file.bytes);
    if (read != platform::FileRead::ok) {
        log.error("Failed to open serverinfo.json.");
        result.ok = false;
        result.missing = read == platform::FileRead::missing;
        result.error = "Failed to open " + m_path + ".";
        return result;
    }
    file.encoding = platform::fileTextEncoding(file.bytes);

    ServerListText list;
    std::string error;
    if (!list.parse(platform::fromFileText(file.body(), file.encoding), error)) {
        result.ok = false;
        result.error = m_path + ": " + error;
        log.error("Parsing serverinfo.json error! {}", result.error);
        return result;
    }
    m_entries = entriesOf(list.document(), m_path, result.warnings);
    for (const std::string& warning : result.warnings) log.warn("{}", warning);
    return result;
}

bool ServerList::current(FileBytes& file, ServerListText& list, bool& missing, std::string& error) const {
    const platform::FileRead read = platform::readWholeFile(m_path, file.bytes);
    missing = read == platform::FileRead::missing;
    if (read != platform::FileRead::ok) {
        error = "Failed to open " + m_path + ".";
        return false;
    }
    file.encoding = platform::fileTextEncoding(file.bytes);
    if (!list.parse(file.body(), error)) {
        error = m_path + ": " + error;
        return false;
    }
    return true;
}

std::string ServerList::stored(const FileBytes& file, const std::string& text) {
    return platform::toFileText(text, file.encoding);
}

ListResult ServerList::write(const FileBytes* previous, const std::string& body) const {
    const std::string bytes =
        previous ? previous->bytes.substr(0, platform::byteOrderMarkSize(previous->encoding)) + body : body;
    if (previous && previous->bytes == bytes) return {};
    // What is written must read back as a list: a fault here must not cost
    // the operator the file.
    ServerListText check;
    std::string error;
    if (!check.parse(body, error))
        return failed(m_path + " was left as it was: the changed list would not read back (" + error + ")");
    return writeBytes(previous, bytes);
}

ListResult ServerList::writeBytes(const FileBytes* previous, const std::string& bytes) const {
    // Whoever may read the list may read its copies, and nobody else: the
    // entries' variables may hold secrets.
    const bool shared = platform::readableByOthers(m_path);
    if (previous) {
        std::string error;
        if (!backups().keep(previous->bytes, shared, error))
            return failed(error + "; " + m_path + " was left as it was");
    }
    errno = 0;
    if (!platform::replaceWholeFile(m_path, bytes, platform::NewFileAccess::shared))
        return failed(m_path + " could not be written" + systemReason() + "; it was left as it was");
    return {};
}

ListResult ServerList::restore(int number) {
    const std::vector<ListBackups::Generation> generations = backups().generations();
    if (number < 1 || static_cast<std::size_t>(number) > generations.size())
        return failed(generations.empty() ? "no copy of " + m_path + " is kept"
                                          : "no copy " + std::to_string(number) + " of " + m_path + " (there are " +
                                                std::to_string(generations.size()) + ")");
    const ListBackups::Generation& chosen = generations[static_cast<std::size_t>(number - 1)];
    std::string bytes;
    if (platform::readWholeFile(chosen.path, bytes) != platform::FileRead::ok)
        return failed(chosen.path + " could not be read");
    ServerListText check;
    std::string error;
    const platform::FileTextEncoding encoding = platform::fileTextEncoding(bytes);
    if (!check.parse(bytes.substr(platform::byteOrderMarkSize(encoding)), error))
        return failed(chosen.path + " is not a server list (" + error + "); " + m_path + " was left as it was");
    FileBytes file;
    const platform::FileRead read = platform::readWholeFile(m_path, file.bytes);
    if (read == platform::FileRead::failed) return failed("Failed to open " + m_path + ".");
    file.encoding = platform::fileTextEncoding(file.bytes);
    // The copy as it was written, byte for byte; the list it replaces is
    // kept too (unless it is the same).
    if (read == platform::FileRead::ok && file.bytes == bytes) return {};
    AppLogger::Instance().get().info("Restoring {} from {}", m_path, chosen.path);
    return writeBytes(read == platform::FileRead::ok ? &file : nullptr, bytes);
}

ListResult ServerList::add(const std::string& name, const std::string& processname, const std::string& commandline) {
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    const bool read = current(file, list, missing, error);
    if (!read && !missing) return failed(error);
    const ServerListText::Members members = {{"name", ServerListText::jsonString(stored(file, name))},
                                             {"processname", ServerListText::jsonString(stored(file, processname))},
                                             {"commandline", ServerListText::jsonString(stored(file, commandline))}};
    if (!read) return write(nullptr, ServerListText::newList(members));
    return write(&file, list.withElementAppended(members));
}

ListResult ServerList::replace(const ServerEntry& seen, const std::string& name, const std::string& processname,
                               const std::string& commandline, const std::optional<HealthCheckEdit>& health) {
    if (health) {
        if (std::string why = healthRefusal(seen, *health); !why.empty()) return failed(why);
    }
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(file, list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), file.encoding, seen)) return failed(changedError());
    const auto element = static_cast<std::size_t>(seen.index - 1);
    std::string body = list.withStringsReplaced(element, {{"name", stored(file, name)},
                                                          {"processname", stored(file, processname)},
                                                          {"commandline", stored(file, commandline)}});
    if (health) {
        // The rule is set on the renamed text; the element stays where it was.
        ServerListText renamed;
        if (!renamed.parse(body, error)) return failed(m_path + ": " + error);
        HealthCheckEdit edit = *health;
        edit.target = stored(file, edit.target);
        body = renamed.withHealthCheck(element, edit);
    }
    return write(&file, body);
}

ListResult ServerList::remove(const ServerEntry& seen) {
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(file, list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), file.encoding, seen)) return failed(changedError());
    return write(&file, list.withElementRemoved(static_cast<std::size_t>(seen.index - 1)));
}

ListResult ServerList::removeAll(const std::vector<ServerEntry>& seen) {
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(file, list, missing, error)) return failed(missing ? changedError() : error);
    std::vector<std::string> ignored;
    if (!sameEntries(entriesOf(list.document(), m_path, ignored), file.encoding, seen)) return failed(changedError());
    return write(&file, list.withoutElements());
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
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(file, list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), file.encoding, seen)) return failed(changedError());
    HealthCheckEdit stored = edit;
    stored.target = ServerList::stored(file, edit.target);
    return write(&file, list.withHealthCheck(static_cast<std::size_t>(seen.index - 1), stored));
}

std::string ServerList::entryRefusal(const rapidjson::Value& list, rapidjson::SizeType element,
                                     platform::FileTextEncoding encoding) const {
    const rapidjson::Value& entry = list[element];
    if (!entry.IsObject()) return "an entry must be a JSON object";
    std::string name, processname, commandline;
    for (const char* key : {"name", "processname", "commandline"}) {
        std::string value;
        if (!stringMember(entry, key, value) || value.empty())
            return std::string("\"") + key + "\" is missing, empty or not a string";
    }
    stringMember(entry, "name", name);
    std::vector<std::string> warnings;
    ReadServerOptions(entry, "entry \"" + platform::fromFileText(name, encoding) + "\"", warnings);
    if (!warnings.empty()) {
        // On reading, a bad key is ignored and the entry kept; here the
        // change is refused instead, so that part of the warning goes.
        std::string why = warnings.front();
        const std::string ignored = "; ignored";
        if (why.size() > ignored.size() && why.compare(why.size() - ignored.size(), ignored.size(), ignored) == 0)
            why.resize(why.size() - ignored.size());
        return why;
    }
    for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        std::string other;
        if (i != element && list[i].IsObject() && stringMember(list[i], "name", other) && other == name)
            return "the list already has an entry named \"" + platform::fromFileText(name, encoding) + "\"";
    }
    return {};
}

ListResult ServerList::addEntry(const std::string& objectJson) {
    rapidjson::Document entry;
    entry.Parse(objectJson.c_str(), objectJson.size());
    if (entry.HasParseError() || !entry.IsObject()) return failed("the entry is not a JSON object");
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    const bool read = current(file, list, missing, error);
    if (!read && !missing) return failed(error);
    // Each member as the entry gave it, written compactly in the file's
    // encoding; with duplicate keys the first one counts, as on reading.
    ServerListText::Members members;
    for (auto member = entry.MemberBegin(); member != entry.MemberEnd(); ++member) {
        const std::string key(member->name.GetString(), member->name.GetStringLength());
        if (!IsServerEntryKey(key)) return failed("unknown key \"" + key + "\"");
        bool seen = false;
        for (const auto& kept : members) seen = seen || kept.first == key;
        if (seen) continue;
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        member->value.Accept(writer);
        members.emplace_back(stored(file, key), stored(file, std::string(buffer.GetString(), buffer.GetSize())));
    }
    const std::string body = read ? list.withElementAppended(members) : ServerListText::newList(members);
    ServerListText changed;
    if (!changed.parse(body, error)) return failed(m_path + " was left as it was: " + error);
    const auto added = static_cast<rapidjson::SizeType>(changed.document().Size() - 1);
    if (std::string why = entryRefusal(changed.document(), added, file.encoding); !why.empty()) return failed(why);
    return write(read ? &file : nullptr, body);
}

ListResult ServerList::setMembers(const ServerEntry& seen,
                                  const std::vector<std::pair<std::string, std::string>>& values) {
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    if (!current(file, list, missing, error)) return failed(missing ? changedError() : error);
    if (!holds(list.document(), file.encoding, seen)) return failed(changedError());
    ServerListText::Members members;
    for (const auto& [key, value] : values) {
        if (!IsServerEntryKey(key)) return failed("unknown key \"" + key + "\"");
        if (value.empty() && (key == "name" || key == "processname" || key == "commandline"))
            return failed("\"" + key + "\" cannot be removed: every entry has one");
        members.emplace_back(stored(file, key), stored(file, value));
    }
    const auto element = static_cast<std::size_t>(seen.index - 1);
    const std::string body = list.withMembersSet(element, members);
    ServerListText changed;
    if (!changed.parse(body, error)) return failed(m_path + " was left as it was: " + error);
    if (std::string why = entryRefusal(changed.document(), static_cast<rapidjson::SizeType>(element), file.encoding);
        !why.empty())
        return failed(why);
    return write(&file, body);
}

ListResult ServerList::elements(std::string& json) const {
    FileBytes file;
    ServerListText list;
    bool missing = false;
    std::string error;
    ListResult result;
    if (!current(file, list, missing, error)) {
        result.ok = false;
        result.missing = missing;
        result.error = error;
        return result;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    list.document().Accept(writer);
    json = platform::fromFileText(std::string(buffer.GetString(), buffer.GetSize()), file.encoding);
    return result;
}
