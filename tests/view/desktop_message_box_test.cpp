// Message boxes as real windows: modal for their owner, answered with the
// mouse, while the program's timers and socket events go on arriving.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QWindow>

#include "app_constants.h"
#include "app_globals.h"
#include "desktop_helpers.h"
#include "layer_control.h"
#include "loopback_peer_helpers.h"
#include "test_support.h"

namespace desktoptest {
namespace {

constexpr UINT kSocketMessage = WM_USER + 1;
constexpr UINT_PTR kTickTimer = 5;

QMessageBox* OpenBox() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) return box;
  return nullptr;
}

// A transfer as the program runs one: a socket whose read handler reports
// a broken connection in a box, while the far end goes on sending.
struct Transfer {
  SOCKET socket = INVALID_SOCKET;
  int peer = -1;
  std::string received;
  int reads = 0, closes = 0, ticks_in_box = 0;
  bool in_box = false, peer_closed = false;
  int answer = 0;
  std::string caption, text;
  bool owned_by_main = false;
  std::unique_ptr<Child> person;  // presses OK once the box has seen it all
};
Transfer* transfer = nullptr;

void PressOk() {
  QMessageBox* box = OpenBox();
  if (box == nullptr) return;
  transfer->caption = box->windowTitle().toStdString();
  transfer->text = box->text().toStdString();
  transfer->owned_by_main = box->windowHandle()->transientParent() == MainWidget()->windowHandle();
  QPoint ok = CentreOf(box->button(QMessageBox::Ok));
  transfer->person = std::make_unique<Child>(std::vector<std::string>{
      "xdotool", "mousemove", std::to_string(ok.x()), std::to_string(ok.y()), "click", "1"});
}

LRESULT CALLBACK TransferProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSocketMessage && WSAGETSELECTEVENT(lParam) == FD_READ) {
    char byte;
    if (recv(transfer->socket, &byte, 1, 0) == 1) transfer->received += byte;
    if (++transfer->reads == 1) {
      transfer->in_box = true;
      transfer->answer = MessageBoxA(MainWindow, "Connection broken", kErrorCaption, MB_OK);
      transfer->in_box = false;
    }
    return 0;
  }
  if (message == kSocketMessage) {
    ++transfer->closes;
    // A second failure while the box waits goes to the error stream.
    MessageBoxA(MainWindow, "Connection closed", kErrorCaption, MB_OK);
    PressOk();
    return 0;
  }
  if (message == WM_TIMER) {
    if (!transfer->in_box) return 0;
    ++transfer->ticks_in_box;
    if (transfer->ticks_in_box == 1) peertest::SendAll(transfer->peer, "b");
    if (transfer->reads == 2 && !transfer->peer_closed) {
      peertest::Close(transfer->peer);
      transfer->peer_closed = true;
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

using DesktopMessageBoxTest = DesktopTest;

TEST_F(DesktopMessageBoxTest, TimersAndSocketsGoOnWhileTheBoxWaits) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = TransferProc;
  window_class.hInstance = LayerProgramInstance();
  window_class.lpszClassName = "TransferWindow";
  ASSERT_NE(RegisterClassA(&window_class), 0);
  HWND window = CreateWindowExA(0, "TransferWindow", "", 0, 0, 0, 10, 10, nullptr, nullptr,
                                LayerProgramInstance(), nullptr);
  ASSERT_NE(window, nullptr);

  Transfer state;
  transfer = &state;
  peertest::Listener listener;
  state.socket = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(listener.port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(state.socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  state.peer = listener.Accept();
  ASSERT_GE(state.peer, 0);
  ASSERT_EQ(WSAAsyncSelect(state.socket, window, kSocketMessage, FD_READ | FD_CLOSE), 0);
  SetTimer(window, kTickTimer, 30, nullptr);

  testsupport::StderrCapture errors;
  peertest::SendAll(state.peer, "a");
  EXPECT_TRUE(PumpUntil([&] { return state.answer != 0; }, 15000)) << "the box was never answered";
  std::string written = errors.Finish();

  EXPECT_EQ(state.answer, IDOK);
  EXPECT_EQ(state.caption, kErrorCaption);
  EXPECT_EQ(state.text, "Connection broken");
  EXPECT_TRUE(state.owned_by_main) << "the box is not transient for the main window";
  EXPECT_EQ(state.received, "ab");
  EXPECT_EQ(state.reads, 2);
  EXPECT_EQ(state.closes, 1);
  EXPECT_GE(state.ticks_in_box, 2);
  EXPECT_EQ(written, "Error: Connection closed\n");
  EXPECT_EQ(LayerMessageBoxes().size(), 2u);
  EXPECT_TRUE(PumpUntil([] { return OpenBox() == nullptr; }));
  closesocket(state.socket);
  transfer = nullptr;
}

TEST_F(DesktopMessageBoxTest, BoxOfAHiddenWindowStillHasItsOwner) {
  ShowWindow(MainWindow, SW_HIDE);
  Transfer state;
  transfer = &state;
  // Answered by the person as soon as it shows.
  SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
    if (OpenBox() == nullptr || transfer->person) return;
    KillTimer(nullptr, id);
    PressOk();
  });
  EXPECT_EQ(MessageBoxA(MainWindow, "\x90\xda\x91\xb1\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1", "Error", MB_OK),
            IDOK);  // 接続できません
  EXPECT_EQ(state.text, "接続できません");
  EXPECT_TRUE(state.owned_by_main);
  EXPECT_FALSE(MainWidget()->isVisible());
  transfer = nullptr;
}

}  // namespace
}  // namespace desktoptest
