// Any bytes as the address being fetched, through the dispatch by scheme:
// as a file:// address, as an http:// address fetched directly, and as one
// fetched through a proxy. Windows Sockets is not started, so the http side
// parses host, port, path and local name and then fails where it would first
// touch the network. Whatever the address, every text stays within its
// buffer, WorkDir ends up naming the private folder, and no transfer is
// left open.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "app_constants.h"
#include "app_fuzz.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_transfer.h"

namespace {

bool Terminated(const char* text, size_t capacity) { return std::memchr(text, '\0', capacity) != nullptr; }

// A local address may name a folder that exists only inside the scratch
// folder: the harness must never read or convert the machine's own files.
bool StaysInScratch(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return true;
  std::error_code error;
  std::filesystem::path folder = path.substr(0, slash + 1);
  if (!std::filesystem::exists(folder, error)) return true;
  std::string real = std::filesystem::canonical(folder, error).string();
  return !error && real.rfind(appfuzz::Scratch(), 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  HWND window = appfuzz::Window();
  while (LayerWsaStartupCount() > 0) WSACleanup();
  const int branch = data[0] % 3;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  rest = rest.substr(0, rest.find('\0'));
  std::string address = (branch == 0 ? kFilePrefix : kHttpPrefix) + rest;
  if (address.size() >= sizeof CurrentUrl) address.resize(sizeof CurrentUrl - 1);
  if (branch == 0 && !StaysInScratch(address.substr(kSchemeLength))) return 0;

  ProxyMode = branch == 2 ? 1 : 0;
  SetWindowTextA(GetDlgItem(window, ProxyHostField), "10.0.0.1");
  SetWindowTextA(GetDlgItem(window, ProxyPortField), "8080");
  std::memcpy(CurrentUrl, address.c_str(), address.size() + 1);
  FetchCurrentUrl(window, RotateCommandId);

  if (TransferSocket != INVALID_SOCKET || DownloadFile != nullptr || Transfer.phase != TransferPhase::Idle)
    std::abort();
  // A failure's box is only posted; none is shown here.
  PendingBoxes.clear();
  MSG message;
  while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
  }
  if (!Terminated(CurrentUrl, sizeof CurrentUrl) || !Terminated(Transfer.host, sizeof Transfer.host) ||
      !Terminated(Transfer.port_text, sizeof Transfer.port_text) ||
      !Terminated(Transfer.request_path, sizeof Transfer.request_path) ||
      !Terminated(LocalName, sizeof LocalName) || !Terminated(WorkDir, sizeof WorkDir))
    std::abort();
  if (std::strncmp(WorkDir, (appfuzz::Scratch() + "/temp/skerrow-").c_str(), appfuzz::Scratch().size() + 14) != 0)
    std::abort();
  return 0;
}
