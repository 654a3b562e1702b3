#pragma once
#include <curl/curl.h>

#include <string>

namespace platform {

// libcurl, loaded the first time an HTTP exchange is made. Linked in, it
// and the libraries it brings (TLS, Kerberos, LDAP, SSH…) cost every run of
// the supervisor megabytes of memory, while many installations never post
// a webhook or has an HTTP health rule. Loaded, it stays until the program
// ends.
struct LinuxCurl {
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_reset) easyReset = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_strerror) easyStrerror = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFreeAll = nullptr;
    decltype(&curl_multi_init) multiInit = nullptr;
    decltype(&curl_multi_cleanup) multiCleanup = nullptr;
    decltype(&curl_multi_setopt) multiSetopt = nullptr;
    decltype(&curl_multi_add_handle) multiAddHandle = nullptr;
    decltype(&curl_multi_remove_handle) multiRemoveHandle = nullptr;
    decltype(&curl_multi_perform) multiPerform = nullptr;
    decltype(&curl_multi_poll) multiPoll = nullptr;
    decltype(&curl_multi_wakeup) multiWakeup = nullptr;
    decltype(&curl_multi_timeout) multiTimeout = nullptr;
    decltype(&curl_multi_info_read) multiInfoRead = nullptr;

    // The library, initialised once for the whole program; null with the
    // reason when it cannot be loaded.
    static const LinuxCurl* get(std::string& error);
};

}  // namespace platform
