// The process entry: what the Windows runtime's start-up does before WinMain,
// plus the termination signals, which close the main window the normal way.
#include <windows.h>

#include <signal.h>

#include <cstdio>
#include <optional>
#include <string>

#include "entry/command_line.h"
#include "instance_channel.h"
#include "layer_control.h"
#include "layer_view.h"
#include "event_sources.h"

namespace {

extern "C" void OnCloseSignal(int) { layer::SignalCloseRequest(); }

// The arguments after the program name, quoted where a blank would split
// them, as Windows hands the command line to WinMain.
std::string CommandLineFrom(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i] != nullptr ? argv[i] : "";
    if (!line.empty()) line += ' ';
    bool quote = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
    if (quote) line += '"';
    line += argument;
    if (quote) line += '"';
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  layer::PrepareSignalWakeup();
  struct sigaction action{};
  action.sa_handler = OnCloseSignal;
  // The program's own blocking calls (a file read, a connect) carry on; the
  // loop's wait is woken through the pipe all the same.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A peer that goes away must show up as a failed call, never end us.
  signal(SIGPIPE, SIG_IGN);

  // An option steers the program already running; so does a second start,
  // which only brings its window back.
  if (std::optional<int> done = layer::RunCommandLine(argc, argv)) return *done;

  // The name is claimed before the view loads, so that starts which lose
  // it cost little; a view that opens elsewhere than expected claims anew.
  std::string name = layer::InstanceNamesToTry().front();
  if (std::optional<int> done = layer::ClaimOrHandOver(name)) return *done;
  // With a display the windows are shown for real.
  bool desktop = layer::StartDesktopView(argc > 0 ? argv[0] : nullptr) == layer::DesktopStart::kDesktop;
  if (std::string in_use = layer::InstanceNameInUse(desktop); in_use != name) {
    name = in_use;
    if (std::optional<int> done = layer::ClaimOrHandOver(name)) {
      layer::StopDesktopView();
      return *done;
    }
  }
  std::string why;
  if (!layer::OpenInstanceChannel(name, &why)) {
    std::fprintf(stderr, "skerrow: other starts cannot reach this one (%s)\n", why.c_str());
    std::fflush(stderr);
  }

  LayerChooseDesktop();
  std::string command_line = CommandLineFrom(argc, argv);
  int exit_code = WinMain(LayerProgramInstance(), nullptr, command_line.data(), SW_SHOWDEFAULT);
  layer::CloseInstanceChannel();
  layer::StopDesktopView();
  return exit_code;
}
