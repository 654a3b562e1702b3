#pragma once
#include <string>

// `text` as the inside of a JSON string: backslashes and quotes escaped
// (Windows paths are full of the first).
std::string jsonEscaped(const std::string& text);

// The file name of today's daily log of `program` ("procward" or
// "procwardd"), "<program>_YYYYMMDD.log", by the local date.
std::string todaysLogName(const std::string& program);
