// The one-instance socket itself, apart from the Windows names (which clash
// with the system's socket declarations): where it lives, listening,
// taking callers of this user only, and the caller's side of an exchange.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace layer {

// Limits of one exchange, each way.
inline constexpr size_t kInstanceLineLimit = 4096;
inline constexpr int kInstanceTimeoutMs = 2000;

// The names a running program on this session may have listened under,
// most likely first: the display Qt would open, the other display, then
// "none" for one that runs without a display.
std::vector<std::string> InstanceNamesToTry();
// The name of the display the program runs on now: the desktop view's, or
// "none" without one.
std::string InstanceNameInUse(bool desktop);

// The socket's path for `name`: in $XDG_RUNTIME_DIR, else in a folder of
// our own in $TMPDIR (or /tmp) that only this user may enter; empty with
// the reason when neither is safe.
std::string InstanceSocketPath(std::string_view name, std::string* why);
// A listening, non-blocking socket at `path`; -1 with the reason when
// another program answers there or the socket cannot be made.
int ListenAt(const std::string& path, std::string* why);
// Removes the socket file at `path` if it still is one.
void RemoveSocketFile(const std::string& path);
// The next waiting caller as a non-blocking descriptor, -1 when none; a
// caller of another user is answered with a refusal and let go.
int AcceptCaller(int listener);
// Bytes the caller sent, appended to `into`; false once it closed or failed.
bool ReadCaller(int fd, std::string* into);
// One line to the caller, never waiting for it.
void SendLine(int fd, const std::string& line);
void CloseCaller(int fd);

enum class InstanceReply {
  kAnswered,   // `answer` holds the running program's line
  kNoProgram,  // nobody listens under any of the names
  kFailed,     // a program was reached but the exchange failed; `answer` says why
};
// Sends `request` (one line, no line end) to the running program of this
// session and waits for its answer, within the limits above.
InstanceReply AskRunningInstance(std::string_view request, std::string* answer);

// Claims `name` for this program until it ends or releases it: of any
// number of starts racing for one name, exactly one gets kClaimed.
enum class InstanceClaim {
  kClaimed,  // this program holds the name
  kTaken,    // another program holds it
  kFailed,   // there is no safe place for the claim; `why` says so
};
InstanceClaim ClaimInstanceName(std::string_view name, std::string* why);
void ReleaseInstanceClaim();
// A start that lost the claim on `name`: sends `request` to the winner once
// it listens. kNoProgram when the winner ended first; the claim is then
// this program's.
InstanceReply HandOverTo(std::string_view name, std::string_view request, std::string* answer);

}  // namespace layer
