// The program's side of a download round, shared by the download
// benchmarks: the window hidden with one entry, then one tick run to the
// wallpaper call.
#pragma once

#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

#include "app_constants.h"
#include "app_globals.h"
#include "bench_support.h"
#include "fetch_globals.h"
#include "http_transfer.h"
#include "layer_control.h"

namespace bench {

// The address the round under way is to fetch.
inline std::string& MeantAddress() {
  static std::string address;
  return address;
}

// A round that showed some other address measured something else: the
// benchmark stops without a figure.
inline void RequireShown(const std::string& address) {
  if (address == ShownUrl) return;
  std::printf("a round meant %s but showed \"%s\"; no figure is given\n", address.c_str(), ShownUrl);
  std::exit(2);
}

// The window as the program has it, hidden in the tray with its one entry,
// from no settings.
inline void StartHiddenWith(const std::string& address) {
  ForgetSettings();
  MeantAddress() = address;
  ShownUrl[0] = '\0';
  LayerReset();
  IntervalMs = 600000;  // no tick of its own during a round
  RotationIndex = 1;
  HINSTANCE instance = LayerProgramInstance();
  RegisterMainClass(instance);
  InitMainWindow(instance, SW_SHOWNORMAL);
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(address.c_str()));
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

// One rotation tick, then the loop as the program runs it until the
// transfer is over, the host's look-up included. A round that did not end
// in a new wallpaper of its own address measured nothing: the benchmark
// stops without a figure.
inline void TickAndDownload() {
  const std::string before = LayerWallpaperStorePath();
  SendMessageA(MainWindow, WM_TIMER, RotationTimer, 0);
  MSG message;
  while (Transfer.phase != TransferPhase::Idle && GetMessageA(&message, nullptr, 0, 0) > 0)
    DispatchMessageA(&message);
  if (LayerWallpaperStorePath() == before) {
    std::printf("a round did not reach the wallpaper; no figure is given\n");
    std::exit(2);
  }
  RequireShown(MeantAddress());
}

// A step of the comparison route that failed timed nothing worth comparing
// against: the benchmark stops without a figure, as for a round of its own.
inline void Require(int status, const char* what) {
  if (status == 0) return;
  std::printf("%s exited with %d; no figure is given\n", what, status);
  std::exit(2);
}

// A Python server script that prints its port on its first line, started
// with `argument`; port 0 when it did not come up. It goes with the
// benchmark, however that ends: at its exit, or with it when it is killed.
struct Server {
  pid_t pid = -1;
  int port = 0;
};

inline Server StartServer(const std::string& script, const std::string& argument) {
  int out[2];
  if (pipe(out) != 0) return {};
  Server server;
  const pid_t bench = getpid();
  server.pid = fork();
  if (server.pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != bench) _exit(1);
    dup2(out[1], 1);
    close(out[0]);
    execl(SKERROW_PYTHON, SKERROW_PYTHON, "-c", script.c_str(), argument.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  EndAtExit(server.pid);
  close(out[1]);
  // The whole line, so the server never writes into a closed pipe.
  std::string line;
  char c;
  while (line.size() < 16 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  server.port = std::atoi(line.c_str());
  return server;
}

}  // namespace bench
