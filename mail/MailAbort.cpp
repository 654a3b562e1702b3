#include "mail/MailAbort.h"

void MailAbort::abort() {
    std::lock_guard lock(mutex_);
    aborted_ = true;
    if (sockets_ && socket_ != platform::kNoSocket) sockets_->shutdown(socket_);
}

bool MailAbort::attach(platform::Sockets& sockets, platform::SocketHandle socket) {
    std::lock_guard lock(mutex_);
    if (aborted_) return false;
    sockets_ = &sockets;
    socket_ = socket;
    return true;
}

void MailAbort::detach() {
    std::lock_guard lock(mutex_);
    sockets_ = nullptr;
    socket_ = platform::kNoSocket;
}
