#include "platform/Sockets.h"

namespace platform {
namespace {
Sockets* g_override = nullptr;
}  // namespace

Sockets& sockets() { return g_override ? *g_override : defaultSockets(); }
void setSockets(Sockets* replacement) { g_override = replacement; }

}  // namespace platform
