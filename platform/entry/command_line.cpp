#include "entry/command_line.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "instance_socket.h"

namespace layer {
namespace {

struct Option {
  std::string_view name;
  std::string_view request;  // the line sent to the running program
  std::string_view help;
};

constexpr Option kOptions[] = {
    {"--next", "next", "show the next picture now"},
    {"--previous", "previous", "show the picture before the current one again"},
    {"--pause", "pause", "stop changing pictures until resumed"},
    {"--resume", "resume", "change pictures again, the interval counted from now"},
    {"--toggle-pause", "toggle-pause", "pause, or resume when paused"},
    {"--show", "show", "bring the window back"},
    {"--quit", "quit", "end the program as closing its window does"},
    {"--current", "current", "print the address of the picture shown and its stored file"},
};

constexpr int kUsageExit = 2;
constexpr int kFailedExit = 1;

void PrintUsage(std::FILE* to) {
  std::fprintf(to, "usage: skerrow [option]\n\n");
  std::fprintf(to, "Without an option the program starts, or brings back the window of the one\n");
  std::fprintf(to, "already running for this user and display. An option steers that one:\n\n");
  for (const Option& option : kOptions)
    std::fprintf(to, "  %-16.*s %.*s\n", static_cast<int>(option.name.size()), option.name.data(),
                 static_cast<int>(option.help.size()), option.help.data());
  std::fprintf(to, "  %-16s %s\n", "--help", "print this text");
  std::fprintf(to, "  %-16s %s\n", "--version", "print the program's version");
}

// The answer's text after "ok " or "error ", its escapes undone.
std::string Unescape(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    char next = text[++i];
    plain += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return plain;
}

int Steer(const Option& option) {
  std::string answer;
  switch (AskRunningInstance(option.request, &answer)) {
    case InstanceReply::kNoProgram:
      std::fprintf(stderr, "skerrow: no program is running for this user and display\n");
      return kFailedExit;
    case InstanceReply::kFailed:
      std::fprintf(stderr, "skerrow: %s\n", answer.c_str());
      return kFailedExit;
    case InstanceReply::kAnswered: break;
  }
  std::string_view line = answer;
  if (line == "ok") return 0;
  if (line.starts_with("ok ")) {
    std::string text = Unescape(line.substr(3));
    std::printf("%s\n", text.c_str());
    return 0;
  }
  std::string why = line.starts_with("error ") ? Unescape(line.substr(6)) : std::string(line);
  std::fprintf(stderr, "skerrow: %s\n", why.c_str());
  return kFailedExit;
}

constexpr char kShownAgain[] =
    "skerrow: already running for this user and display; its window was asked to show itself\n";

}  // namespace

std::optional<int> ClaimOrHandOver(std::string_view name) {
  std::string why;
  switch (ClaimInstanceName(name, &why)) {
    case InstanceClaim::kClaimed: return std::nullopt;
    case InstanceClaim::kFailed:
      // Nowhere safe to meet other starts: this one runs on its own, and
      // its channel, failing the same way, says so.
      return std::nullopt;
    case InstanceClaim::kTaken: break;
  }
  std::string answer;
  switch (HandOverTo(name, "show", &answer)) {
    case InstanceReply::kNoProgram: return std::nullopt;
    case InstanceReply::kAnswered: std::fputs(kShownAgain, stderr); return 0;
    case InstanceReply::kFailed: break;
  }
  std::fprintf(stderr, "skerrow: already running for this user and display; %s\n", answer.c_str());
  return kFailedExit;
}

std::optional<int> RunCommandLine(int argc, char** argv) {
  // Words that are no option are the application's, as on Windows.
  bool options = false;
  for (int i = 1; i < argc; ++i)
    if (argv[i] != nullptr && argv[i][0] == '-') options = true;
  if (!options) {
    // A second start only brings the running program's window back.
    std::string answer;
    if (AskRunningInstance("show", &answer) == InstanceReply::kNoProgram) return std::nullopt;
    std::fputs(kShownAgain, stderr);
    return 0;
  }
  std::string_view given = argv[1] != nullptr ? argv[1] : "";
  if (argc == 2 && given == "--help") {
    PrintUsage(stdout);
    return 0;
  }
  if (argc == 2 && given == "--version") {
    std::printf("skerrow %s\n", SKERROW_VERSION);
    return 0;
  }
  if (argc == 2)
    for (const Option& option : kOptions)
      if (given == option.name) return Steer(option);
  PrintUsage(stderr);
  return kUsageExit;
}

}  // namespace layer
