#include "converter_support.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

const char* const ConverterMessages[MSG_ADDON_LAST - MSG_ADDON_FIRST + 1] = {
    nullptr,
    "Unsupported BMP colormap format",
    "Only 8- and 24-bit BMP files are supported",
    "Invalid BMP file: bad header length",
    "Invalid BMP file: biPlanes not equal to 1",
    "BMP output must be grayscale or RGB",
    "Sorry, compressed BMPs not yet supported",
    "Not a BMP file - does not start with BM",
    "%ux%u 24-bit BMP image",
    "%ux%u 8-bit colormapped BMP image",
    "%ux%u 24-bit OS2 BMP image",
    "%ux%u 8-bit colormapped OS2 BMP image",
    "GIF output got confused",
    "Bogus GIF codesize %d",
    "GIF output must be grayscale or RGB",
    "Too few images in GIF file",
    "Not a GIF file",
    "%ux%ux%d GIF image",
    "Warning: unexpected GIF version number '%c%c%c'",
    "Ignoring GIF extension block of type 0x%02x",
    "Caution: nonsquare pixels in input",
    "Corrupt data in GIF file",
    "Bogus char 0x%02x in GIF file, ignoring",
    "Premature end of GIF image",
    "Ran out of GIF bits",
    "PPM output must be grayscale or RGB",
    "Nonnumeric data in PPM file",
    "Not a PPM file",
    "%ux%u PGM image",
    "%ux%u text PGM image",
    "%ux%u PPM image",
    "%ux%u text PPM image",
    "Unsupported Targa colormap format",
    "Invalid or unsupported Targa file",
    "Targa output must be grayscale or RGB",
    "%ux%u RGB Targa image",
    "%ux%u grayscale Targa image",
    "%ux%u colormapped Targa image",
    "Color map file is invalid or of unsupported format",
    "Output file format cannot handle %d colormap entries",
    "ungetc failed",
    "Unrecognized input file format --- perhaps you need -targa",
    "Unsupported output file format",
    nullptr,
};

const char* const kConverterNotice =
    "Picture converter of the Skerrow wallpaper rotator, on the system JPEG library";

bool MatchKeyword(const char* argument, const char* keyword, int minimum) {
  int matched = 0;
  for (; *argument != '\0'; ++argument, ++keyword, ++matched) {
    if (*keyword == '\0') return false;  // argument longer than keyword
    char c = *argument;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *keyword) return false;
  }
  return matched >= minimum;
}

void HintLargeFill(void* start, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  // Only whole large pages inside the block; its ragged ends stay as they are.
  constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
  const auto first = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t begin = (first + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t end = (first + bytes) & ~(kLargePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)start;
  (void)bytes;
#endif
}

int ReadCommentedChar(std::FILE* file) {
  int c = std::getc(file);
  if (c == '#') {
    do {
      c = std::getc(file);
    } while (c != '\n' && c != EOF);
  }
  return c;
}

const char* ProgramNameFrom(const char* argv0, const char* fallback) {
  return (argv0 == nullptr || argv0[0] == '\0') ? fallback : argv0;
}

namespace {

// Only these are touched from signal context.
volatile j_common_ptr SignalObject = nullptr;
void (*SavedInterruptHandler)(int) = SIG_DFL;
void (*SavedTerminateHandler)(int) = SIG_DFL;
bool HandlersInstalled = false;

[[noreturn]] void RecoveringErrorExit(j_common_ptr object) {
  (*object->err->output_message)(object);
  AbandonRun(object);
}

}  // namespace

extern "C" void OnTerminationSignal(int /*signal_number*/) {
  j_common_ptr object = SignalObject;
  if (object != nullptr) {
    if (object->err != nullptr) object->err->trace_level = 0;
    jpeg_destroy(object);
  }
  std::_Exit(1);
}

void CatchTerminationSignals(j_common_ptr object) {
  SignalObject = object;
  auto previous_interrupt = std::signal(SIGINT, OnTerminationSignal);
  auto previous_terminate = std::signal(SIGTERM, OnTerminationSignal);
  if (!HandlersInstalled) {
    // Keep the host's handlers, not our own from an earlier run.
    SavedInterruptHandler = previous_interrupt == SIG_ERR ? SIG_DFL : previous_interrupt;
    SavedTerminateHandler = previous_terminate == SIG_ERR ? SIG_DFL : previous_terminate;
    HandlersInstalled = true;
  }
}

void ReleaseTerminationSignals() {
  SignalObject = nullptr;
  if (HandlersInstalled) {
    std::signal(SIGINT, SavedInterruptHandler);
    std::signal(SIGTERM, SavedTerminateHandler);
    HandlersInstalled = false;
  }
}

jpeg_error_mgr* InitConverterErrorManager(ConverterErrorManager* manager) {
  jpeg_error_mgr* err = jpeg_std_error(&manager->pub);
  err->error_exit = RecoveringErrorExit;
  err->addon_message_table = ConverterMessages;
  err->first_addon_message = MSG_ADDON_FIRST;
  err->last_addon_message = MSG_ADDON_LAST;
  manager->input_file = nullptr;
  manager->output_file = nullptr;
  manager->extra_file = nullptr;
  return err;
}

void CloseRunFiles(ConverterErrorManager* manager) {
  for (std::FILE** slot : {&manager->input_file, &manager->output_file, &manager->extra_file}) {
    if (*slot != nullptr) {
      std::fclose(*slot);
      *slot = nullptr;
    }
  }
}

void UsageExit(j_common_ptr object) { AbandonRun(object); }

void AbandonRun(j_common_ptr object) {
  std::longjmp(RunErrorManager(object)->escape, 1);
}
