#include "config/StateFile.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/FileStore.h"
#include "platform/SmallFile.h"

namespace {

constexpr int kVersion = 1;
// Far more than 99 servers' records take.
constexpr std::size_t kSizeLimit = 16u << 20;

std::string stringOf(const rapidjson::Value& object, const char* key) {
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsString()) return {};
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

std::int64_t integerOf(const rapidjson::Value& object, const char* key) {
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsInt64()) return 0;
    return member->value.GetInt64();
}

std::uint64_t unsignedOf(const rapidjson::Value& object, const char* key) {
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsUint64()) return 0;
    return member->value.GetUint64();
}

bool flagOf(const rapidjson::Value& object, const char* key) {
    const auto member = object.FindMember(key);
    return member != object.MemberEnd() && member->value.IsBool() && member->value.GetBool();
}

// A process ID as the file holds it; anything out of range is none.
int pidOf(const rapidjson::Value& object, const char* key) {
    const std::int64_t value = integerOf(object, key);
    return value > 0 && value <= 0x7FFFFFFF ? static_cast<int>(value) : 0;
}

}  // namespace

bool StateFile::read(std::vector<RememberedServer>& records, std::string& bootId, std::string& error) const {
    records.clear();
    bootId.clear();
    std::string bytes;
    std::string reason;
    // Written by this program, but it sits where a hand may put anything:
    // a FIFO there must not hold the start, nor a huge file fill memory.
    switch (platform::readSmallFile(path_, kSizeLimit, bytes, reason)) {
        case platform::SmallFileRead::missing:
            return true;
        case platform::SmallFileRead::ok:
            break;
        default:
            error = path_ + ": the file cannot be read: " + reason;
            return false;
    }
    rapidjson::Document document;
    // Iterative: a damaged file cannot make the reader recurse without end.
    document.Parse<rapidjson::kParseIterativeFlag>(bytes.data(), bytes.size());
    if (document.HasParseError()) {
        error = path_ + ": " + rapidjson::GetParseError_En(document.GetParseError()) + " (at byte " +
                std::to_string(document.GetErrorOffset()) + ")";
        return false;
    }
    const auto servers = document.IsObject() ? document.FindMember("servers") : rapidjson::Value::MemberIterator();
    if (!document.IsObject() || servers == document.MemberEnd() || !servers->value.IsArray()) {
        error = path_ + ": not a state file of this program";
        return false;
    }
    bootId = stringOf(document, "boot_id");
    for (const rapidjson::Value& item : servers->value.GetArray()) {
        if (!item.IsObject()) continue;
        RememberedServer record;
        record.name = stringOf(item, "name");
        record.processname = stringOf(item, "processname");
        record.commandline = stringOf(item, "commandline");
        record.pid = pidOf(item, "pid");
        record.startTicks = unsignedOf(item, "start_ticks");
        record.launched = flagOf(item, "launched");
        record.group = pidOf(item, "group");
        record.stopped = flagOf(item, "stopped");
        records.push_back(std::move(record));
    }
    return true;
}

std::string StateFile::text(const std::vector<RememberedServer>& records, const std::string& bootId) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    auto string = [&](const std::string& value) {
        w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    };
    w.StartObject();
    w.Key("version");
    w.Int(kVersion);
    w.Key("boot_id");
    string(bootId);
    w.Key("servers");
    w.StartArray();
    for (const RememberedServer& record : records) {
        w.StartObject();
        w.Key("name");
        string(record.name);
        w.Key("processname");
        string(record.processname);
        w.Key("commandline");
        string(record.commandline);
        w.Key("pid");
        w.Int(record.pid);
        w.Key("start_ticks");
        w.Uint64(record.startTicks);
        w.Key("launched");
        w.Bool(record.launched);
        w.Key("group");
        w.Int(record.group);
        w.Key("stopped");
        w.Bool(record.stopped);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

bool StateFile::write(const std::vector<RememberedServer>& records, const std::string& bootId,
                      std::string& error) const {
    std::string reason;
    // Who runs which process is nobody else's business.
    if (platform::replaceWholeFile(path_, text(records, bootId), platform::NewFileAccess::ownerOnly, reason))
        return true;
    error = path_ + ": " + reason;
    return false;
}
