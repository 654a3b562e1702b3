#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What a server offers in its reply to EHLO.
struct SmtpCapabilities {
    bool startTls = false;
    bool authLogin = false;
    bool authPlain = false;
    bool eightBitMime = false;
    std::uint64_t sizeLimit = 0;  // largest message in bytes; 0: none given

    // Reads the lines of a 250 reply to EHLO (each with its code, with or
    // without CR LF). The first line names the server and offers nothing.
    // Keywords match in any letter case; "AUTH=..." counts as "AUTH ...".
    static SmtpCapabilities FromEhloReply(const std::vector<std::string>& lines);
};
