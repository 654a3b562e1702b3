#include "platform/ErrorLog.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<ErrorSink> g_sink{nullptr};
}  // namespace

void setErrorSink(ErrorSink sink) { g_sink.store(sink); }

void reportError(const std::string& text) {
    if (const ErrorSink sink = g_sink.load()) sink(text);
}

}  // namespace platform
