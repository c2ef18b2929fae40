// The posted queue, timers and the one place where the program waits.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "layer_control.h"
#include "instance_channel.h"
#include "layer_model.h"
#include "layer_view.h"
#include "event_sources.h"

namespace layer {
namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

bool fake_clock = false;
uint64_t fake_now = 0;

// Set from signal context (or another thread); read by the loop. Lock-free
// atomics are safe in a signal handler.
std::atomic<int> close_requested{0};
std::atomic<int> wake_read{-1};
std::atomic<int> wake_write{-1};
static_assert(std::atomic<int>::is_always_lock_free);

struct WaitSource {
  uint32_t id;
  int fd;
  short events;
  uint32_t owner;
  ReadyCallback callback;
  void* context;
};
std::vector<WaitSource> wait_sources;
uint32_t next_wait_source = 1;

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

bool InRange(UINT message, UINT filter_min, UINT filter_max) {
  if (filter_min == 0 && filter_max == 0) return true;
  return message >= filter_min && message <= filter_max;
}

// A window filter of -1 asks for thread messages only.
bool MatchesWindow(HWND message_window, HWND filter) {
  if (filter == nullptr) return true;
  if (filter == reinterpret_cast<HWND>(-1)) return message_window == nullptr;
  return message_window != nullptr && IsDescendant(IdOf(message_window), IdOf(filter));
}

void FillMessage(MSG* msg, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  msg->hwnd = hwnd;
  msg->message = message;
  msg->wParam = wParam;
  msg->lParam = lParam;
  msg->time = static_cast<DWORD>(Now());
  msg->pt = POINT{0, 0};
}

// Takes the next message in Windows' order: posted messages, then the quit
// message, then one due timer. A timer produces WM_TIMER only when nothing
// posted waits, and is re-armed from now, so it never yields two at once.
bool Retrieve(MSG* msg, HWND filter, UINT filter_min, UINT filter_max, bool remove) {
  auto& state = Model();
  for (auto it = state.queue.begin(); it != state.queue.end();) {
    if (it->hwnd != nullptr && Find(it->hwnd) == nullptr) {
      it = state.queue.erase(it);  // its window is gone
      continue;
    }
    if (MatchesWindow(it->hwnd, filter) && InRange(it->message, filter_min, filter_max)) {
      *msg = *it;
      if (remove) state.queue.erase(it);
      return true;
    }
    ++it;
  }
  // The quit message is handed out whatever the filters say.
  if (state.quit_pending) {
    FillMessage(msg, nullptr, WM_QUIT, static_cast<WPARAM>(state.quit_code), 0);
    if (remove) state.quit_pending = false;
    return true;
  }
  if (!InRange(WM_TIMER, filter_min, filter_max)) return false;
  uint64_t now = Now();
  Timer* due = nullptr;
  for (Timer& timer : state.timers) {
    if (timer.deadline > now || !MatchesWindow(timer.window != 0 ? HandleOf(timer.window) : nullptr, filter))
      continue;
    if (due == nullptr || timer.deadline < due->deadline ||
        (timer.deadline == due->deadline && timer.order < due->order))
      due = &timer;
  }
  if (due == nullptr) return false;
  FillMessage(msg, due->window != 0 ? HandleOf(due->window) : nullptr, WM_TIMER, due->id,
              reinterpret_cast<LPARAM>(due->proc));
  if (remove) due->deadline = now + due->period;
  return true;
}

// A close request reaches every top-level window as WM_CLOSE, the way a
// user's close would; with no window left the loop is simply told to quit.
void ServiceCloseRequest() {
  if (close_requested.exchange(0) == 0) return;
  std::vector<uint32_t> top_level;
  for (const auto& [id, window] : Model().windows)
    if (window->parent == 0 && !window->destroying) top_level.push_back(id);
  if (top_level.empty()) {
    PostQuitMessage(0);
    return;
  }
  for (uint32_t id : top_level)
    if (FindId(id) != nullptr) SendMessageA(HandleOf(id), WM_CLOSE, 0, 0);
}

void DrainWakePipe() {
  if (wake_read < 0) return;
  char bytes[64];
  while (read(wake_read.load(), bytes, sizeof bytes) > 0) {
  }
}

// The one place where the program waits: for the wake-up pipe, the watched
// descriptors or `timeout_ms` (-1: no limit), whichever comes first. Ready
// descriptors are handed to their callbacks, which post messages.
void WaitForWork(int timeout_ms) {
  PrepareSignalWakeup();
  std::vector<pollfd> fds;
  std::vector<uint32_t> ids;
  if (wake_read >= 0) {
    fds.push_back(pollfd{wake_read.load(), POLLIN, 0});
    ids.push_back(0);
  }
  for (const WaitSource& source : wait_sources) {
    fds.push_back(pollfd{source.fd, source.events, 0});
    ids.push_back(source.id);
  }
  int ready = CurrentView().Wait(fds.data(), fds.size(), timeout_ms);
  if (ready <= 0) return;  // timeout, or EINTR: the caller looks again
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    if (ids[i] == 0) {
      DrainWakePipe();
      continue;
    }
    // A callback may unwatch others; look each one up again.
    auto it = std::find_if(wait_sources.begin(), wait_sources.end(),
                           [&](const WaitSource& s) { return s.id == ids[i]; });
    if (it != wait_sources.end()) it->callback(it->fd, fds[i].revents, it->context);
  }
}

// Milliseconds until the earliest timer the caller may receive is due, -1
// when there is none: a due timer of another window must not keep a
// filtered wait spinning.
int TimeToNextTimer(HWND filter, UINT filter_min, UINT filter_max) {
  if (!InRange(WM_TIMER, filter_min, filter_max)) return -1;
  uint64_t earliest = UINT64_MAX;
  for (const Timer& timer : Model().timers)
    if (MatchesWindow(timer.window != 0 ? HandleOf(timer.window) : nullptr, filter))
      earliest = std::min(earliest, timer.deadline);
  if (earliest == UINT64_MAX) return -1;
  uint64_t now = Now();
  if (earliest <= now) return 0;
  return static_cast<int>(std::min<uint64_t>(earliest - now, INT_MAX));
}

bool ValidFilter(HWND filter) {
  if (filter == nullptr || filter == reinterpret_cast<HWND>(-1) || Find(filter) != nullptr) return true;
  SetError(ERROR_INVALID_WINDOW_HANDLE);
  return false;
}

}  // namespace

void SetError(DWORD error) { last_error = error; }

uint64_t Now() { return fake_clock ? fake_now : MonotonicMs(); }

void DropWindowTimers(uint32_t id) {
  auto& timers = Model().timers;
  timers.erase(std::remove_if(timers.begin(), timers.end(), [id](const Timer& t) { return t.window == id; }),
               timers.end());
}

void DropWindowMessages(uint32_t id) {
  auto& queue = Model().queue;
  HWND hwnd = HandleOf(id);
  queue.erase(std::remove_if(queue.begin(), queue.end(), [hwnd](const MSG& m) { return m.hwnd == hwnd; }),
              queue.end());
}

void DropWindowWaitSources(uint32_t id) {
  wait_sources.erase(std::remove_if(wait_sources.begin(), wait_sources.end(),
                                    [id](const WaitSource& s) { return s.owner == id; }),
                     wait_sources.end());
}

void ResetWaitSources() { wait_sources.clear(); }

void UnwatchWindowDescriptors(HWND owner) {
  if (uint32_t id = IdOf(owner)) DropWindowWaitSources(id);
}

void ResetQueueAndTimers() {
  fake_clock = false;
  fake_now = 0;
  close_requested = 0;
  DrainWakePipe();
}

uint32_t WatchDescriptor(int fd, short events, HWND owner, ReadyCallback callback, void* context) {
  if (fd < 0 || callback == nullptr) return 0;
  uint32_t owner_id = 0;
  if (owner != nullptr) {
    Window* window = Find(owner);
    if (window == nullptr) return 0;
    owner_id = window->id;
  }
  uint32_t id = next_wait_source++;
  wait_sources.push_back(WaitSource{id, fd, events, owner_id, callback, context});
  return id;
}

void UnwatchDescriptor(uint32_t id) {
  wait_sources.erase(std::remove_if(wait_sources.begin(), wait_sources.end(),
                                    [id](const WaitSource& s) { return s.id == id; }),
                     wait_sources.end());
}

void PrepareSignalWakeup() {
  if (wake_read >= 0) return;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  wake_read = fds[0];
  wake_write = fds[1];
}

void SignalCloseRequest() noexcept {
  int saved = errno;
  close_requested = 1;
  int fd = wake_write.load();
  if (fd >= 0) {
    char byte = 1;
    ssize_t written = write(fd, &byte, 1);  // a full pipe is awake already
    (void)written;
  }
  errno = saved;
}

bool CloseRequested() noexcept { return close_requested.load() != 0; }

}  // namespace layer

using namespace layer;

DWORD WINAPI GetLastError(void) { return last_error; }
void WINAPI SetLastError(DWORD error) { last_error = error; }

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(Now()); }

LRESULT WINAPI SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (LRESULT answer; window == nullptr && SendToPeer(hwnd, message, lParam, &answer)) return answer;
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  WNDPROC proc = window->proc;
  return proc(hwnd, message, wParam, lParam);
}

BOOL WINAPI PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (hwnd != nullptr && Find(hwnd) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  auto& queue = Model().queue;
  if (queue.size() >= kQueueLimit) {
    SetError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  MSG msg;
  FillMessage(&msg, hwnd, message, wParam, lParam);
  queue.push_back(msg);
  return TRUE;
}

void WINAPI PostQuitMessage(int exit_code) {
  auto& state = Model();
  state.quit_pending = true;
  state.quit_code = exit_code;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max) {
  if (msg == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!ValidFilter(hwnd)) return -1;
  for (;;) {
    ServiceCloseRequest();
    if (Retrieve(msg, hwnd, filter_min, filter_max, true)) return msg->message != WM_QUIT;
    if (fake_clock) {
      // Collect what the descriptors have, but never sleep on a clock that
      // only the test moves.
      WaitForWork(0);
      ServiceCloseRequest();
      if (Retrieve(msg, hwnd, filter_min, filter_max, true)) return msg->message != WM_QUIT;
      SetError(ERROR_TIMEOUT);
      return -1;
    }
    if (hwnd != nullptr && Find(hwnd) == nullptr && hwnd != reinterpret_cast<HWND>(-1)) {
      SetError(ERROR_INVALID_WINDOW_HANDLE);  // the window went while we looked
      return -1;
    }
    WaitForWork(TimeToNextTimer(hwnd, filter_min, filter_max));
  }
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove) {
  if (msg == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ValidFilter(hwnd)) return FALSE;
  ServiceCloseRequest();
  WaitForWork(0);
  ServiceCloseRequest();
  return Retrieve(msg, hwnd, filter_min, filter_max, (remove & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
  // No keyboard reaches this layer, so there is nothing to translate.
  (void)msg;
  return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    // Only a live timer's own procedure is called: lParam may come from
    // anyone who posted a WM_TIMER.
    auto* proc = reinterpret_cast<TIMERPROC>(msg->lParam);
    uint32_t window = IdOf(msg->hwnd);
    for (const Timer& timer : Model().timers) {
      if (timer.window == window && timer.id == msg->wParam && timer.proc == proc) {
        proc(msg->hwnd, WM_TIMER, msg->wParam, static_cast<DWORD>(Now()));
        return 0;
      }
    }
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  if (Find(msg->hwnd) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  auto& state = Model();
  uint32_t window = 0;
  if (hwnd != nullptr) {
    Window* w = Find(hwnd);
    if (w == nullptr || w->destroying) {
      SetError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    window = w->id;
  }
  elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  uint64_t deadline = Now() + elapse;
  auto existing = std::find_if(state.timers.begin(), state.timers.end(), [&](const Timer& t) {
    return t.window == window && t.id == id && (window != 0 || id != 0);
  });
  if (existing != state.timers.end()) {
    // Setting a timer again starts a fresh full period.
    existing->period = elapse;
    existing->deadline = deadline;
    existing->order = state.timer_order++;
    existing->proc = proc;
    return window != 0 ? (id != 0 ? id : 1) : id;
  }
  if (window == 0) {
    // Thread timers get an id of their own choosing, as on Windows.
    auto used = [&](UINT_PTR candidate) {
      return std::any_of(state.timers.begin(), state.timers.end(),
                         [&](const Timer& t) { return t.window == 0 && t.id == candidate; });
    };
    do {
      id = state.next_thread_timer++;
      if (state.next_thread_timer == 0) state.next_thread_timer = 1;
    } while (id == 0 || used(id));
  }
  state.timers.push_back(Timer{window, id, elapse, deadline, state.timer_order++, proc});
  return window != 0 ? (id != 0 ? id : 1) : id;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
  auto& timers = Model().timers;
  uint32_t window = 0;
  if (hwnd != nullptr) {
    window = IdOf(hwnd);
    if (FindId(window) == nullptr) {
      SetError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
  }
  auto it = std::find_if(timers.begin(), timers.end(),
                         [&](const Timer& t) { return t.window == window && t.id == id; });
  if (it == timers.end()) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  timers.erase(it);
  return TRUE;
}

void LayerUseFakeClock(uint64_t start_ms) {
  fake_clock = true;
  fake_now = start_ms;
}

void LayerAdvanceClock(uint64_t ms) { fake_now += ms; }

void LayerUseRealClock() { fake_clock = false; }

uint64_t LayerNow() { return Now(); }

void LayerRequestClose() { SignalCloseRequest(); }
