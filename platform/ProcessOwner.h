#pragma once
#include <string>

// Who a process belongs to: the account it runs as and the process that
// is its parent. A process named by a file that a server writes (its
// pidfile) is only taken for the server when it is the server's own.
namespace platform {

// The account a process runs as, as a text two accounts compare by. Linux:
// the real user ID in decimal, followed by "/" and the effective one where
// the two differ (a set-user-ID program), so that it equals no account's
// text. Windows: the string form of the SID of the process's token. Empty
// when it cannot be read (no such process, no right to ask).
std::string processAccount(int pid);

// The account `user` names, in the form processAccount gives: a user name
// or (Linux) a numeric user ID; empty `user` is this process's own
// account. Empty when there is no such user or it cannot be looked up.
// The look-up may ask the system's user databases: callers keep its result.
std::string accountOf(const std::string& user);

// The parent of `pid` as the system lists it now; 0 when unknown. On Linux
// an orphan's parent is the nearest child subreaper (or init); on Windows
// it is the ID of the process that created it, even once that has ended.
int parentProcessId(int pid);

// This process's ID.
int currentProcessId();

}  // namespace platform
