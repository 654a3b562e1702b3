#pragma once

namespace platform::win32stop {

// A stop asked for by the service control manager rather than a console
// event; `reason` is what StopRequest::reason gives ("service stop",
// "system shutdown"). Safe from any thread.
void request(const char* reason);

}  // namespace platform::win32stop
