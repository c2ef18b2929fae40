// The decoding command as callers meet it: the switch scan, the two-file
// rule, every way a run can end (result, message, files left behind), the
// banner, comment printing, and termination signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <random>
#include <csetjmp>
#include <string>
#include <thread>
#include <vector>

#include "converter_support.h"
#include "djpeg_oracle_helpers.h"
#include "image_writer.h"
#include "test_support.h"

// The command's own steps, reached directly here.
int ScanDjpegSwitches(j_decompress_ptr decompressor, int argc, char** argv, bool for_real);

namespace {

using testsupport::TempDir;

struct Outcome {
  int result = -1;
  std::string messages;
};

Outcome Djpeg(std::vector<std::string> args, const char* program = "djpeg") {
  testsupport::StderrCapture capture;
  args.insert(args.begin(), program);
  Outcome outcome;
  outcome.result = testsupport::CallWithArgs(RunDjpeg, args);
  outcome.messages = capture.Finish();
  return outcome;
}

// What a switch scan left in the decompression object.
struct Scanned {
  bool usage_exit = false;
  int index = -1;
  int colours = 0;
  bool quantize = false;
  J_DCT_METHOD dct = JDCT_ISLOW;
  J_DITHER_MODE dither = JDITHER_FS;
  bool fancy = true;
  bool two_pass = true;
  J_COLOR_SPACE space = JCS_RGB;
  int trace = 0;
  long max_memory = 0;
  unsigned scale_num = 1;
  unsigned scale_denom = 1;
};

struct ScanObject {
  ConverterErrorManager manager;
  jpeg_decompress_struct decompressor;
};

// Holds nothing with a destructor, so the usage error may jump back into it.
bool ScanCatchingUsage(ScanObject* object, int argc, char** argv, bool for_real, int* index) {
  if (setjmp(object->manager.escape) != 0) return false;
  *index = ScanDjpegSwitches(&object->decompressor, argc, argv, for_real);
  return true;
}

// One scan over `switches`, starting from the values the header read sets.
Scanned Scan(std::vector<std::string> switches, bool for_real = false) {
  switches.insert(switches.begin(), "djpeg");
  std::vector<char*> argv;
  for (auto& word : switches) argv.push_back(word.data());
  argv.push_back(nullptr);

  auto object = std::make_unique<ScanObject>();
  j_decompress_ptr d = &object->decompressor;
  d->err = InitConverterErrorManager(&object->manager);
  jpeg_create_decompress(d);
  d->desired_number_of_colors = 256;
  d->quantize_colors = FALSE;
  d->dct_method = JDCT_ISLOW;
  d->dither_mode = JDITHER_FS;
  d->do_fancy_upsampling = TRUE;
  d->two_pass_quantize = TRUE;
  d->out_color_space = JCS_RGB;
  d->scale_num = d->scale_denom = 1;

  Scanned scanned;
  testsupport::StderrCapture banner;  // -debug may show it
  scanned.usage_exit = !ScanCatchingUsage(object.get(), static_cast<int>(switches.size()), argv.data(), for_real,
                                          &scanned.index);
  banner.Finish();
  scanned.colours = d->desired_number_of_colors;
  scanned.quantize = d->quantize_colors;
  scanned.dct = d->dct_method;
  scanned.dither = d->dither_mode;
  scanned.fancy = d->do_fancy_upsampling;
  scanned.two_pass = d->two_pass_quantize;
  scanned.space = d->out_color_space;
  scanned.trace = d->err->trace_level;
  scanned.max_memory = d->mem->max_memory_to_use;
  scanned.scale_num = d->scale_num;
  scanned.scale_denom = d->scale_denom;
  jpeg_destroy_decompress(d);
  CloseRunFiles(&object->manager);
  return scanned;
}

TEST(DjpegSwitches, SetTheDecompressionParameters) {
  {
    const Scanned s = Scan({"-colors", "64", "-fast"});
    EXPECT_EQ(s.colours, 64);
    EXPECT_TRUE(s.quantize);
    EXPECT_FALSE(s.two_pass);
    EXPECT_EQ(s.dither, JDITHER_ORDERED);
    EXPECT_EQ(s.dct, JDCT_IFAST);
    EXPECT_FALSE(s.fancy);
  }
  EXPECT_EQ(Scan({"-fast", "-colors", "64"}).colours, 64);
  {
    const Scanned s = Scan({"-fast"});  // asks for 216 but does not quantize
    EXPECT_EQ(s.colours, 216);
    EXPECT_FALSE(s.quantize);
  }
  EXPECT_EQ(Scan({"-q", "7x"}).colours, 7);
  EXPECT_EQ(Scan({"-quantise", "-3"}).colours, -3);
  EXPECT_EQ(Scan({"-colours", "99999999999"}).colours, INT_MAX);

  const struct {
    const char* value;
    long bytes;
  } memory[] = {{"10m", 10000000}, {"10M", 10000000}, {"10", 10000}, {"10k", 10000}, {"0", 0},
                {"99999999999999999999m", LONG_MAX}};
  for (const auto& m : memory) EXPECT_EQ(Scan({"-maxmemory", m.value}).max_memory, m.bytes) << m.value;
  EXPECT_EQ(Scan({"-max", "3"}).max_memory, 3000);

  EXPECT_EQ(Scan({"-dc", "fast"}).dct, JDCT_IFAST);
  EXPECT_EQ(Scan({"-dct", "FL"}).dct, JDCT_FLOAT);
  EXPECT_EQ(Scan({"-dct", "fa", "-dct", "i"}).dct, JDCT_ISLOW);
  EXPECT_EQ(Scan({"-di", "no"}).dither, JDITHER_NONE);
  EXPECT_EQ(Scan({"-dither", "or"}).dither, JDITHER_ORDERED);
  EXPECT_EQ(Scan({"-dither", "none", "-dither", "fs"}).dither, JDITHER_FS);
  EXPECT_EQ(Scan({"-gr"}).space, JCS_GRAYSCALE);
  EXPECT_EQ(Scan({"-greys"}).space, JCS_GRAYSCALE);
  EXPECT_FALSE(Scan({"-nos"}).fancy);
  EXPECT_FALSE(Scan({"-one"}).two_pass);
  {
    const Scanned s = Scan({"-s", "3/8x"});
    EXPECT_EQ(s.scale_num, 3u);
    EXPECT_EQ(s.scale_denom, 8u);
  }
  EXPECT_EQ(Scan({"-d"}).trace, 1);
  EXPECT_EQ(Scan({"-verbose", "-debug"}).trace, 2);
  EXPECT_EQ(Scan({"-V", "-v", "-D"}).trace, 3);
}

TEST(DjpegSwitches, ScanStopsAtTheFirstFileName) {
  EXPECT_EQ(Scan({}).index, 1);
  EXPECT_EQ(Scan({"-bmp", "a", "b"}).index, 2);
  EXPECT_EQ(Scan({"a", "-bmp", "b"}).index, 1);
  EXPECT_EQ(Scan({"-outfile", "o", "i"}).index, 3);
  EXPECT_EQ(Scan({"-colors", "8", "-os2", "x"}).index, 4);
  // The first scan only steps over the -map value; it reads no file.
  const Scanned map = Scan({"-map", "/nonexistent/map.gif", "i", "o"});
  EXPECT_FALSE(map.usage_exit);
  EXPECT_EQ(map.index, 3);
  EXPECT_FALSE(map.quantize);
}

TEST(DjpegSwitches, MalformedSwitchesAreUsageErrors) {
  const std::vector<std::vector<std::string>> malformed = {
      {"-colors"}, {"-colors", "abc"}, {"-scale", "2"}, {"-scale", "/2"}, {"-scale", "2/"}, {"-scale", "a/b"},
      {"-dct", "slow"}, {"-dct", "f"}, {"-dither", "n"}, {"-dither", "floyd"}, {"-dct"}, {"-x"}, {"-m", "1"},
      {"-ma", "1"}, {"-n"}, {"-o"}, {"-"}, {"-bmpx"}, {"-maxmemory", "k"}, {"-maxmemory"}, {"-outfile"}, {"-map"},
      {"-bmp", "-colors"},
  };
  for (const auto& switches : malformed) {
    testsupport::StderrCapture capture;
    const Scanned s = Scan(switches);
    EXPECT_TRUE(s.usage_exit) << ::testing::PrintToString(switches);
    EXPECT_EQ(capture.Finish(), "") << ::testing::PrintToString(switches);
  }
}

// A small picture and the BMP file a correct run makes of it.
struct Fixture {
  TempDir dir;
  std::string jpeg = dir / "in.jpg";
  std::string gray = dir / "gray.jpg";
  std::string bmp = dir / "out.bmp";
  std::string good_bmp;
  Fixture() {
    djpegoracle::MakeJpegs({{jpeg, "RGB", 16, 8, "quality=90"}, {gray, "L", 5, 3, "quality=90"}});
    EXPECT_EQ(Djpeg({"-bmp", jpeg, dir / "good.bmp"}).result, 0);
    good_bmp = testsupport::ReadFile(dir / "good.bmp");
  }
  // A run right after a failed one must work as if nothing had happened.
  void ExpectCleanNextRun() {
    std::remove(bmp.c_str());
    const Outcome next = Djpeg({"-bmp", jpeg, bmp});
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.messages, "");
    EXPECT_TRUE(testsupport::ReadFile(bmp) == good_bmp);
  }
};

TEST(DjpegCommand, FailedRunsReportCloseEverythingAndReturnOne) {
  Fixture f;
  const std::string missing = f.dir / "missing.jpg";
  const std::string no_dir = f.dir / "no/such/out.bmp";
  testsupport::WriteFile(f.dir / "bad-map.bmp", "BM\x10\x00");
  testsupport::WriteFile(f.dir / "text.jpg", "hello, not a picture");
  testsupport::WriteFile(f.dir / "empty.jpg", "");
  const std::string jpeg = testsupport::ReadFile(f.jpeg);
  testsupport::WriteFile(f.dir / "headless.jpg", jpeg.substr(0, 30));
  // A comment that claims more bytes than the file has left.
  testsupport::WriteFile(f.dir / "long-comment.jpg", djpegoracle::WithSegment(jpeg.substr(0, 2), 0xFE, "abc", 0xFFFF));

  enum Left { kNoOutput, kEmptyOutput, kAnyOutput };
  const struct {
    std::vector<std::string> args;
    std::string messages;
    Left left;
  } cases[] = {
      {{}, "djpeg: must name one input and one output file\n", kNoOutput},
      {{"-bmp", f.jpeg}, "djpeg: must name one input and one output file\n", kNoOutput},
      {{"-outfile", f.bmp, f.jpeg, "x"}, "djpeg: must name one input and one output file\n", kNoOutput},
      {{f.jpeg, "-bmp", f.bmp}, "djpeg: must name one input and one output file\n", kNoOutput},
      {{"-outfile", f.bmp}, "djpeg: must name one input and one output file\n", kNoOutput},
      {{"-colors"}, "", kNoOutput},
      {{"-scale", "2", f.jpeg, f.bmp}, "", kNoOutput},
      {{"-dct", "slow", f.jpeg, f.bmp}, "", kNoOutput},
      {{"-x", f.jpeg, f.bmp}, "", kNoOutput},
      {{"-bmp", missing, f.bmp}, "djpeg: can't open " + missing + "\n", kNoOutput},
      {{"-bmp", f.jpeg, no_dir}, "djpeg: can't open " + no_dir + "\n", kNoOutput},
      {{"-bmp", "-map", missing, f.jpeg, f.bmp}, "djpeg: can't open " + missing + "\n", kEmptyOutput},
      {{"-bmp", "-map", f.dir / "bad-map.bmp", f.jpeg, f.bmp}, "Color map file is invalid or of unsupported format\n",
       kEmptyOutput},
      {{"-rle", f.jpeg, f.bmp}, "Unsupported output file format\n", kEmptyOutput},
      {{"-bmp", f.dir / "text.jpg", f.bmp}, "Not a JPEG file: starts with 0x68 0x65\n", kEmptyOutput},
      {{"-bmp", f.dir / "empty.jpg", f.bmp}, "Empty input file\n", kEmptyOutput},
      {{"-bmp", f.dir / "headless.jpg", f.bmp}, "Premature end of JPEG file\nJPEG datastream contains no image\n",
       kEmptyOutput},
      {{"-bmp", f.dir / "long-comment.jpg", f.bmp},
       "Premature end of JPEG file\nJPEG datastream contains no image\n", kEmptyOutput},
      {{"-bmp", f.jpeg, "/dev/full"}, "Output file write error --- out of disk space?\n", kAnyOutput},
      {{"-bmp", "-colors", "300", f.jpeg, f.bmp}, "Cannot quantize to more than 256 colors\n", kAnyOutput},
      {{"-maxmemory", "1", "-bmp", f.jpeg, f.bmp}, "Backing store not supported\n", kAnyOutput},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::remove(f.bmp.c_str());
    const int open_files = djpegoracle::OpenFileCount();
    const Outcome outcome = Djpeg(c.args);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.messages, c.messages);
    EXPECT_EQ(djpegoracle::OpenFileCount(), open_files);
    if (c.left == kNoOutput) {
      EXPECT_FALSE(testsupport::FileExists(f.bmp));
    } else if (c.left == kEmptyOutput) {
      EXPECT_EQ(testsupport::ReadFile(f.bmp), "");
    }
    f.ExpectCleanNextRun();
  }
}

TEST(DjpegCommand, ProgramNameComesFromTheFirstWord) {
  EXPECT_EQ(Djpeg({"a.jpg"}, "djpeg.exe").messages, "djpeg.exe: must name one input and one output file\n");
  EXPECT_EQ(Djpeg({"a.jpg"}, "").messages, "djpeg: must name one input and one output file\n");
  testsupport::StderrCapture capture;
  char* no_words[] = {nullptr};
  EXPECT_EQ(RunDjpeg(0, no_words), 1);
  EXPECT_EQ(capture.Finish(), "djpeg: must name one input and one output file\n");
}

TEST(DjpegCommand, WarningsCountButOnlyTheFirstIsShown) {
  Fixture f;
  const std::string jpeg = testsupport::ReadFile(f.jpeg);
  // Stray bytes before the second marker and before the end marker.
  std::string stray = jpeg.substr(0, 2) + "xyz" + jpeg.substr(2, jpeg.size() - 4) + "ab" + jpeg.substr(jpeg.size() - 2);
  testsupport::WriteFile(f.dir / "stray.jpg", stray);
  testsupport::WriteFile(f.dir / "cut.jpg", jpeg.substr(0, jpeg.size() - 10));

  Outcome outcome = Djpeg({"-bmp", f.dir / "stray.jpg", f.bmp});
  EXPECT_EQ(outcome.result, 2);
  EXPECT_EQ(outcome.messages, "Corrupt JPEG data: 3 extraneous bytes before marker 0xe0\n");
  EXPECT_TRUE(testsupport::ReadFile(f.bmp) == f.good_bmp);

  outcome = Djpeg({"-bmp", f.dir / "cut.jpg", f.bmp});
  EXPECT_EQ(outcome.result, 2);
  EXPECT_EQ(outcome.messages, "Premature end of JPEG file\n");
  EXPECT_EQ(testsupport::ReadFile(f.bmp).size(), f.good_bmp.size());
  f.ExpectCleanNextRun();
}

TEST(DjpegCommand, FormatSwitchesChooseTheWriter) {
  Fixture f;
  const std::string out = f.dir / "out";
  const struct {
    std::vector<std::string> args;
    std::string begins;
  } cases[] = {
      {{f.jpeg, out}, "P6\n16 8\n255\n"},
      {{f.gray, out}, "P5\n5 3\n255\n"},
      {{"-outfile", out, f.jpeg}, "P6\n16 8\n255\n"},
      {{"-pnm", f.jpeg, out}, "P6\n"},
      {{"-bmp", "-ppm", f.jpeg, out}, "P6\n"},
      {{"-gif", f.jpeg, out}, "GIF87a"},
      {{"-targa", f.jpeg, out}, std::string("\0\0\2", 3)},
      {{"-os2", f.jpeg, out}, std::string("BM\x9A\x01\0\0", 6)},  // 26 + 48 x 8
      {{"-ppm", "-b", f.jpeg, out}, std::string("BM\xB6\x01\0\0", 6)},  // 54 + 48 x 8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome outcome = Djpeg(c.args);
    ASSERT_EQ(outcome.result, 0) << outcome.messages;
    EXPECT_EQ(testsupport::ReadFile(out).substr(0, c.begins.size()), c.begins);
  }
}

TEST(DjpegCommand, CommentsPrintWhenTracing) {
  Fixture f;
  const std::string jpeg = testsupport::ReadFile(f.jpeg);
  const struct {
    std::string payload;
    std::string printed;
  } cases[] = {
      {"a\r\nb", "Comment, length 4:\na\nb\n"},
      {"x\ry\nz\n\r", "Comment, length 7:\nx\ny\nz\n\n\n"},
      {"\xE9\\", "Comment, length 2:\n\\351\\\\\n"},
      {std::string("\t~\x7F \0", 5), "Comment, length 5:\n\\011~\\177 \\000\n"},
      {"", "Comment, length 0:\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    testsupport::WriteFile(f.dir / "commented.jpg", djpegoracle::WithSegment(jpeg, 0xFE, c.payload));
    const Outcome traced = Djpeg({"-debug", "-bmp", f.dir / "commented.jpg", f.bmp});
    EXPECT_EQ(traced.result, 0);
    EXPECT_NE(traced.messages.find("\n" + c.printed), std::string::npos) << traced.messages;
    const Outcome quiet = Djpeg({"-bmp", f.dir / "commented.jpg", f.bmp});
    EXPECT_EQ(quiet.result, 0);
    EXPECT_EQ(quiet.messages, "");
    EXPECT_TRUE(testsupport::ReadFile(f.bmp) == f.good_bmp);
  }
  // A length field shorter than itself reads no bytes.
  testsupport::WriteFile(f.dir / "short.jpg", djpegoracle::WithSegment(jpeg, 0xFE, "", 1));
  const Outcome shortened = Djpeg({"-d", "-bmp", f.dir / "short.jpg", f.bmp});
  EXPECT_EQ(shortened.result, 0);
  EXPECT_NE(shortened.messages.find("\nComment, length -1:\n\n"), std::string::npos);
  EXPECT_TRUE(testsupport::ReadFile(f.bmp) == f.good_bmp);
}

TEST(DjpegCommand, BannerOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whatever ran before
  auto banner_shown_once = [] {
    Fixture f;
    const std::string banner = std::string("Skerrow DJPEG, version 6a  7-Feb-96\n") + kConverterNotice + "\n";
    const Outcome first = Djpeg({"-verbose", "-debug", "-bmp", f.jpeg, f.bmp});
    const Outcome second = Djpeg({"-debug", "-bmp", f.jpeg, f.bmp});
    return first.result == 0 && second.result == 0 && first.messages.rfind(banner, 0) == 0 &&
           first.messages.find(banner, banner.size()) == std::string::npos &&
           second.messages.find("Skerrow DJPEG") == std::string::npos &&
           second.messages.find("Start of Image") != std::string::npos;
  };
  EXPECT_EXIT(std::_Exit(banner_shown_once() ? 0 : 3), ::testing::ExitedWithCode(0), "");
}

// The standalone command ends with the run's result.
TEST(DjpegCommand, StandaloneExitStatuses) {
  Fixture f;
  const std::string jpeg = testsupport::ReadFile(f.jpeg);
  testsupport::WriteFile(f.dir / "cut.jpg", jpeg.substr(0, jpeg.size() - 10));
  const std::string missing = f.dir / "missing.jpg";
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string messages;
  } cases[] = {
      {{"-bmp", f.jpeg, f.bmp}, {}, 0, ""},
      {{"-bmp", f.dir / "cut.jpg", f.bmp}, {}, 2, "Premature end of JPEG file\n"},
      {{"-bmp", f.jpeg}, {}, 1, std::string(SKERROW_DJPEG_COMMAND) + ": must name one input and one output file\n"},
      {{"-q", f.jpeg, f.bmp}, {}, 1, ""},
      {{"-bmp", missing, f.bmp}, {}, 1, std::string(SKERROW_DJPEG_COMMAND) + ": can't open " + missing + "\n"},
      {{"-rle", f.jpeg, f.bmp}, {}, 1, "Unsupported output file format\n"},
      {{"-bmp", f.jpeg, f.bmp}, {"JPEGMEM=1"}, 1, "Backing store not supported\n"},
      {{"-maxmemory", "100m", "-bmp", f.jpeg, f.bmp}, {"JPEGMEM=1"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> argv = {SKERROW_DJPEG_COMMAND};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto child = testsupport::RunProcess(argv, c.env);
    EXPECT_EQ(child.exit_code, c.status);
    EXPECT_EQ(child.err, c.messages);
  }
}

using Handler = void (*)(int);
void HostHandler(int) {}

Handler CurrentHandler(int signal_number) {
  struct sigaction action;
  sigaction(signal_number, nullptr, &action);
  return action.sa_handler;
}

TEST(DjpegSignals, RunsGiveBackTheHostsHandlers) {
  Fixture f;
  const Handler interrupt = std::signal(SIGINT, HostHandler);
  const Handler terminate = std::signal(SIGTERM, HostHandler);
  const std::vector<std::vector<std::string>> runs = {
      {"-bmp", f.jpeg, f.bmp}, {"-bmp", f.dir / "missing", f.bmp}, {"-x"}, {"-rle", f.jpeg, f.bmp}, {"-bmp"}};
  for (const auto& run : runs) {
    Djpeg(run);
    EXPECT_EQ(CurrentHandler(SIGINT), HostHandler) << ::testing::PrintToString(run);
    EXPECT_EQ(CurrentHandler(SIGTERM), HostHandler) << ::testing::PrintToString(run);
  }
  std::signal(SIGINT, interrupt);
  std::signal(SIGTERM, terminate);
}

// The writing end of `fifo`, once a reader has it open (a converter opens
// its input only after taking over the signals), or -1 after 30 s.
int OpenWriterOnceRead(const std::string& fifo) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int writer = -1;
  while ((writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return writer;
}

std::atomic<int> HostSawSignal{0};
extern "C" void RecordingHostHandler(int signal_number) { HostSawSignal = signal_number; }

// Inside the program a signal may land on any of its threads: a run waiting
// for its input on one is still ended by a signal another thread takes,
// returns 1, hands the signal on to the host, and leaves no descriptor open.
TEST(DjpegSignals, InProcessRunWaitingOnAPipeEndsOnASignalTakenElsewhere) {
  Fixture f;
  const std::string fifo = f.dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Handler saved = std::signal(SIGTERM, RecordingHostHandler);
  const int lowest_free = dup(0);
  close(lowest_free);
  std::atomic<bool> run_over{false};
  bool ended_by_signal = false;
  std::thread feeder([&] {
    const int writer = OpenWriterOnceRead(fifo);
    if (writer < 0 || write(writer, testsupport::ReadFile(f.jpeg).data(), 30) != 30) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the run is waiting by now
    std::raise(SIGTERM);  // taken by this thread, not the run's
    for (int ms = 0; ms < 5000 && !run_over; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ended_by_signal = run_over;
    close(writer);  // a run still waiting sees its input end instead
  });
  const Outcome outcome = Djpeg({"-bmp", fifo, f.bmp});
  run_over = true;
  feeder.join();
  EXPECT_TRUE(ended_by_signal) << "the run waited on after the signal";
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(HostSawSignal, SIGTERM);
  EXPECT_EQ(dup(0), lowest_free);
  close(lowest_free);
  std::signal(SIGTERM, saved);
}

// The child's exit status, or -1 when it is still running after `limit`
// (it is then killed, so a hang costs the limit and no more).
int ExitStatusWithin(pid_t child, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The command reading a pipe that stays open, fed a byte at a time, is ended
// by the signal with status 1 wherever the signal falls among its reads.
TEST(DjpegSignals, TerminationSignalsEndTheCommandWithStatusOne) {
  Fixture f;
  const std::string jpeg = testsupport::ReadFile(f.jpeg);
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> bytes_fed(0, std::min<std::size_t>(jpeg.size() - 1, 48));
  std::uniform_int_distribution<int> pause_us(0, 40);
  std::vector<int> not_one;  // -1: still running a second after the signal
  for (int run = 0; run < 200; ++run) {
    const std::string fifo = f.dir / ("pipe" + std::to_string(run));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(open("/dev/null", O_WRONLY), 2);
      execl(SKERROW_DJPEG_COMMAND, "djpeg", "-bmp", fifo.c_str(), f.bmp.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const int writer = OpenWriterOnceRead(fifo);
    ASSERT_GE(writer, 0);
    for (std::size_t i = 0, fed = bytes_fed(random); i < fed; ++i) {
      ASSERT_EQ(write(writer, &jpeg[i], 1), 1);
      std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
    }
    kill(child, run % 2 == 0 ? SIGTERM : SIGINT);
    const int status = ExitStatusWithin(child, std::chrono::seconds(1));
    close(writer);
    if (status != 1) not_one.push_back(status);
  }
  EXPECT_TRUE(not_one.empty()) << "seed " << seed << ": " << ::testing::PrintToString(not_one);
}

}  // namespace
