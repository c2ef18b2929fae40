// The desktop view: shows the program's windows, controls, message boxes and
// notification-area icons with Qt Widgets, and joins Qt's event handling
// to the program's one wait. The program hands its table to the one entry
// point below and gets the view's back.
#include <poll.h>
#include <xcb/xcb.h>

#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include <utility>

#include "qt_view.h"

namespace layer::qt {

namespace {
LayerViewHost host_table{};
}  // namespace

const LayerViewHost& Host() { return host_table; }

QIcon IconOf(const void* icon) {
  LayerIconPicture image;
  if (icon == nullptr || Host().icon_image(icon, &image) == 0) return QIcon();
  QImage picture(image.width, image.height, QImage::Format_RGB32);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      picture.setPixel(x, y, 0xFF000000u | image.palette[image.pixels[y * image.width + x] & 0x0F]);
  return QIcon(QPixmap::fromImage(picture));
}

namespace {

constexpr UINT kIconTypeMask = 0xF0;  // MB_ICONHAND and its kin

// The buttons of a box by its MB_ type, with the answer each gives.
struct BoxButton {
  QMessageBox::StandardButton button;
  int answer;
};
std::vector<BoxButton> ButtonsOf(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
      return {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
    case MB_YESNOCANCEL:
      return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO: return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case MB_RETRYCANCEL: return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_CANCELTRYCONTINUE:
      return {{QMessageBox::Cancel, IDCANCEL}, {QMessageBox::Retry, IDTRYAGAIN}, {QMessageBox::Ignore, IDCONTINUE}};
    default: return {{QMessageBox::Ok, IDOK}};
  }
}

QMessageBox::Icon BoxIcon(UINT type) {
  switch (type & kIconTypeMask) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

class QtView final {
 public:
  QtView() {
    wake_timer_.setSingleShot(true);
    wake_timer_.setTimerType(Qt::PreciseTimer);
  }

  ~QtView() {
    notifiers_.clear();
    tray_.clear();
    for (auto& [id, entry] : widgets_)
      if (entry.widget && entry.widget->parent() == nullptr) delete entry.widget.data();
    widgets_.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  int ShowMessageBox(uint32_t owner, const QString& caption, const QString& text, UINT type, int default_answer);
  void WindowChanged(uint32_t id);
  void WindowDestroyed(uint32_t id);
  void TrayChanged();
  int Wait(pollfd* fds, size_t count, int timeout_ms);
  uint32_t TrackMenu(const LayerMenuEntry* entries, size_t count, QPoint at);

 private:
  struct Entry {
    QPointer<QWidget> widget;
    WindowWidget* view = nullptr;  // the same object; valid while `widget` is
  };
  struct TrayEntry {
    std::unique_ptr<QSystemTrayIcon> icon;
    const void* shown_icon = nullptr;
  };
  struct Watch {
    std::unique_ptr<QSocketNotifier> read, write;
  };

  QWidget* WidgetOf(uint32_t id) {
    auto it = widgets_.find(id);
    return it != widgets_.end() ? it->second.widget.data() : nullptr;
  }
  // The widget that shows `window`, made on first sight; null for a child
  // whose parent has none yet.
  WindowWidget* Ensure(const Look& look);
  void WatchOnly(pollfd* fds, size_t count);
  // Runs the program's loop until `done`; Qt's own events are handled
  // inside its waits.
  void RunProgramUntil(const bool& done);

  std::map<uint32_t, Entry> widgets_;
  std::map<std::pair<uint32_t, uint32_t>, TrayEntry> tray_;  // by owner and icon id
  std::map<int, Watch> notifiers_;
  QTimer wake_timer_;
  int modal_depth_ = 0;  // message boxes and menus open
};

WindowWidget* QtView::Ensure(const Look& look) {
  const LayerWindowSnapshot& window = look.window;
  auto it = widgets_.find(window.id);
  if (it != widgets_.end()) return it->second.widget ? it->second.view : nullptr;
  WindowWidget* view;
  if (window.parent == 0) {
    view = CreateTopLevelWidget(look);
  } else {
    QWidget* parent = WidgetOf(window.parent);
    if (parent == nullptr) {
      std::optional<Look> parent_look = LookAt(window.parent);
      if (!parent_look || Ensure(*parent_look) == nullptr) return nullptr;
      parent = WidgetOf(window.parent);
    }
    view = CreateControlWidget(look, parent);
  }
  widgets_[window.id] = Entry{view->widget(), view};
  return view;
}

void QtView::WindowChanged(uint32_t id) {
  std::optional<Look> look = LookAt(id);
  if (!look) return;
  WindowWidget* view = Ensure(*look);
  if (view == nullptr) return;
  // The class icon goes with the window.
  if (look->window.parent == 0 && look->window.icon != nullptr && view->widget()->windowIcon().isNull())
    view->widget()->setWindowIcon(IconOf(look->window.icon));
  view->Sync(*look);
}

void QtView::WindowDestroyed(uint32_t id) {
  auto it = widgets_.find(id);
  if (it == widgets_.end()) return;
  if (QWidget* widget = it->second.widget) {
    // Later: the widget may be the one whose event handler is running now.
    widget->hide();
    widget->deleteLater();
  }
  widgets_.erase(it);
}

// A click on an icon is the program's to answer.
uint32_t GestureOf(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::DoubleClick: return kLayerTrayDoubleClick;
    case QSystemTrayIcon::Context: return kLayerTrayContextClick;
    case QSystemTrayIcon::MiddleClick: return kLayerTrayMiddleClick;
    default: return kLayerTrayClick;
  }
}

void QtView::TrayChanged() {
  std::map<std::pair<uint32_t, uint32_t>, TrayEntry> kept;
  uint32_t count = Host().tray_count();
  for (uint32_t i = 0; i < count; ++i) {
    LayerTraySnapshot icon;
    if (Host().tray_icon(i, &icon) == 0) continue;
    auto key = std::make_pair(icon.owner, icon.icon_id);
    TrayEntry entry;
    if (auto it = tray_.find(key); it != tray_.end()) {
      entry = std::move(it->second);
      tray_.erase(it);
    } else {
      entry.icon = std::make_unique<QSystemTrayIcon>();
      QObject::connect(entry.icon.get(), &QSystemTrayIcon::activated,
                       [key](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Unknown) return;
                         Host().tray_clicked(key.first, key.second, GestureOf(reason));
                       });
    }
    if (icon.icon != entry.shown_icon) {
      entry.icon->setIcon(IconOf(icon.icon));
      entry.shown_icon = icon.icon;
    }
    entry.icon->setToolTip(QString::fromUtf8(icon.tip));
    entry.icon->show();
    kept.emplace(key, std::move(entry));
  }
  tray_ = std::move(kept);  // icons no longer in the model go with the old map
}

void QtView::RunProgramUntil(const bool& done) {
  ++modal_depth_;
  while (!done) {
    int handled = Host().pump_message();
    if (handled == 0) break;  // the quit message, left for the outer loop
    // Only a test's stopped clock gets here; wait for the person instead.
    if (handled < 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  --modal_depth_;
}

// A popup menu as the tray shows one: Qt's menu, while the program's loop
// goes on. Qt hides the menu before it reports the action chosen, so the
// end is queued behind that report.
uint32_t QtView::TrackMenu(const LayerMenuEntry* entries, size_t count, QPoint at) {
  auto menu = std::make_unique<QMenu>();
  std::vector<QMenu*> levels{menu.get()};
  std::map<QMenu*, QActionGroup*> groups;
  uint32_t chosen = 0;
  bool done = false;
  for (size_t i = 0; i < count; ++i) {
    const LayerMenuEntry& entry = entries[i];
    size_t depth = static_cast<size_t>(std::max(0, entry.depth));
    if (depth >= levels.size()) continue;  // a line below no title
    levels.resize(depth + 1);
    QMenu* into = levels.back();
    QString text = QString::fromUtf8(entry.text);
    if ((entry.flags & kLayerMenuSeparator) != 0) {
      into->addSeparator();
      continue;
    }
    if ((entry.flags & kLayerMenuSubmenu) != 0) {
      QMenu* sub = into->addMenu(text);
      sub->setEnabled((entry.flags & kLayerMenuGrayed) == 0);
      levels.push_back(sub);
      continue;
    }
    QAction* action = into->addAction(text);
    action->setEnabled((entry.flags & kLayerMenuGrayed) == 0);
    bool radio = (entry.flags & kLayerMenuRadio) != 0;
    action->setCheckable((entry.flags & kLayerMenuChecked) != 0 || radio);
    action->setChecked((entry.flags & kLayerMenuChecked) != 0);
    if (radio) {
      QActionGroup*& group = groups[into];
      if (group == nullptr) group = new QActionGroup(into);
      group->addAction(action);
    }
    uint32_t id = entry.id;
    QObject::connect(action, &QAction::triggered, [&chosen, id] { chosen = id; });
  }
  QObject::connect(menu.get(), &QMenu::aboutToHide, [&done] {
    QTimer::singleShot(0, [&done] {
      done = true;
      Host().wake_loop();
    });
  });
  menu->popup(at);
  RunProgramUntil(done);
  menu->hide();
  // Qt may still hold the menu in the event it is handling; let it go
  // from the loop rather than here.
  menu.release()->deleteLater();
  return chosen;
}

// Qt's dispatcher watches the loop's descriptors for the length of a wait.
// A notifier only wakes the wait; which descriptors are ready is asked of
// poll itself afterwards, so the loop sees exactly what poll would report.
void QtView::WatchOnly(pollfd* fds, size_t count) {
  std::map<int, Watch> watching;
  for (size_t i = 0; i < count; ++i) {
    Watch watch;
    if (auto it = notifiers_.find(fds[i].fd); it != notifiers_.end()) {
      watch = std::move(it->second);
      notifiers_.erase(it);
    }
    auto want = [&](std::unique_ptr<QSocketNotifier>& notifier, bool wanted, QSocketNotifier::Type type) {
      if (!wanted) {
        notifier.reset();
        return;
      }
      if (!notifier) {
        notifier = std::make_unique<QSocketNotifier>(fds[i].fd, type);
        QSocketNotifier* raw = notifier.get();
        // Level-triggered: quiet until the next wait, which polls for it.
        QObject::connect(raw, &QSocketNotifier::activated, [raw] { raw->setEnabled(false); });
      }
      notifier->setEnabled(true);
    };
    want(watch.read, (fds[i].events & POLLIN) != 0, QSocketNotifier::Read);
    want(watch.write, (fds[i].events & POLLOUT) != 0, QSocketNotifier::Write);
    watching[fds[i].fd] = std::move(watch);
  }
  notifiers_ = std::move(watching);  // descriptors no longer watched are let go
}

int QtView::Wait(pollfd* fds, size_t count, int timeout_ms) {
  WatchOnly(fds, count);
  if (timeout_ms == 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  } else {
    if (timeout_ms > 0) wake_timer_.start(timeout_ms);
    // Returns once Qt has handled something: input, a notifier, the timer.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    wake_timer_.stop();
  }
  // Qt frees what was put aside for deletion only in a loop of its own;
  // the program's loop is that loop. Inside a message box some widget's
  // handler may still be running, so only the outermost wait frees.
  if (modal_depth_ == 0) QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  int ready;
  do {
    ready = poll(fds, count, 0);
  } while (ready < 0 && errno == EINTR);
  return ready;
}

// A modal box owned by the window, as Windows shows one: the owner's
// messages, timers and socket events go on being dispatched meanwhile.
int QtView::ShowMessageBox(uint32_t owner, const QString& caption, const QString& text, UINT type,
                           int default_answer) {
  QWidget* parent = nullptr;
  if (std::optional<Look> look = LookAt(owner))
    if (WindowWidget* view = Ensure(*look)) parent = view->widget();
  // A transient box needs its owner's native window, shown or not.
  if (parent != nullptr) parent->winId();
  QPointer<QMessageBox> box = new QMessageBox(BoxIcon(type), caption, text, QMessageBox::NoButton, parent);
  box->setTextFormat(Qt::PlainText);
  std::vector<BoxButton> buttons = ButtonsOf(type);
  for (const BoxButton& b : buttons) {
    QPushButton* button = box->addButton(b.button);
    if (b.answer == default_answer) box->setDefaultButton(button);
  }
  box->setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);

  bool done = false;
  int answer = default_answer;
  auto finish = [&done] {
    done = true;
    Host().wake_loop();  // ends the wait below
  };
  QObject::connect(box, &QMessageBox::finished, box, [&, box = box.data()] {
    for (const BoxButton& b : buttons)
      if (box->clickedButton() == box->button(b.button)) answer = b.answer;
    finish();
  });
  QObject::connect(box, &QObject::destroyed, [&] {
    if (!done) finish();
  });
  box->show();
  RunProgramUntil(done);
  if (box) {
    QObject::disconnect(box, &QObject::destroyed, nullptr, nullptr);
    box->hide();
    box->deleteLater();
  }
  return answer;
}

// Qt ends the process when no platform it was told to try comes up, so the
// display is tried first, and Qt is told to fall back to its platform that
// needs no display: a display that goes in between leaves a whole, working
// Qt on that one, which is then put away like any other.
constexpr char kFallbackPlatform[] = "minimal";

// The platform to open, in QT_QPA_PLATFORM; false with the reason when
// there is no display to open. `probe` stays connected until Qt has a
// connection of its own: an X server whose last client leaves resets, and
// turns away whoever connects meanwhile.
bool DisplayReachable(const char** reason, xcb_connection_t** probe) {
  const char* forced = std::getenv("QT_QPA_PLATFORM");
  std::string platform = forced != nullptr ? forced : "";
  const char* display = std::getenv("DISPLAY");
  if (platform.empty() || platform.rfind("xcb", 0) == 0) {
    if (display != nullptr && display[0] != '\0') {
      xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
      if (xcb_connection_has_error(connection) == 0) {
        *probe = connection;
        if (platform.empty()) setenv("QT_QPA_PLATFORM", "xcb", 1);
        return true;
      }
      xcb_disconnect(connection);
      if (!platform.empty()) {
        *reason = "cannot open the X display";
        return false;
      }
    }
    QString wayland = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so";
    const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
    if (wayland_display == nullptr || wayland_display[0] == '\0' || !QFile::exists(wayland)) {
      *reason = "cannot open the display";
      return false;
    }
    setenv("QT_QPA_PLATFORM", "wayland", 1);
  }
  return true;
}

// What Qt says while it opens the display: held back, and passed on only
// once the display opened, so that a display that went away costs the one
// line the program says itself, with Qt's first word as the reason.
struct HeldWord {
  QtMsgType type;
  QByteArray category;
  QString text;
};
QtMessageHandler earlier_handler = nullptr;
std::mutex held_lock;  // the connection's own threads may speak too
std::vector<HeldWord> held_words;

void HoldPlatformWords(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    std::lock_guard<std::mutex> hold(held_lock);
    held_words.push_back({type, context.category, text});
    return;
  }
  earlier_handler(type, context, text);
}

// The application on a platform QT_QPA_PLATFORM names, which it then names
// alone; null with the reason when Qt could only come up on the fallback.
QApplication* OpenApplication(const char* program, const char** reason) {
  // Qt keeps the arguments for the application's life.
  static std::string platforms;
  static int argc;
  static char* argv[4];
  const char* named = std::getenv("QT_QPA_PLATFORM");
  platforms = std::string(named != nullptr ? named : "") + ";" + kFallbackPlatform;
  argc = 3;
  argv[0] = const_cast<char*>(program);
  argv[1] = const_cast<char*>("-platform");
  argv[2] = platforms.data();
  argv[3] = nullptr;
  earlier_handler = qInstallMessageHandler(HoldPlatformWords);
  auto* application = new QApplication(argc, argv);
  qInstallMessageHandler(earlier_handler);
  std::vector<HeldWord> words;
  {
    std::lock_guard<std::mutex> hold(held_lock);
    words.swap(held_words);
  }
  std::string opened = QGuiApplication::platformName().toStdString();
  if (opened != kFallbackPlatform || platforms.starts_with(std::string(kFallbackPlatform) + ";")) {
    for (const HeldWord& word : words)
      earlier_handler(word.type, QMessageLogContext(nullptr, 0, nullptr, word.category.constData()), word.text);
    // The instance socket is named after the display of this platform.
    setenv("QT_QPA_PLATFORM", opened.c_str(), 1);
    return application;
  }
  delete application;
  static std::string said;
  said = words.empty() ? "cannot open the display" : words.front().text.toStdString();
  *reason = said.c_str();
  return nullptr;
}

QtView* the_view = nullptr;
QApplication* the_application = nullptr;

}  // namespace
}  // namespace layer::qt

// The view's side of the table: the program calls these only between
// opening and closing the module.
namespace layer::qt {
namespace {

const LayerViewModule kModule = {
    .show_message_box = [](uint32_t owner, const char* caption, const char* text, uint32_t type,
                           int32_t default_answer) -> int {
      return the_view->ShowMessageBox(owner, QString::fromUtf8(caption), QString::fromUtf8(text), type,
                                      default_answer);
    },
    .window_changed = [](uint32_t id) { the_view->WindowChanged(id); },
    .window_destroyed = [](uint32_t id) { the_view->WindowDestroyed(id); },
    .tray_changed = [] { the_view->TrayChanged(); },
    .wait = [](pollfd* fds, size_t count, int timeout_ms) { return the_view->Wait(fds, count, timeout_ms); },
    .monitor_count = [] { return static_cast<int>(QGuiApplication::screens().size()); },
    .track_menu = [](const LayerMenuEntry* entries, size_t count, int32_t x, int32_t y) -> uint32_t {
      return the_view->TrackMenu(entries, count, QPoint(x, y));
    },
    .cursor_position =
        [](int32_t* x, int32_t* y) {
          QPoint at = QCursor::pos();
          *x = at.x();
          *y = at.y();
        },
    .close =
        [] {
          delete the_view;
          the_view = nullptr;
          delete the_application;
          the_application = nullptr;
        },
};

}  // namespace
}  // namespace layer::qt

extern "C" __attribute__((visibility("default"))) int32_t SkerrowViewOpen(const LayerViewHost* host,
                                                                          LayerViewModule* module,
                                                                          const char* program,
                                                                          const char** reason) {
  using namespace layer::qt;
  // A program built against another table would call through the wrong
  // entries; it runs without a window instead.
  if (host == nullptr || host->version != kLayerViewVersion || host->size != sizeof(LayerViewHost)) {
    static char refusal[96];
    std::snprintf(refusal, sizeof refusal, "the view module wants table version %u, the program offers %u",
                  static_cast<unsigned>(kLayerViewVersion), host != nullptr ? static_cast<unsigned>(host->version) : 0u);
    *reason = refusal;
    return kLayerViewFailed;
  }
  if (the_view != nullptr) {
    *reason = "the view is open already";
    return kLayerViewFailed;
  }
  xcb_connection_t* probe = nullptr;
  if (!DisplayReachable(reason, &probe)) return kLayerViewFailed;
  host_table = *host;
  the_application = OpenApplication(program, reason);
  if (probe != nullptr) xcb_disconnect(probe);
  if (the_application == nullptr) return kLayerViewFailed;
  QApplication::setQuitOnLastWindowClosed(false);
  the_view = new QtView;
  *module = kModule;
  return kLayerViewOpened;
}
