#include "message_log_helpers.h"

#include <sstream>

namespace platformtest {
namespace {

Handler current_handler;

LRESULT CALLBACK LoggingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Log().push_back(LoggedMessage{hwnd, message, wParam, lParam});
  if (current_handler) {
    if (auto result = current_handler(hwnd, message, wParam, lParam)) return *result;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

std::string Describe(const std::vector<LoggedMessage>& messages) {
  std::ostringstream out;
  for (const auto& m : messages) out << "  " << MessageName(m.message) << " w=" << m.wParam << "\n";
  return out.str();
}

}  // namespace

std::vector<LoggedMessage>& Log() {
  static std::vector<LoggedMessage> log;
  return log;
}

void SetHandler(Handler handler) { current_handler = std::move(handler); }

std::string MessageName(UINT message) {
  switch (message) {
    case WM_CREATE: return "WM_CREATE";
    case WM_DESTROY: return "WM_DESTROY";
    case WM_SIZE: return "WM_SIZE";
    case WM_SETTEXT: return "WM_SETTEXT";
    case WM_CLOSE: return "WM_CLOSE";
    case WM_SHOWWINDOW: return "WM_SHOWWINDOW";
    case WM_SETTINGCHANGE: return "WM_SETTINGCHANGE";
    case WM_NCCREATE: return "WM_NCCREATE";
    case WM_NCDESTROY: return "WM_NCDESTROY";
    case WM_COMMAND: return "WM_COMMAND";
    case WM_SYSCOMMAND: return "WM_SYSCOMMAND";
    case WM_TIMER: return "WM_TIMER";
    default: return "message " + std::to_string(message);
  }
}

void ExpectMessages(const std::vector<Expected>& expected, const std::string& step) {
  std::vector<LoggedMessage> got = Log();
  Log().clear();
  bool same = got.size() == expected.size();
  for (size_t i = 0; same && i < got.size(); ++i) {
    same = got[i].message == expected[i].message &&
           (expected[i].hwnd == nullptr || expected[i].hwnd == got[i].hwnd) &&
           (!expected[i].wParam || *expected[i].wParam == got[i].wParam);
  }
  if (!same) {
    std::vector<LoggedMessage> wanted;
    for (const auto& e : expected) wanted.push_back(LoggedMessage{e.hwnd, e.message, e.wParam.value_or(0), 0});
    ADD_FAILURE() << step << ": expected\n" << Describe(wanted) << "got\n" << Describe(got);
  }
}

HWND CreateLogged(DWORD style, HWND parent, int id) {
  return CreateWindowExA(0, kLoggedClass, "logged", style, 0, 0, 200, 100, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), LayerProgramInstance(), nullptr);
}

int PumpOnce() {
  int count = 0;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ++count;
    if (msg.message == WM_QUIT) break;
    DispatchMessageA(&msg);
  }
  return count;
}

Watchdog::Watchdog(std::chrono::milliseconds deadline)
    : thread_([this, deadline] {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (!done_) {
          if (std::chrono::steady_clock::now() >= until) {
            fired_ = true;
            LayerRequestClose();
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }) {}

Watchdog::~Watchdog() {
  done_ = true;
  thread_.join();
}

void LayerTest::SetUp() {
  LayerReset();
  Log().clear();
  SetHandler(nullptr);
  WNDCLASSA wc{};
  wc.lpfnWndProc = LoggingProc;
  wc.hInstance = LayerProgramInstance();
  wc.lpszClassName = kLoggedClass;
  ASSERT_NE(RegisterClassA(&wc), 0);
}

void LayerTest::TearDown() {
  SetHandler(nullptr);
  LayerReset();
}

}  // namespace platformtest
