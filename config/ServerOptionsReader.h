#pragma once
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

#include "config/HealthRule.h"
#include "config/ServerOptions.h"

// Reads the optional keys of one server list entry (an object). A key of a
// wrong type or value keeps its default and adds a warning that starts with
// `label` (which names the file and the entry) and names the key. Keys it
// does not know are left alone.
ServerOptions ReadServerOptions(const rapidjson::Value& entry, const std::string& label,
                                std::vector<std::string>& warnings);

// Whether an entry of the list means something by `key` (the three keys
// every entry has and the options above); the file may hold others, which
// are kept but mean nothing.
bool IsServerEntryKey(std::string_view key);

// Sets the probe of `rule` to a tcp address ("host:port", "[v6]:port",
// "listen") or an http URL ("http://host[:port][/path]", host "listen"
// allowed). Returns why `target` is not one, empty when it was set; the rule
// is unchanged then.
std::string SetHealthTarget(HealthRule& rule, HealthProbe probe, std::string_view target);
