#pragma once
#include <string>

#include <rapidjson/document.h>

// What the mail tests under Wine need of the SMTP test servers that
// scripts/test-windows.sh starts and names in the environment.

// An environment variable's value; empty when it is not set.
std::string environment(const char* name);

// A Unix path as Wine shows it (drive Z: is the root); empty stays empty.
std::string windowsPath(std::string path);

// How many messages a server has saved into `outdir` so far.
int messageCount(const std::string& outdir);

// The last message saved into `outdir`, parsed; false when there is none.
bool lastMessage(const std::string& outdir, rapidjson::Document& message);
