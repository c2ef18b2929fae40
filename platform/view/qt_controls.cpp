// The widgets that show the program's windows. Each reports a person's
// actions through the program's table, which sends what Windows would send,
// and shows only what the program holds: nothing moves or toggles on its own.
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
#include <string>

#include "qt_view.h"

namespace layer::qt {
namespace {

// Windows' frame around a window with a caption and no sizing border.
constexpr int kFrameWidth = 3;
constexpr int kCaptionHeight = 22;

QString Utf8(const char* text, size_t size) { return QString::fromUtf8(text, static_cast<qsizetype>(size)); }

// A text of the program's, asked for its length first.
template <typename Fetch>
QString Fetched(Fetch fetch) {
  std::string text(fetch(nullptr, 0), '\0');
  fetch(text.data(), text.size() + 1);
  return Utf8(text.data(), text.size());
}

void SyncCommon(QWidget* widget, const LayerWindowSnapshot& window, int height) {
  widget->setGeometry(window.x, window.y, window.width, height);
  widget->setEnabled(window.enabled != 0);
  widget->setVisible(window.visible != 0);
}

// What the person typed goes to the program, which takes it or refuses it.
// A refused keystroke leaves the program's text, the cursor where the
// refused text began.
void Typed(uint32_t id, QLineEdit* edit, const QString& typed) {
  QByteArray utf8 = typed.toUtf8();
  if (Host().typed(id, utf8.constData(), static_cast<size_t>(utf8.size())) != 0) return;
  std::optional<Look> look = LookAt(id);
  if (!look) return;
  int cursor = edit->cursorPosition();
  int removed = edit->text().size() - look->text.size();
  edit->setText(look->text);
  edit->setCursorPosition(std::clamp(cursor - removed, 0, static_cast<int>(look->text.size())));
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
  explicit TopLevel(const Look& look) : WindowWidget(look.window.id) {
    const LayerWindowSnapshot& window = look.window;
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

  void Sync(const Look& look) override {
    const LayerWindowSnapshot& window = look.window;
    syncing_ = true;
    setWindowTitle(look.text);
    QSize client = ClientSize(window);
    if ((window.style & WS_THICKFRAME) == 0) setFixedSize(client);
    setEnabled(window.enabled != 0);
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
  // The close button only asks; Qt itself closes nothing.
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    Host().close_clicked(id());
  }

  // The desktop minimized or restored the window: the program decides what
  // that means, and the widget then shows the model's answer.
  void changeEvent(QEvent* event) override {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || syncing_) return;
    LayerWindowSnapshot window;
    if (Host().window(id(), &window) == 0) return;
    bool minimized = (windowState() & Qt::WindowMinimized) != 0;
    if (minimized == (window.minimized != 0)) return;
    // Deferred: the desktop is still in the middle of its state change.
    QTimer::singleShot(0, this, [this, minimized] {
      if (minimized)
        Host().minimized(id());
      else
        Host().restored(id());
      if (std::optional<Look> now = LookAt(id())) Sync(*now);
    });
  }

 private:
  bool syncing_ = false;
};

class EditField final : public QLineEdit, public WindowWidget {
 public:
  EditField(const Look& look, QWidget* parent) : QLineEdit(parent), WindowWidget(look.window.id) {
    uint32_t style = look.window.style;
    setFrame((style & WS_BORDER) != 0);
    if (style & ES_RIGHT) setAlignment(Qt::AlignRight);
    if (style & ES_PASSWORD) setEchoMode(QLineEdit::Password);
    connect(this, &QLineEdit::textEdited, this, [this](const QString& typed) { Typed(id(), this, typed); });
  }
  QWidget* widget() override { return this; }
  void Sync(const Look& look) override {
    SyncCommon(this, look.window, look.window.height);
    setReadOnly((look.window.style & ES_READONLY) != 0);
    SetTextKeepingCursor(this, look.text);
  }
};

// A drop-down combo box: an edit field and a list. Its height in the model
// is the height with the list dropped down.
class DropDown final : public QComboBox, public WindowWidget {
 public:
  DropDown(const Look& look, QWidget* parent) : QComboBox(parent), WindowWidget(look.window.id) {
    bool editable = (look.window.style & 3) != CBS_DROPDOWNLIST;
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
      connect(lineEdit(), &QLineEdit::textEdited, this,
              [this](const QString& typed) { Typed(id(), lineEdit(), typed); });
    }
    connect(this, qOverload<int>(&QComboBox::activated), this, [this](int index) { Chosen(index); });
  }
  QWidget* widget() override { return this; }

  void Sync(const Look& look) override {
    const LayerWindowSnapshot& window = look.window;
    syncing_ = true;
    int closed = std::min(window.height, sizeHint().height());
    SyncCommon(this, window, closed);
    int row = std::max(1, fontMetrics().height() + 2);
    setMaxVisibleItems(std::max(1, (window.height - closed) / row));
    const QStringList& items = look.items;
    QStringList shown;
    for (int i = 0; i < count(); ++i) shown << itemText(i);
    const QString& edit_text = look.text;
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
    // A list closing keeps the program's word open until its close-up is told.
    if (!closing_ && (window.dropped != 0) != popup_open_) {
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
    if (!Alive()) return;
    picked_ = false;
    popup_open_ = true;
    Host().list_opened(id());
    if (!Alive()) return;
    QComboBox::showPopup();
  }

  // The list closes. Whether an item was chosen is known only after Qt has
  // finished closing it, so the close-up is told a moment later.
  void hidePopup() override {
    QComboBox::hidePopup();
    if (syncing_ || !popup_open_) return;
    popup_open_ = false;
    closing_ = true;
    QTimer::singleShot(0, this, [this] {
      bool picked = picked_;
      picked_ = false;
      closing_ = false;
      Host().list_closed(id(), picked ? 1 : 0);
    });
  }

 private:
  void keyPressEvent(QKeyEvent* event) override {
    keying_ = true;
    QComboBox::keyPressEvent(event);
    keying_ = false;
  }

  // An item chosen from the open list, or by an arrow key in the closed box.
  void Chosen(int index) {
    if (syncing_) return;
    std::optional<Look> look = LookAt(id());
    if (!look) return;
    if (!popup_open_ && !closing_ && !keying_) return Sync(*look);  // none of the person's doing
    if (index < 0 || static_cast<uint32_t>(index) >= look->window.item_count) return;
    bool from_list = popup_open_ || closing_;
    if (from_list) picked_ = true;
    Host().item_picked(id(), index, from_list ? 1 : 0);
  }

  bool syncing_ = false;
  bool popup_open_ = false;
  bool picked_ = false;
  bool closing_ = false;  // closed, the close-up not yet told
  bool keying_ = false;   // a key press is being handled
};

// Push buttons and check boxes. The program sets the mark, and only for
// automatic kinds.
template <typename Base>
class Button final : public Base, public WindowWidget {
 public:
  Button(const Look& look, QWidget* parent) : Base(parent), WindowWidget(look.window.id) {
    QObject::connect(this, &QAbstractButton::clicked, this, [this] { Host().clicked(id()); });
  }
  QWidget* widget() override { return this; }
  void Sync(const Look& look) override {
    const LayerWindowSnapshot& window = look.window;
    SyncCommon(this, window, window.height);
    this->setText(look.text);
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
  ScrollBar(const Look& look, QWidget* parent)
      : QScrollBar((look.window.style & SBS_VERT) != 0 ? Qt::Vertical : Qt::Horizontal, parent),
        WindowWidget(look.window.id) {
    setPageStep(10);
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int action) { Requested(action); });
  }
  QWidget* widget() override { return this; }
  void Sync(const Look& look) override {
    const LayerWindowSnapshot& window = look.window;
    SyncCommon(this, window, window.height);
    blockSignals(true);
    setRange(window.scroll_min, window.scroll_max);
    setValue(window.scroll_pos);
    setSliderPosition(window.scroll_pos);
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
    if (dragged) Host().scrolled(id(), SB_THUMBPOSITION, track_);
    Host().scrolled(id(), SB_ENDSCROLL, 0);
  }
  void keyReleaseEvent(QKeyEvent* event) override {
    QScrollBar::keyReleaseEvent(event);
    if (!event->isAutoRepeat() && requested_by_key_) {
      requested_by_key_ = false;
      Host().scrolled(id(), SB_ENDSCROLL, 0);
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
    Host().scrolled(id(), code, position);
    // Qt has moved the slider already; put it where the program says.
    LayerWindowSnapshot window;
    if (Host().window(id(), &window) != 0) setSliderPosition(window.scroll_pos);
  }

  bool pressed_ = false;
  bool requested_by_key_ = false;
  int track_ = 0;
};

class StaticText final : public QLabel, public WindowWidget {
 public:
  StaticText(const Look& look, QWidget* parent) : QLabel(parent), WindowWidget(look.window.id) {
    uint32_t align = look.window.style & 3;
    Qt::Alignment horizontal = align == SS_RIGHT ? Qt::AlignRight : align == SS_CENTER ? Qt::AlignHCenter : Qt::AlignLeft;
    setAlignment(horizontal | Qt::AlignVCenter);
    setTextFormat(Qt::PlainText);
    if (look.window.style & WS_BORDER) {
      setFrameStyle(QFrame::Box | QFrame::Plain);
      setLineWidth(1);
    }
    setIndent(2);
  }
  QWidget* widget() override { return this; }
  void Sync(const Look& look) override {
    SyncCommon(this, look.window, look.window.height);
    setText(look.text);
  }
};

// A child of a class the program registered: a plain area.
class Plain final : public QWidget, public WindowWidget {
 public:
  Plain(const Look& look, QWidget* parent) : QWidget(parent), WindowWidget(look.window.id) {}
  QWidget* widget() override { return this; }
  void Sync(const Look& look) override { SyncCommon(this, look.window, look.window.height); }
};

}  // namespace

std::optional<Look> LookAt(uint32_t id) {
  Look look{};
  if (Host().window(id, &look.window) == 0) return std::nullopt;
  look.text = Fetched([id](char* buffer, size_t size) { return Host().window_text(id, buffer, size); });
  if (look.window.kind == kLayerViewComboBox)
    for (uint32_t i = 0; i < look.window.item_count; ++i)
      look.items << Fetched([id, i](char* buffer, size_t size) { return Host().item_text(id, i, buffer, size); });
  return look;
}

QSize ClientSize(const LayerWindowSnapshot& window) {
  int width = window.width, height = window.height;
  if (window.style & WS_CAPTION) {
    width -= 2 * kFrameWidth;
    height -= kFrameWidth + kCaptionHeight;
  }
  return QSize(std::max(width, 1), std::max(height, 1));
}

WindowWidget* CreateTopLevelWidget(const Look& look) { return new TopLevel(look); }

WindowWidget* CreateControlWidget(const Look& look, QWidget* parent) {
  switch (look.window.kind) {
    case kLayerViewEdit:
      return new EditField(look, parent);
    case kLayerViewComboBox:
      return new DropDown(look, parent);
    case kLayerViewButton: {
      uint32_t type = look.window.style & BS_TYPEMASK;
      bool check = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                   type == BS_AUTO3STATE || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
      if (check) return new Button<QCheckBox>(look, parent);
      return new Button<QPushButton>(look, parent);
    }
    case kLayerViewScrollBar:
      return new ScrollBar(look, parent);
    case kLayerViewStatic:
      return new StaticText(look, parent);
    default:
      return new Plain(look, parent);
  }
}

}  // namespace layer::qt
