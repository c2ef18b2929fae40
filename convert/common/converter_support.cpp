#include "converter_support.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <new>

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

// What signal context touches: which signal arrived during the run, and the
// write end of the run's wake-up pipe, which it pokes so that a wait for
// input ends however close to it the signal falls. Signals may land on any
// of the host's threads, so these are lock-free atomics, never plain state.
std::atomic<int> PendingSignal{0};
std::atomic<int> WakeWrite{-1};
// Handlers running right now, so the pipe is never closed under one.
std::atomic<int> HandlersRunning{0};
static_assert(std::atomic<int>::is_always_lock_free);
// The read end; only the run's own thread looks at it.
int WakeRead = -1;
// The host's handlers, put back when the run ends.
struct sigaction SavedInterruptAction;
struct sigaction SavedTerminateAction;
bool HandlersInstalled = false;

// The standard manager's printer, as jpeg_std_error installs it.
void (*LibraryOutputMessage)(j_common_ptr) = nullptr;

// The standard manager's emitter, and whether the run so far warned of
// damaged data. One run at a time, as every converter global.
void (*LibraryEmitMessage)(j_common_ptr, int) = nullptr;
bool DamagedData = false;

bool IsDamageWarning(int code) {
  switch (code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL:
    case JERR_INPUT_EOF:  // the Targa reader's warning for a cut file
    case MSG_GIF_NOMOREDATA:
    case MSG_GIF_BAD_CODE:
    case MSG_GIF_ENDCODE:
      return true;
    default:
      return false;
  }
}

// Warnings are counted and printed as the library does; only which kind
// was seen is noted beside.
void NoteDamage(j_common_ptr object, int level) {
  if (level < 0 && IsDamageWarning(object->err->msg_code)) DamagedData = true;
  (*LibraryEmitMessage)(object, level);
}

// A read cut short by a termination signal is no fault of the file: what
// it leads to (an early end, a damaged file) goes unsaid.
void QuietOnceSignalled(j_common_ptr object) {
  if (PendingSignal.load() == 0) (*LibraryOutputMessage)(object);
}

[[noreturn]] void RecoveringErrorExit(j_common_ptr object) {
  (*object->err->output_message)(object);
  AbandonRun(object);
}

// The library's long passes (whole-image quantization, multi-scan output)
// call this between rows, where leaving the run is as safe as a fatal error.
void WatchForSignals(j_common_ptr object) { EndRunIfSignalled(object); }

void OpenWakePipe() {
  if (WakeRead >= 0) return;
  int ends[2];
  // Without the pipe a run still ends on a signal, only not while it waits.
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  WakeRead = ends[0];
  WakeWrite.store(ends[1]);
}

void CloseWakePipe() {
  if (WakeRead < 0) return;
  // A handler that has not yet counted itself will find no pipe; one that
  // has is waited for, since it may be writing to it on another thread.
  const int write_end = WakeWrite.exchange(-1);
  while (HandlersRunning.load() != 0) sched_yield();
  close(write_end);
  close(WakeRead);
  WakeRead = -1;
}

// An input file of a run, read through stdio like any other.
struct RunInput {
  int descriptor;
  bool may_wait;  // a pipe, socket or device: a read there can wait for ever
};

// Every read of a run's input comes here. A wait happens only in poll,
// beside the wake-up pipe, after a last look at the mark: a signal before
// the look is seen by it, one after it leaves the pipe readable, so no
// signal is missed and the read fails at once, as a read cut short does.
ssize_t ReadRunInput(void* cookie, char* buffer, std::size_t size) {
  const auto* input = static_cast<const RunInput*>(cookie);
  for (;;) {
    if (PendingSignal.load() != 0) {
      errno = EINTR;
      return -1;
    }
    if (input->may_wait) {
      pollfd waits[2] = {{input->descriptor, POLLIN, 0}, {WakeRead, POLLIN, 0}};
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (waits[1].revents != 0) {  // the mark is set by now
        errno = EINTR;
        return -1;
      }
      if (waits[0].revents == 0) continue;
    }
    const ssize_t got = read(input->descriptor, buffer, size);
    if (got >= 0) return got;
    // Another reader of the same pipe may have taken what poll saw.
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

int CloseRunInput(void* cookie) {
  auto* input = static_cast<RunInput*>(cookie);
  const int result = close(input->descriptor);
  delete input;
  return result;
}

}  // namespace

extern "C" void OnTerminationSignal(int signal_number) {
  const int saved_errno = errno;
  HandlersRunning.fetch_add(1);
  PendingSignal.store(signal_number);
  const int write_end = WakeWrite.load();
  if (write_end >= 0) {
    const char byte = 1;
    const ssize_t written = write(write_end, &byte, 1);  // a full pipe is awake already
    (void)written;
  }
  HandlersRunning.fetch_sub(1);
  errno = saved_errno;
}

void CatchTerminationSignals(j_common_ptr object) {
  if (object != nullptr && object->mem != nullptr) {
    auto* progress = static_cast<jpeg_progress_mgr*>(
        (*object->mem->alloc_small)(object, JPOOL_PERMANENT, sizeof(jpeg_progress_mgr)));
    *progress = jpeg_progress_mgr{};
    progress->progress_monitor = WatchForSignals;
    object->progress = progress;
  }
  struct sigaction action = {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a run writing to a pipe that nobody reads wakes up,
  // its write fails, and the run ends instead of waiting on.
  action.sa_flags = 0;
  if (HandlersInstalled) {
    // Keep the host's handlers saved, not our own from an earlier run.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return;
  }
  PendingSignal.store(0);
  OpenWakePipe();
  sigaction(SIGINT, &action, &SavedInterruptAction);
  sigaction(SIGTERM, &action, &SavedTerminateAction);
  HandlersInstalled = true;
}

int ReleaseTerminationSignals() {
  if (!HandlersInstalled) return 0;
  sigaction(SIGINT, &SavedInterruptAction, nullptr);
  sigaction(SIGTERM, &SavedTerminateAction, nullptr);
  HandlersInstalled = false;
  CloseWakePipe();
  // Read only once our handler is gone and none is still running, so no
  // signal is lost in between: from here on the host's own handler
  // receives them.
  return PendingSignal.exchange(0);
}

void PassOnTerminationSignal(int signal_number) {
  if (signal_number == 0) return;
  struct sigaction current = {};
  if (sigaction(signal_number, nullptr, &current) != 0) return;
  const bool host_handles = (current.sa_flags & SA_SIGINFO) != 0 ||
                            (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
  if (host_handles) std::raise(signal_number);
}

std::FILE* OpenRunInput(const char* name) {
  // Not blocking in open either: a pipe with no writer yet is waited for
  // in the first read, where a signal can end the wait.
  const int descriptor = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status = {};
  auto* input = fstat(descriptor, &status) == 0 ? new (std::nothrow) RunInput{descriptor, !S_ISREG(status.st_mode)}
                                                 : nullptr;
  std::FILE* file = nullptr;
  if (input != nullptr) {
    file = fopencookie(input, "rb", cookie_io_functions_t{ReadRunInput, nullptr, nullptr, CloseRunInput});
    if (file == nullptr) delete input;
  }
  if (file == nullptr) close(descriptor);
  return file;
}

void EndRunIfSignalled(j_common_ptr object) {
  if (PendingSignal.load() != 0) AbandonRun(object);
}

jpeg_error_mgr* InitConverterErrorManager(ConverterErrorManager* manager) {
  jpeg_error_mgr* err = jpeg_std_error(&manager->pub);
  LibraryOutputMessage = err->output_message;
  err->output_message = QuietOnceSignalled;
  LibraryEmitMessage = err->emit_message;
  err->emit_message = NoteDamage;
  DamagedData = false;
  err->error_exit = RecoveringErrorExit;
  err->addon_message_table = ConverterMessages;
  err->first_addon_message = MSG_ADDON_FIRST;
  err->last_addon_message = MSG_ADDON_LAST;
  manager->input_file = nullptr;
  manager->output_file = nullptr;
  manager->extra_file = nullptr;
  return err;
}

bool LastRunFoundDamagedData() { return DamagedData; }

void CloseRunFiles(ConverterErrorManager* manager) {
  for (std::FILE** slot : {&manager->input_file, &manager->output_file, &manager->extra_file}) {
    if (*slot != nullptr) {
      std::fclose(*slot);
      *slot = nullptr;
    }
  }
}

int EndConverterRun(j_common_ptr object, ConverterErrorManager* manager, int result) {
  const int signal_number = ReleaseTerminationSignals();
  jpeg_destroy(object);
  CloseRunFiles(manager);
  PassOnTerminationSignal(signal_number);
  return signal_number != 0 ? 1 : result;
}

void UsageExit(j_common_ptr object) { AbandonRun(object); }

void AbandonRun(j_common_ptr object) {
  std::longjmp(RunErrorManager(object)->escape, 1);
}
