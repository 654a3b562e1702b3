#include "platform/linux/LinuxCurl.h"

#include <memory>
#include <mutex>

#include "platform/Module.h"

namespace platform {

namespace {

struct Loaded {
    std::unique_ptr<Module> module;
    LinuxCurl curl;
    std::string error;
    bool ok = false;
};

template <typename F>
bool resolve(Module& module, const char* name, F& function, std::string& error) {
    function = reinterpret_cast<F>(module.symbol(name));
    if (!function && error.empty()) error = std::string("libcurl has no ") + name;
    return function != nullptr;
}

Loaded load() {
    Loaded loaded;
    std::string error;
    for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4"}) {
        loaded.module = loadModule(name, error);
        if (loaded.module) break;
        loaded.error += (loaded.error.empty() ? "" : "; ") + error;
    }
    if (!loaded.module) {
        loaded.error = "libcurl cannot be loaded (" + loaded.error + ")";
        return loaded;
    }
    loaded.error.clear();
    Module& module = *loaded.module;
    LinuxCurl& c = loaded.curl;
    decltype(&curl_global_init) globalInit = nullptr;
    const bool all = resolve(module, "curl_global_init", globalInit, loaded.error) &
                     resolve(module, "curl_easy_init", c.easyInit, loaded.error) &
                     resolve(module, "curl_easy_reset", c.easyReset, loaded.error) &
                     resolve(module, "curl_easy_cleanup", c.easyCleanup, loaded.error) &
                     resolve(module, "curl_easy_setopt", c.easySetopt, loaded.error) &
                     resolve(module, "curl_easy_perform", c.easyPerform, loaded.error) &
                     resolve(module, "curl_easy_getinfo", c.easyGetinfo, loaded.error) &
                     resolve(module, "curl_easy_strerror", c.easyStrerror, loaded.error) &
                     resolve(module, "curl_slist_append", c.slistAppend, loaded.error) &
                     resolve(module, "curl_slist_free_all", c.slistFreeAll, loaded.error) &
                     resolve(module, "curl_multi_init", c.multiInit, loaded.error) &
                     resolve(module, "curl_multi_cleanup", c.multiCleanup, loaded.error) &
                     resolve(module, "curl_multi_setopt", c.multiSetopt, loaded.error) &
                     resolve(module, "curl_multi_add_handle", c.multiAddHandle, loaded.error) &
                     resolve(module, "curl_multi_remove_handle", c.multiRemoveHandle, loaded.error) &
                     resolve(module, "curl_multi_perform", c.multiPerform, loaded.error) &
                     resolve(module, "curl_multi_poll", c.multiPoll, loaded.error) &
                     resolve(module, "curl_multi_wakeup", c.multiWakeup, loaded.error) &
                     resolve(module, "curl_multi_timeout", c.multiTimeout, loaded.error) &
                     resolve(module, "curl_multi_info_read", c.multiInfoRead, loaded.error);
    if (!all) return loaded;
    // Not safe on several threads at once: done here, under the once flag.
    if (globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        loaded.error = "libcurl could not be initialised";
        return loaded;
    }
    loaded.ok = true;
    return loaded;
}

}  // namespace

const LinuxCurl* LinuxCurl::get(std::string& error) {
    static std::once_flag once;
    static Loaded* loaded = nullptr;
    // Never destroyed: threads may still post while the program ends.
    std::call_once(once, [] { loaded = new Loaded(load()); });
    if (!loaded->ok) {
        error = loaded->error;
        return nullptr;
    }
    return &loaded->curl;
}

}  // namespace platform
