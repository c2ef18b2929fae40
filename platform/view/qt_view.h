// The desktop view's parts, shared by its files: text at the boundary, the
// widgets that show the model's windows and controls, and the one-instance
// socket. Only this folder includes Qt.
#pragma once

#include <windows.h>

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "instance_socket.h"
#include "layer_model.h"

namespace layer::qt {

// The layer's ANSI code page (CP932) to and from what Qt shows. A text
// that CP932 cannot hold has no ANSI form: nullopt, never a lossy copy.
QString FromAnsi(std::string_view text);
std::optional<std::string> ToAnsi(const QString& text);

// A widget that shows one window of the model. Sync brings it in line with
// the model without sending anything to the program.
class WindowWidget {
 public:
  explicit WindowWidget(uint32_t id) : id_(id) {}
  virtual ~WindowWidget() = default;
  virtual QWidget* widget() = 0;
  virtual void Sync(const Window& window) = 0;
  uint32_t id() const { return id_; }

 protected:
  // The model's entry, or null once the program has destroyed the window
  // (possibly while it handled the notification just sent).
  Window* Model() const { return FindId(id_); }
  HWND Handle() const { return HandleOf(id_); }

 private:
  uint32_t id_;
};

// A top-level window, or a child control inside `parent`.
WindowWidget* CreateTopLevelWidget(const Window& window);
WindowWidget* CreateControlWidget(const Window& window, QWidget* parent);

// Geometry of the client area Windows would leave inside a top-level
// window of `width` x `height` with a fixed caption frame.
QSize ClientSize(const Window& window);

}  // namespace layer::qt
