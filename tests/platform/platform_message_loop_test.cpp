// The message loop: posted messages, the quit message, timers on the fake
// clock, the close request, watched descriptors and the real wait.
#include <windows.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "event_sources.h"
#include "layer_control.h"
#include "message_log_helpers.h"

using namespace platformtest;

namespace {

class LoopTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    LayerUseFakeClock(1000000);
    hwnd_ = CreateLogged();
    ASSERT_NE(hwnd_, nullptr);
    Log().clear();
  }
  HWND hwnd_ = nullptr;
};

TEST_F(LoopTest, PostedMessagesComeInOrderThenQuit) {
  PostMessageA(hwnd_, WM_USER, 1, 0);
  PostQuitMessage(7);
  PostMessageA(hwnd_, WM_USER, 2, 0);  // posted after the quit, still before it
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.wParam, 1u);
  DispatchMessageA(&msg);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  DispatchMessageA(&msg);
  ExpectMessages({{WM_USER, hwnd_, 1}, {WM_USER, hwnd_, 2}}, "posted");
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  // The quit message comes once; afterwards the fake clock has nothing.
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST_F(LoopTest, PeekWithoutRemovingLeavesTheMessageAndFiltersApply) {
  PostMessageA(hwnd_, WM_USER + 5, 0, 0);
  PostMessageA(nullptr, WM_USER + 6, 0, 0);  // a thread message
  MSG msg;
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 5));
  // By range, and by window (-1: thread messages only).
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 6, WM_USER + 6, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_FALSE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
  EXPECT_TRUE(PeekMessageA(&msg, hwnd_, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 5));
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(DispatchMessageA(&msg), 0);  // a thread message has no window

  // No filter keeps the quit message back.
  PostQuitMessage(3);
  EXPECT_EQ(GetMessageA(&msg, hwnd_, WM_USER, WM_USER), FALSE);
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(LoopTest, TimersTickOnceWhenDueAndNeverTwiceForOneTimer) {
  ASSERT_EQ(SetTimer(hwnd_, 23275, 1000, nullptr), 23275u);
  struct Step {
    uint64_t advance;
    std::vector<Expected> messages;
  };
  const Step steps[] = {
      {999, {}},
      {1, {{WM_TIMER, hwnd_, 23275}}},
      {0, {}},                          // re-armed from the tick
      {5000, {{WM_TIMER, hwnd_, 23275}}},  // late: one tick, no catching up
      {999, {}},
      {1, {{WM_TIMER, hwnd_, 23275}}},
  };
  int index = 0;
  for (const Step& step : steps) {
    LayerAdvanceClock(step.advance);
    PumpOnce();
    ExpectMessages(step.messages, "step " + std::to_string(index++));
  }
}

TEST_F(LoopTest, TimersWaitWhilePostedMessagesAreQueued) {
  SetTimer(hwnd_, 1, 100, nullptr);
  LayerAdvanceClock(100);
  PostMessageA(hwnd_, WM_USER, 1, 0);
  PostMessageA(hwnd_, WM_USER, 2, 0);
  MSG msg;
  std::vector<UINT> order;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) order.push_back(msg.message);
  EXPECT_EQ(order, (std::vector<UINT>{WM_USER, WM_USER, WM_TIMER}));
}

TEST_F(LoopTest, SetTimerAgainRestartsTheFullPeriodAndKillTimerStopsIt) {
  SetTimer(hwnd_, 7, 1000, nullptr);
  LayerAdvanceClock(900);
  SetTimer(hwnd_, 7, 1000, nullptr);  // a fresh full period from here
  LayerAdvanceClock(900);
  PumpOnce();
  ExpectMessages({}, "restarted");
  LayerAdvanceClock(100);
  PumpOnce();
  ExpectMessages({{WM_TIMER, hwnd_, 7}}, "after the new period");

  // A new period takes effect at once, too.
  SetTimer(hwnd_, 7, 50, nullptr);
  LayerAdvanceClock(50);
  PumpOnce();
  ExpectMessages({{WM_TIMER, hwnd_, 7}}, "shorter period");

  EXPECT_TRUE(KillTimer(hwnd_, 7));
  LayerAdvanceClock(100000);
  PumpOnce();
  ExpectMessages({}, "killed");
  EXPECT_FALSE(KillTimer(hwnd_, 7));
  EXPECT_FALSE(KillTimer(hwnd_, 8));
}

TEST_F(LoopTest, DueTimersComeByDeadlineThenByOrderOfSetting) {
  HWND other = CreateLogged();
  Log().clear();
  SetTimer(hwnd_, 3, 300, nullptr);
  SetTimer(other, 1, 200, nullptr);
  SetTimer(hwnd_, 2, 200, nullptr);
  LayerAdvanceClock(300);
  PumpOnce();
  ExpectMessages({{WM_TIMER, other, 1}, {WM_TIMER, hwnd_, 2}, {WM_TIMER, hwnd_, 3}}, "order");
}

TEST_F(LoopTest, PeriodsAreKeptWithinTheSystemBounds) {
  SetTimer(hwnd_, 1, 0, nullptr);  // at least ten milliseconds
  LayerAdvanceClock(9);
  PumpOnce();
  ExpectMessages({}, "below the minimum");
  LayerAdvanceClock(1);
  PumpOnce();
  ExpectMessages({{WM_TIMER, hwnd_, 1}}, "minimum period");
}

TEST_F(LoopTest, DestroyingAWindowDropsItsTimersAndMessages) {
  SetTimer(hwnd_, 1, 10, nullptr);
  PostMessageA(hwnd_, WM_USER, 0, 0);
  DestroyWindow(hwnd_);
  Log().clear();
  LayerAdvanceClock(1000);
  EXPECT_EQ(PumpOnce(), 0);
  EXPECT_FALSE(KillTimer(hwnd_, 1));
}

UINT_PTR timer_proc_calls = 0;
void CALLBACK CountingTimerProc(HWND, UINT message, UINT_PTR, DWORD) {
  if (message == WM_TIMER) ++timer_proc_calls;
}

TEST_F(LoopTest, TimerProceduresRunOnDispatchAndForgedOnesDoNot) {
  timer_proc_calls = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 100, CountingTimerProc);
  ASSERT_NE(id, 0u);
  LayerAdvanceClock(100);
  PumpOnce();
  EXPECT_EQ(timer_proc_calls, 1u);
  // A WM_TIMER posted by anyone with a procedure address is not a timer.
  MSG forged{nullptr, WM_TIMER, id + 1, reinterpret_cast<LPARAM>(CountingTimerProc), 0, {0, 0}};
  DispatchMessageA(&forged);
  EXPECT_EQ(timer_proc_calls, 1u);
  EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(LoopTest, CloseRequestSendsCloseToTopLevelWindowsOnly) {
  HWND child = CreateLogged(WS_CHILD, hwnd_, 1);
  HWND second = CreateLogged();
  Log().clear();
  SetHandler([](HWND, UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return std::nullopt;
  });
  LayerRequestClose();
  ExpectMessages({}, "nothing until the loop looks");
  MSG msg;
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  ExpectMessages({{WM_CLOSE, hwnd_},
                  {WM_DESTROY, hwnd_},
                  {WM_DESTROY, child},
                  {WM_NCDESTROY, child},
                  {WM_NCDESTROY, hwnd_},
                  {WM_CLOSE, second},
                  {WM_DESTROY, second},
                  {WM_NCDESTROY, second}},
                 "close request");
  // With no window left a request still ends the loop.
  LayerRequestClose();
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
}

TEST_F(LoopTest, QueueRefusesMessagesBeyondItsQuota) {
  int accepted = 0;
  while (accepted < 20000 && PostMessageA(hwnd_, WM_USER, 0, 0)) ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
  EXPECT_EQ(PumpOnce(), 10000);
  EXPECT_TRUE(PostMessageA(hwnd_, WM_USER, 0, 0));
}

TEST_F(LoopTest, BadArgumentsFailWithoutTouchingAnything) {
  EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
  MSG msg;
  HWND gone = CreateLogged();
  DestroyWindow(gone);
  EXPECT_EQ(GetMessageA(&msg, gone, 0, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(PeekMessageA(nullptr, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(DispatchMessageA(nullptr), 0);
  EXPECT_FALSE(TranslateMessage(nullptr));
}

// What a socket layer does with readiness: post a message, nothing more.
void PostReadiness(int fd, short revents, void* context) {
  char byte;
  if (revents & POLLIN) {
    ssize_t got = read(fd, &byte, 1);
    (void)got;
  }
  PostMessageA(static_cast<HWND>(context), WM_USER + 1, static_cast<WPARAM>(fd), revents);
}

TEST_F(LoopTest, WatchedDescriptorsBecomePostedMessages) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  uint32_t watch = layer::WatchDescriptor(fds[0], POLLIN, hwnd_, PostReadiness, hwnd_);
  ASSERT_NE(watch, 0u);
  PumpOnce();
  ExpectMessages({}, "nothing written");
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  PumpOnce();
  ExpectMessages({{WM_USER + 1, hwnd_, static_cast<WPARAM>(fds[0])}}, "readable");
  // The window's end ends its watches.
  DestroyWindow(hwnd_);
  Log().clear();
  ASSERT_EQ(write(fds[1], "y", 1), 1);
  PumpOnce();
  ExpectMessages({}, "owner destroyed");
  layer::UnwatchDescriptor(watch);
  close(fds[0]);
  close(fds[1]);
}

TEST(RealClockLoopTest, GetMessageSleepsUntilTheTimerIsDue) {
  LayerReset();
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "Sleeper";
  ASSERT_NE(RegisterClassA(&wc), 0);
  HWND hwnd = CreateWindowExA(0, "Sleeper", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  Watchdog watchdog(std::chrono::seconds(10));
  auto start = std::chrono::steady_clock::now();  // the timer's period starts after this
  SetTimer(hwnd, 1, 50, nullptr);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  EXPECT_GE(waited, std::chrono::milliseconds(49));  // it did wait for the deadline
  EXPECT_LT(waited, std::chrono::seconds(10));        // and woke up for it

  // A close request from another context wakes a loop with nothing to do;
  // with no window left it ends the loop.
  DestroyWindow(hwnd);
  std::thread requester([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    LayerRequestClose();
  });
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  requester.join();
  EXPECT_FALSE(watchdog.fired());
  LayerReset();
}

}  // namespace
