#include "desktop_helpers.h"

#include <stdlib.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <chrono>
#include <optional>

#include "app_constants.h"
#include "app_globals.h"
#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"
#include "test_support.h"

namespace desktoptest {
namespace {

std::vector<Note>* current_notes = nullptr;
testsupport::TempDir* runtime_dir = nullptr;

// Writes down what reaches the window procedure, then hands it on.
LRESULT CALLBACK NoteProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  bool noted = message == WM_COMMAND || message == WM_HSCROLL || message == WM_SYSCOMMAND || message == TrayMessage;
  if (noted && current_notes != nullptr) current_notes->push_back(Note{message, wParam});
  return MainWindowProc(window, message, wParam, lParam);
}

std::string Describe(const std::vector<Note>& notes) {
  std::string out;
  for (const Note& n : notes)
    out += "  " + std::to_string(n.message) + " code " + std::to_string(HIWORD(n.wParam)) + " low " +
           std::to_string(LOWORD(n.wParam)) + "\n";
  return out;
}

}  // namespace

std::unique_ptr<XServer> DesktopTest::session_;

void DesktopTest::SetUpTestSuite() {
  session_ = std::make_unique<XServer>("", true);
  ASSERT_TRUE(session_->ok()) << "no private X display with a tray host";
  // The program's socket and Qt's runtime files stay in the test's folder;
  // without a session bus Qt uses the X11 tray the host offers.
  runtime_dir = new testsupport::TempDir;
  chmod(runtime_dir->path().c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", runtime_dir->path().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  // This program is not the program: it shows the layer where the build put
  // the view module.
  LayerSetModuleFolder(SKERROW_BUILD_DIR "/app");
  ASSERT_EQ(layer::StartDesktopView("desktop_test"), layer::DesktopStart::kDesktop);
}

void DesktopTest::TearDownTestSuite() {
  layer::StopDesktopView();
  session_.reset();
  delete runtime_dir;
  runtime_dir = nullptr;
}

void DesktopTest::SetUp() {
  ASSERT_TRUE(session_ && session_->ok());
  AppTest::SetUp();
  LayerUseRealClock();
  quit_code.reset();
  Start(nullptr);
  layer::Find(MainWindow)->proc = NoteProc;
  current_notes = &notes_;
  ASSERT_TRUE(PumpUntil([] {
    QWidget* main = MainWidget();
    return main != nullptr && main->windowHandle() != nullptr && main->windowHandle()->isExposed();
  })) << "the main window never appeared";
}

void DesktopTest::TearDown() {
  current_notes = nullptr;
  AppTest::TearDown();
  PumpUntil([] { return false; }, 50);  // lets the view drop its widgets
}

void DesktopTest::ExpectNotes(const std::vector<Note>& expected, const std::string& step) {
  std::vector<Note> got = notes_;
  notes_.clear();
  if (got != expected) ADD_FAILURE() << step << ": expected\n" << Describe(expected) << "got\n" << Describe(got);
}

std::optional<WPARAM> quit_code;

bool PumpUntil(const std::function<bool()>& done, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  // A short thread timer keeps every wait bounded by the deadline.
  UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
  MSG msg;
  bool reached = done();
  while (!reached && std::chrono::steady_clock::now() < until) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) quit_code = msg.wParam;
    if (got <= 0) break;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    reached = done();
  }
  KillTimer(nullptr, timer);
  return done();
}

void Xdo(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  Child xdotool(argv);
  bool ended = PumpUntil([&] { return xdotool.Ended(); }, 10000);
  // Input that ends the program leaves no loop to pump; the rest of it
  // still runs to its end.
  if (!ended && quit_code) ended = testsupport::WaitFor([&] { return xdotool.Ended(); });
  EXPECT_TRUE(ended) << "xdotool did not finish";
  // The server has the input; let the window take it.
  PumpUntil([] { return false; }, 200);
}

void ClickAt(QPoint global) {
  Xdo({"mousemove", std::to_string(global.x()), std::to_string(global.y()), "click", "1"});
}

QWidget* MainWidget() {
  QString caption = QString::fromStdString(LayerCp932ToUtf8(kMainCaption));
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->windowTitle() == caption && widget->isWindow() && widget->parent() == nullptr) return widget;
  return nullptr;
}

QWidget* ControlWidget(int id) {
  QWidget* main = MainWidget();
  const layer::Window* control = layer::Find(GetDlgItem(MainWindow, id));
  if (main == nullptr || control == nullptr) return nullptr;
  QWidget* widget = main->childAt(control->x + control->width / 2, control->y + 8);
  while (widget != nullptr && widget->parentWidget() != main) widget = widget->parentWidget();
  return widget;
}

QPoint CentreOf(const QWidget* widget) { return widget->mapToGlobal(widget->rect().center()); }

QImage Screenshot() {
  QWidget* main = MainWidget();
  if (main == nullptr) return QImage();
  return QGuiApplication::primaryScreen()->grabWindow(main->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

void WriteTinyBitmap(const std::string& path) {
  std::string bytes = "BM";
  auto put = [&](uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(70, 4);  // file size
  put(0, 4);
  put(54, 4);  // pixels' offset
  put(40, 4);  // info header size
  put(2, 4);   // width
  put(2, 4);   // height
  put(1, 2);   // planes
  put(24, 2);  // bits per pixel
  put(0, 4);   // no compression
  put(16, 4);  // pixel bytes
  put(2835, 4);
  put(2835, 4);
  put(0, 4);
  put(0, 4);
  bytes += std::string("\x00\x00\xff\x00\xff\x00\x00\x00\xff\x00\x00\xff\xff\xff\x00\x00", 16);
  testsupport::WriteFile(path, bytes);
}

void ExpectLooksLike(const QImage& shot, const std::string& reference) {
  std::string path = std::string(SKERROW_TESTS_DIR) + "/view/" + reference;
  shot.save(QString::fromStdString(std::string(SKERROW_BUILD_DIR) + "/" + reference));
  QImage expected(QString::fromStdString(path));
  if (expected.isNull() && std::getenv("SKERROW_UPDATE_PICTURES") != nullptr) {
    shot.save(QString::fromStdString(path));
    return;
  }
  ASSERT_FALSE(expected.isNull()) << "no reference picture " << path;
  expected = expected.convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shot.size(), expected.size());
  // Font rendering may move a few pixels; anything more is a change.
  int differing = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      QRgb a = shot.pixel(x, y), b = expected.pixel(x, y);
      int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
      if (d > 64) ++differing;
    }
  }
  EXPECT_LT(differing, shot.width() * shot.height() / 50) << reference << ": " << differing << " pixels differ";
}

}  // namespace desktoptest
