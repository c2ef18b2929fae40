// The desktop view's parts, shared by its files: the program's table, what a
// window shows, the widgets that show it, and the one-instance socket. Only
// this folder includes Qt. The module calls nothing of the program's except
// through the table; windows.h is here for the Windows constants alone.
#pragma once

#include <windows.h>

#include <QIcon>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <optional>

#include "layer_view_host.h"

namespace layer::qt {

// The table the program handed over when the module was opened.
const LayerViewHost& Host();

// What one window shows, copied from the program; items for combo boxes.
struct Look {
  LayerWindowSnapshot window;
  QString text;
  QStringList items;
};
// Nothing when the program has destroyed the window (possibly while it
// handled the action just reported) or is destroying it.
std::optional<Look> LookAt(uint32_t id);
QIcon IconOf(const void* icon);

// A widget that shows one window of the program. Sync brings it in line
// with what the program holds without reporting anything.
class WindowWidget {
 public:
  explicit WindowWidget(uint32_t id) : id_(id) {}
  virtual ~WindowWidget() = default;
  virtual QWidget* widget() = 0;
  virtual void Sync(const Look& look) = 0;
  uint32_t id() const { return id_; }

 protected:
  bool Alive() const {
    LayerWindowSnapshot window;
    return Host().window(id_, &window) != 0;
  }

 private:
  uint32_t id_;
};

// A top-level window, or a child control inside `parent`.
WindowWidget* CreateTopLevelWidget(const Look& look);
WindowWidget* CreateControlWidget(const Look& look, QWidget* parent);

// Geometry of the client area Windows would leave inside a top-level
// window of `width` x `height` with a fixed caption frame.
QSize ClientSize(const LayerWindowSnapshot& window);

}  // namespace layer::qt
