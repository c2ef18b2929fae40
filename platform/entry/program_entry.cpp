// The process entry: what the Windows runtime's start-up does before WinMain,
// plus the termination signals, which close the main window the normal way.
#include <windows.h>

#include <signal.h>

#include <string>

#include "layer_control.h"
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

  LayerChooseDesktop();
  std::string command_line = CommandLineFrom(argc, argv);
  return WinMain(LayerProgramInstance(), nullptr, command_line.data(), SW_SHOWDEFAULT);
}
