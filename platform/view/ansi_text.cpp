// Text crosses between the layer (CP932) and Qt (UTF-16) only here.
#include "layer_control.h"
#include "qt_view.h"

namespace layer::qt {

QString FromAnsi(std::string_view text) { return QString::fromStdString(LayerCp932ToUtf8(text)); }

std::optional<std::string> ToAnsi(const QString& text) {
  QByteArray utf8 = text.toUtf8();
  std::string ansi;
  if (!LayerUtf8ToCp932(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), &ansi))
    return std::nullopt;
  return ansi;
}

}  // namespace layer::qt
