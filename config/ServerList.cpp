#include "config/ServerList.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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

}  // namespace

void ServerList::LoadServerInfo() {
    m_entries.clear();

    std::string text;
    if (platform::readWholeFile(m_path, text) != platform::FileRead::ok) {
        AppLogger::Instance().get().error("Failed to open serverinfo.json.");
        return;
    }

    // Parsed from the zero-terminated text so that a byte-order mark is
    // refused; a zero byte anywhere is not JSON either. The document keeps
    // its previous value when the parse fails.
    rapidjson::Document parsed;
    parsed.Parse(text.c_str());
    if (parsed.HasParseError() || text.find('\0') != std::string::npos) {
        AppLogger::Instance().get().error("Parsing serverinfo.json error!");
        return;
    }
    m_serverInfoDoc.Swap(parsed);

    if (!m_serverInfoDoc.IsArray()) return;
    const auto& elements = m_serverInfoDoc.GetArray();
    for (rapidjson::SizeType i = 0; i < elements.Size(); ++i) {
        const rapidjson::Value& element = elements[i];
        if (!element.IsObject()) continue;
        std::string name, processname, commandline;
        if (!stringMember(element, "name", name) || !stringMember(element, "processname", processname) ||
            !stringMember(element, "commandline", commandline))
            continue;
        m_entries.push_back(ServerEntry{static_cast<std::int32_t>(i + 1), std::move(name), std::move(processname),
                                        std::move(commandline)});
    }
}

void ServerList::SaveServerInfo() {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    m_serverInfoDoc.Accept(writer);
    // Replaced as a whole: a crash or a full disk leaves the old list. A
    // failure is not reported; the reload shows what the file holds.
    platform::replaceWholeFile(m_path, std::string_view(buffer.GetString(), buffer.GetSize()),
                               platform::NewFileAccess::shared);
}

void ServerList::ensureArray() {
    if (!m_serverInfoDoc.IsArray()) m_serverInfoDoc.SetArray();
}

void ServerList::appendServer(const std::string& name, const std::string& processname,
                              const std::string& commandline) {
    auto& allocator = m_serverInfoDoc.GetAllocator();
    rapidjson::Value object(rapidjson::kObjectType);
    object.AddMember("name", rapidjson::Value(name.data(), static_cast<rapidjson::SizeType>(name.size()), allocator),
                     allocator);
    object.AddMember(
        "processname",
        rapidjson::Value(processname.data(), static_cast<rapidjson::SizeType>(processname.size()), allocator),
        allocator);
    object.AddMember(
        "commandline",
        rapidjson::Value(commandline.data(), static_cast<rapidjson::SizeType>(commandline.size()), allocator),
        allocator);
    m_serverInfoDoc.PushBack(object, allocator);
}

void ServerList::addServer(const std::string& name, const std::string& processname, const std::string& commandline) {
    ensureArray();
    appendServer(name, processname, commandline);
}

void ServerList::rebuildFrom(const std::vector<ServerEntry>& entries) {
    ensureArray();
    m_serverInfoDoc.Clear();
    for (const ServerEntry& entry : entries) appendServer(entry.name, entry.processname, entry.commandline);
}

void ServerList::eraseRow(std::int32_t index) {
    ensureArray();
    if (index < 1 || static_cast<rapidjson::SizeType>(index) > m_serverInfoDoc.Size()) return;
    m_serverInfoDoc.Erase(m_serverInfoDoc.Begin() + (index - 1));
}

void ServerList::eraseAll() {
    ensureArray();
    m_serverInfoDoc.Clear();
}
