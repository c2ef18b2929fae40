// The channel other starts of the program steer it through: each request
// line reaches the program's window as WM_COPYDATA from a window of the
// caller, to which the program may send an answer back the same way.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "instance_socket.h"

namespace layer {

// WM_COPYDATA's dwData on a request from the channel, and on its answer.
inline constexpr ULONG_PTR kInstanceRequestTag = 0x534B5251;  // "SKRQ"

// Starts listening under `name`; false with the reason when there is no
// safe place for the socket or another program holds it.
bool OpenInstanceChannel(std::string_view name, std::string* why);
void CloseInstanceChannel();

// SendMessageA's side: true when `hwnd` is a caller's window, `result`
// then holding what the send returns.
bool SendToPeer(HWND hwnd, UINT message, LPARAM lparam, LRESULT* result);

}  // namespace layer
