// The response handling of a download fed arbitrary bytes in arbitrary
// chunks. The first eight bytes choose where the stream is cut and whether
// the connection ends in order or by a reset; whatever the cut, the file may
// only ever hold a prefix of a 2xx answer's body, a header that outgrows its
// buffer, announces two lengths or answers otherwise leaves no file behind,
// and a body without a length is whole only when the connection ended in
// order.
#include <windows.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fetch_fuzz.h"
#include "fetch_globals.h"
#include "http_response.h"
#include "http_transfer.h"

namespace {

using fetchfuzz::Folder;

std::string ReadAll(const std::string& path) {
  std::string bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    std::fclose(file);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t cuts;
  std::memcpy(&cuts, data, 8);
  const bool orderly = (cuts >> 63) == 0;
  cuts |= 1;
  std::string_view stream(reinterpret_cast<const char*>(data) + 8, size - 8);

  HWND window = fetchfuzz::Window();
  std::snprintf(WorkDir, sizeof WorkDir, "%s", Folder().c_str());
  std::strcpy(LocalName, "fuzz.bin");
  const std::string path = Folder() + LocalName;
  // What a successful set-up leaves.
  DownloadFile = std::fopen(path.c_str(), "w+b");
  if (DownloadFile == nullptr) std::abort();
  TransferSocket = INVALID_SOCKET;
  StartResponse(Transfer.response);
  Transfer.phase = TransferPhase::Header;

  size_t at = 0;
  while (at < stream.size() && DownloadFile != nullptr) {
    cuts ^= cuts << 13;
    cuts ^= cuts >> 7;
    cuts ^= cuts << 17;
    size_t piece = 1 + cuts % 1024;
    if (piece > stream.size() - at) piece = stream.size() - at;
    Verdict verdict = TakeResponseBytes(Transfer.response, DownloadFile, stream.data() + at, static_cast<int>(piece));
    if (verdict.ending != Ending::None) EndTransfer(window, verdict);
    at += piece;
    if (Transfer.response.header_length < 0 || Transfer.response.header_length >= kHeaderCapacity) std::abort();
  }
  if (DownloadFile != nullptr) EndTransfer(window, EndOfResponse(Transfer.response, orderly, false));
  if (DownloadFile != nullptr || TransferSocket != INVALID_SOCKET) std::abort();

  size_t end = stream.find("\r\n\r\n");
  bool fits = end != std::string_view::npos && end + 4 <= static_cast<size_t>(kHeaderCapacity - 1);
  bool overflowed = (end == std::string_view::npos && stream.size() > static_cast<size_t>(kHeaderCapacity - 1)) ||
                    (end != std::string_view::npos && !fits);
  // A redirect is only posted, never followed here, and no box is shown.
  PendingBoxes.clear();
  MSG message;
  while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
  }
  std::optional<StatusLine> status = ParseStatusLine(stream);
  bool refused = fits && !(status && IsSuccessStatus(status->code));
  std::string kept = ReadAll(path);
  if ((overflowed || refused) && access(path.c_str(), F_OK) == 0) std::abort();
  if (fits && !refused) {
    std::string_view body = stream.substr(end + 4);
    if (body.substr(0, kept.size()) != kept) std::abort();
    // A body that came whole was handed to the chain, which may have taken
    // the file away: one of no picture kind is removed.
    const bool handed_on = access(path.c_str(), F_OK) != 0;
    if (Transfer.response.length_announced == 0 && orderly && !handed_on && kept != body) std::abort();
  } else if (!kept.empty()) {
    std::abort();
  }
  std::remove(path.c_str());
  return 0;
}
