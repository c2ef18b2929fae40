// The widgets that show the model's windows. Each turns a person's actions
// into the messages Windows would send, in Windows' order, and shows only
// what the model holds: nothing moves or toggles on its own.
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QWindowStateChangeEvent>

#include <algorithm>

#include "layer_control.h"
#include "qt_view.h"

namespace layer::qt {
namespace {

// Windows' frame around a window with a caption and no sizing border.
constexpr int kFrameWidth = 3;
constexpr int kCaptionHeight = 22;

void SyncCommon(QWidget* widget, const Window& window, int height) {
  widget->setGeometry(window.x, window.y, window.width, height);
  widget->setEnabled(window.enabled);
  widget->setVisible(window.visible);
}

// What the user typed, taken into the model before the program hears of
// it, as an edit control does. False when the model cannot hold it.
bool TakeTypedText(Window& window, const QString& typed) {
  std::optional<std::string> ansi = ToAnsi(typed);
  if (!ansi || (window.text_limit != 0 && ansi->size() > window.text_limit)) return false;
  SetWindowTextInternal(window, *ansi);
  return true;
}

// Puts back the model's text after a refused keystroke, the cursor where
// the refused text began.
void RefuseTyping(QLineEdit* edit, const Window& window) {
  int cursor = edit->cursorPosition();
  QString text = FromAnsi(window.text);
  int removed = edit->text().size() - text.size();
  edit->setText(text);
  edit->setCursorPosition(std::clamp(cursor - removed, 0, static_cast<int>(text.size())));
  QApplication::beep();
}

void SetTextKeepingCursor(QLineEdit* edit, const QString& text) {
  if (edit->text() == text) return;
  int cursor = edit->cursorPosition();
  edit->setText(text);
  edit->setCursorPosition(std::min(cursor, static_cast<int>(text.size())));
}

class TopLevel final : public QWidget, public WindowWidget {
 public:
  explicit TopLevel(const Window& window) : WindowWidget(window.id) {
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (window.style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (window.style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
    if (window.style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
    setWindowFlags(flags);
    // The class brush; the program never paints its client area.
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    move(window.x, window.y);
  }
  QWidget* widget() override { return this; }

  void Sync(const Window& window) override {
    syncing_ = true;
    setWindowTitle(FromAnsi(window.text));
    QSize client = ClientSize(window);
    if ((window.style & WS_THICKFRAME) == 0) setFixedSize(client);
    setEnabled(window.enabled);
    if (!window.visible) {
      hide();
    } else if (window.minimized) {
      showMinimized();
    } else {
      bool was_hidden = !isVisible() || isMinimized();
      showNormal();
      if (was_hidden) {
        raise();
        activateWindow();
      }
    }
    syncing_ = false;
  }

 protected:
  // The close button: WM_SYSCOMMAND SC_CLOSE, whose default handling
  // closes the window; Qt itself closes nothing.
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    if (Model() != nullptr) SendMessageA(Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  }

  // The desktop minimized or restored the window: the program decides what
  // that means, and the widget then shows the model's answer.
  void changeEvent(QEvent* event) override {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || syncing_) return;
    Window* window = Model();
    if (window == nullptr) return;
    bool minimized = (windowState() & Qt::WindowMinimized) != 0;
    if (minimized == window->minimized) return;
    uint32_t id = this->id();
    // Deferred: the desktop is still in the middle of its state change.
    QTimer::singleShot(0, this, [this, id, minimized] {
      Window* now = FindId(id);
      if (now == nullptr) return;
      SendMessageA(HandleOf(id), WM_SYSCOMMAND, minimized ? SC_MINIMIZE : SC_RESTORE, 0);
      if ((now = FindId(id)) != nullptr) Sync(*now);
    });
  }

 private:
  bool syncing_ = false;
};

class EditField final : public QLineEdit, public WindowWidget {
 public:
  EditField(const Window& window, QWidget* parent) : QLineEdit(parent), WindowWidget(window.id) {
    setFrame((window.style & WS_BORDER) != 0);
    if (window.style & ES_RIGHT) setAlignment(Qt::AlignRight);
    if (window.style & ES_PASSWORD) setEchoMode(QLineEdit::Password);
    connect(this, &QLineEdit::textEdited, this, [this](const QString& typed) { Typed(typed); });
  }
  QWidget* widget() override { return this; }
  void Sync(const Window& window) override {
    SyncCommon(this, window, window.height);
    setReadOnly((window.style & ES_READONLY) != 0);
    SetTextKeepingCursor(this, FromAnsi(window.text));
  }

 private:
  void Typed(const QString& typed) {
    Window* window = Model();
    if (window == nullptr) return;
    if (!TakeTypedText(*window, typed)) {
      RefuseTyping(this, *window);
      return;
    }
    uint32_t id = this->id();
    Notify(*window, EN_UPDATE);
    if (Window* still = FindId(id)) Notify(*still, EN_CHANGE);
  }
};

// A drop-down combo box: an edit field and a list. Its height in the model
// is the height with the list dropped down.
class DropDown final : public QComboBox, public WindowWidget {
 public:
  DropDown(const Window& window, QWidget* parent) : QComboBox(parent), WindowWidget(window.id) {
    bool editable = (window.style & 3) != CBS_DROPDOWNLIST;
    setEditable(editable);
    // The list is the program's: no entries added on Enter, no completion
    // typing ahead of the user.
    setInsertPolicy(QComboBox::NoInsert);
    setDuplicatesEnabled(true);
    if (editable) {
      setCompleter(nullptr);
      // Qt picks the item matching the field when Enter is pressed or the
      // field loses the focus; in this box only a person picks.
      disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
      disconnect(lineEdit(), &QLineEdit::returnPressed, this, nullptr);
      connect(lineEdit(), &QLineEdit::textEdited, this, [this](const QString& typed) { Typed(typed); });
    }
    connect(this, qOverload<int>(&QComboBox::activated), this, [this](int index) { Chosen(index); });
  }
  QWidget* widget() override { return this; }

  void Sync(const Window& window) override {
    syncing_ = true;
    int closed = std::min(window.height, sizeHint().height());
    SyncCommon(this, window, closed);
    int row = std::max(1, fontMetrics().height() + 2);
    setMaxVisibleItems(std::max(1, (window.height - closed) / row));
    QStringList items;
    for (const std::string& item : window.items) items << FromAnsi(item);
    QStringList shown;
    for (int i = 0; i < count(); ++i) shown << itemText(i);
    QString edit_text = FromAnsi(window.text);
    // Changing the list or the selection rewrites Qt's edit field; the
    // person typing keeps their cursor.
    int cursor = isEditable() ? lineEdit()->cursorPosition() : 0;
    if (shown != items) {
      blockSignals(true);
      clear();
      addItems(items);
      blockSignals(false);
    }
    if (currentIndex() != window.selection) {
      blockSignals(true);
      setCurrentIndex(window.selection);
      blockSignals(false);
    }
    if (isEditable() && lineEdit()->text() != edit_text) {
      lineEdit()->setText(edit_text);
      lineEdit()->setCursorPosition(std::min(cursor, static_cast<int>(edit_text.size())));
    }
    if (window.dropped != popup_open_) {
      if (window.dropped) {
        popup_open_ = true;
        QComboBox::showPopup();
      } else {
        popup_open_ = false;
        QComboBox::hidePopup();
      }
    }
    syncing_ = false;
  }

  // The list opens: the program hears of it first, as it may fill the list.
  void showPopup() override {
    if (syncing_) return QComboBox::showPopup();
    Window* window = Model();
    if (window == nullptr) return;
    picked_ = false;
    popup_open_ = true;
    window->dropped = true;
    uint32_t id = this->id();
    Notify(*window, CBN_DROPDOWN);
    if (FindId(id) == nullptr) return;
    QComboBox::showPopup();
  }

  // The list closes. Whether an item was chosen is known only after Qt has
  // finished closing it, so the close-up is told a moment later.
  void hidePopup() override {
    QComboBox::hidePopup();
    if (syncing_ || !popup_open_) return;
    popup_open_ = false;
    if (Window* window = Model()) window->dropped = false;
    uint32_t id = this->id();
    closing_ = true;
    QTimer::singleShot(0, this, [this, id] {
      bool picked = picked_;
      picked_ = false;
      closing_ = false;
      if (Window* window = FindId(id); window != nullptr && !picked) Notify(*window, CBN_SELENDCANCEL);
      if (Window* window = FindId(id)) Notify(*window, CBN_CLOSEUP);
    });
  }

 private:
  void Typed(const QString& typed) {
    Window* window = Model();
    if (window == nullptr) return;
    if (!TakeTypedText(*window, typed)) {
      RefuseTyping(lineEdit(), *window);
      return;
    }
    uint32_t id = this->id();
    Notify(*window, CBN_EDITUPDATE);
    if (Window* still = FindId(id)) Notify(*still, CBN_EDITCHANGE);
  }

  void keyPressEvent(QKeyEvent* event) override {
    keying_ = true;
    QComboBox::keyPressEvent(event);
    keying_ = false;
  }

  // An item chosen from the open list, or by an arrow key in the closed box.
  void Chosen(int index) {
    Window* window = Model();
    if (syncing_ || window == nullptr) return;
    if (!popup_open_ && !closing_ && !keying_) return Sync(*window);  // none of the person's doing
    if (index < 0 || static_cast<size_t>(index) >= window->items.size()) return;
    window->selection = index;
    SetWindowTextInternal(*window, window->items[static_cast<size_t>(index)]);
    uint32_t id = this->id();
    bool from_list = popup_open_ || closing_;
    Notify(*window, CBN_SELCHANGE);
    if (!from_list) return;
    picked_ = true;
    if (Window* still = FindId(id)) Notify(*still, CBN_SELENDOK);
  }

  bool syncing_ = false;
  bool popup_open_ = false;
  bool picked_ = false;
  bool closing_ = false;  // closed, the close-up not yet told
  bool keying_ = false;   // a key press is being handled
};

// Push buttons and check boxes. A click is BM_CLICK to the control, which
// notifies its parent and sets the mark itself only for automatic kinds.
template <typename Base>
class Button final : public Base, public WindowWidget {
 public:
  Button(const Window& window, QWidget* parent) : Base(parent), WindowWidget(window.id) {
    QObject::connect(this, &QAbstractButton::clicked, this, [this] {
      if (Model() != nullptr) SendMessageA(Handle(), BM_CLICK, 0, 0);
    });
  }
  QWidget* widget() override { return this; }
  void Sync(const Window& window) override {
    SyncCommon(this, window, window.height);
    this->setText(FromAnsi(window.text));
    if constexpr (std::is_same_v<Base, QCheckBox>) {
      DWORD type = window.style & BS_TYPEMASK;
      this->setTristate(type == BS_3STATE || type == BS_AUTO3STATE);
      this->setCheckState(window.check == BST_CHECKED         ? Qt::Checked
                          : window.check == BST_INDETERMINATE ? Qt::PartiallyChecked
                                                              : Qt::Unchecked);
    }
  }

 protected:
  // The mark is the model's; a click only asks.
  void nextCheckState() override {}
};

// A scroll bar control. It reports the user's requests as WM_HSCROLL or
// WM_VSCROLL and shows the position the program sets, nothing else.
class ScrollBar final : public QScrollBar, public WindowWidget {
 public:
  ScrollBar(const Window& window, QWidget* parent)
      : QScrollBar((window.style & SBS_VERT) != 0 ? Qt::Vertical : Qt::Horizontal, parent),
        WindowWidget(window.id) {
    setPageStep(10);
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int action) { Requested(action); });
  }
  QWidget* widget() override { return this; }
  void Sync(const Window& window) override {
    SyncCommon(this, window, window.height);
    const ScrollState& scroll = window.scroll[SB_CTL];
    blockSignals(true);
    setRange(scroll.min, scroll.max);
    setValue(scroll.pos);
    setSliderPosition(scroll.pos);
    blockSignals(false);
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    pressed_ = true;
    QScrollBar::mousePressEvent(event);
  }
  // Letting go ends a drag at the last tracked place, and every scroll.
  void mouseReleaseEvent(QMouseEvent* event) override {
    bool dragged = isSliderDown();
    QScrollBar::mouseReleaseEvent(event);
    if (!pressed_) return;
    pressed_ = false;
    uint32_t id = this->id();
    if (dragged) Send(SB_THUMBPOSITION, track_);
    if (FindId(id) != nullptr) Send(SB_ENDSCROLL, 0);
  }
  void keyReleaseEvent(QKeyEvent* event) override {
    QScrollBar::keyReleaseEvent(event);
    if (!event->isAutoRepeat() && requested_by_key_) {
      requested_by_key_ = false;
      Send(SB_ENDSCROLL, 0);
    }
  }
  void keyPressEvent(QKeyEvent* event) override {
    requested_by_key_ = true;
    QScrollBar::keyPressEvent(event);
  }

 private:
  void Requested(int action) {
    int code;
    int position = 0;
    switch (action) {
      case SliderSingleStepSub: code = SB_LINELEFT; break;
      case SliderSingleStepAdd: code = SB_LINERIGHT; break;
      case SliderPageStepSub: code = SB_PAGELEFT; break;
      case SliderPageStepAdd: code = SB_PAGERIGHT; break;
      case SliderToMinimum: code = SB_LEFT; break;
      case SliderToMaximum: code = SB_RIGHT; break;
      case SliderMove:
        code = SB_THUMBTRACK;
        position = track_ = sliderPosition();
        break;
      default: return;
    }
    uint32_t id = this->id();
    Send(code, position);
    // Qt has moved the slider already; put it where the program says.
    if (Window* window = FindId(id)) setSliderPosition(window->scroll[SB_CTL].pos);
  }

  void Send(int code, int position) {
    Window* window = Model();
    if (window == nullptr || FindId(window->parent) == nullptr) return;
    UINT message = orientation() == Qt::Horizontal ? WM_HSCROLL : WM_VSCROLL;
    SendMessageA(HandleOf(window->parent), message, MAKEWPARAM(code, static_cast<WORD>(position)),
                 reinterpret_cast<LPARAM>(Handle()));
  }

  bool pressed_ = false;
  bool requested_by_key_ = false;
  int track_ = 0;
};

class StaticText final : public QLabel, public WindowWidget {
 public:
  StaticText(const Window& window, QWidget* parent) : QLabel(parent), WindowWidget(window.id) {
    DWORD align = window.style & 3;
    Qt::Alignment horizontal = align == SS_RIGHT ? Qt::AlignRight : align == SS_CENTER ? Qt::AlignHCenter : Qt::AlignLeft;
    setAlignment(horizontal | Qt::AlignVCenter);
    setTextFormat(Qt::PlainText);
    if (window.style & WS_BORDER) {
      setFrameStyle(QFrame::Box | QFrame::Plain);
      setLineWidth(1);
    }
    setIndent(2);
  }
  QWidget* widget() override { return this; }
  void Sync(const Window& window) override {
    SyncCommon(this, window, window.height);
    setText(FromAnsi(window.text));
  }
};

// A child of a class the program registered: a plain area.
class Plain final : public QWidget, public WindowWidget {
 public:
  Plain(const Window& window, QWidget* parent) : QWidget(parent), WindowWidget(window.id) {}
  QWidget* widget() override { return this; }
  void Sync(const Window& window) override { SyncCommon(this, window, window.height); }
};

}  // namespace

QSize ClientSize(const Window& window) {
  int width = window.width, height = window.height;
  if (window.style & WS_CAPTION) {
    width -= 2 * kFrameWidth;
    height -= kFrameWidth + kCaptionHeight;
  }
  return QSize(std::max(width, 1), std::max(height, 1));
}

WindowWidget* CreateTopLevelWidget(const Window& window) { return new TopLevel(window); }

WindowWidget* CreateControlWidget(const Window& window, QWidget* parent) {
  switch (window.kind) {
    case ControlKind::kEdit:
      return new EditField(window, parent);
    case ControlKind::kComboBox:
      return new DropDown(window, parent);
    case ControlKind::kButton: {
      DWORD type = window.style & BS_TYPEMASK;
      bool check = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                   type == BS_AUTO3STATE || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
      if (check) return new Button<QCheckBox>(window, parent);
      return new Button<QPushButton>(window, parent);
    }
    case ControlKind::kScrollBar:
      return new ScrollBar(window, parent);
    case ControlKind::kStatic:
      return new StaticText(window, parent);
    default:
      return new Plain(window, parent);
  }
}

}  // namespace layer::qt
