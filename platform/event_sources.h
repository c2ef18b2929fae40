// Descriptors the message loop watches besides its own wake-up pipe. Socket
// readiness joins the loop here: the callback runs inside the loop and turns
// what it sees into posted messages, never into calls of application code.
#pragma once

#include <windows.h>

#include <cstdint>

namespace layer {

using ReadyCallback = void (*)(int fd, short revents, void* context);

// Watches `fd` for `events` (poll flags) on behalf of `owner`, whose
// destruction ends the watch. Returns an id for UnwatchDescriptor, 0 on
// failure.
uint32_t WatchDescriptor(int fd, short events, HWND owner, ReadyCallback callback, void* context);
void UnwatchDescriptor(uint32_t id);
// Ends every watch owned by the window (done for it when it is destroyed).
void UnwatchWindowDescriptors(HWND owner);

// Forgets the sockets start-up count, its test failure and the last error
// (part of LayerReset; the socket calls' own state).
void ResetSockets();

// The program entry's side of a termination signal; async-signal-safe.
// PrepareSignalWakeup must have run before any handler can call it.
void PrepareSignalWakeup();
void SignalCloseRequest() noexcept;
// Whether a close was asked for that the loop has not yet passed on: long
// work inside a message (a copy) looks at it to give up early. Any thread.
bool CloseRequested() noexcept;

}  // namespace layer
