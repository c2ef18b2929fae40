// Keyword matching, message policy, recovery and signal handling shared by
// both converters.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "converter_support.h"
#include "test_support.h"

namespace {

TEST(MatchKeyword, PrefixRules) {
  struct Case {
    const char* argument;
    const char* keyword;
    int minimum;
    bool expected;
  } cases[] = {
      {"gif", "gif", 1, true},   {"GIF", "gif", 1, true},
      {"Gi", "gif", 1, true},    {"g", "gif", 1, true},
      {"gifx", "gif", 1, false}, {"gif1", "gif", 1, false},
      {"g", "grayscale", 2, false}, {"gr", "grayscale", 2, true},
      {"GRAYSCALE", "grayscale", 2, true}, {"grey", "grayscale", 2, false},
      {"", "gif", 1, false},     {"", "x", 0, true},
      {"B", "BMP", 1, false},    // keywords are never folded
      {"1", "1x", 1, true},      // non-letters compare as they stand
      {"\xC9", "\xE9", 1, false},  // only A-Z are folded
      {"map", "maxmemory", 3, false}, {"max", "maxmemory", 3, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchKeyword(c.argument, c.keyword, c.minimum), c.expected)
        << '"' << c.argument << "\" vs " << c.keyword << " [" << c.minimum << "]";
}

TEST(ProgramNameFrom, FallsBackOnlyForMissingOrEmpty) {
  EXPECT_STREQ(ProgramNameFrom(nullptr, "djpeg"), "djpeg");
  EXPECT_STREQ(ProgramNameFrom("", "cjpeg"), "cjpeg");
  EXPECT_STREQ(ProgramNameFrom("djpeg.exe", "djpeg"), "djpeg.exe");
}

TEST(ConverterMessages, TableMatchesCodes) {
  EXPECT_EQ(ConverterMessages[0], nullptr);
  EXPECT_EQ(ConverterMessages[MSG_ADDON_LAST - MSG_ADDON_FIRST], nullptr);
  EXPECT_STREQ(ConverterMessages[MSG_BMP_NOT - MSG_ADDON_FIRST], "Not a BMP file - does not start with BM");
  EXPECT_STREQ(ConverterMessages[MSG_UNKNOWN_INPUT - MSG_ADDON_FIRST],
               "Unrecognized input file format --- perhaps you need -targa");
  EXPECT_STREQ(ConverterMessages[MSG_UNSUPPORTED_FORMAT - MSG_ADDON_FIRST], "Unsupported output file format");
  for (int code = MSG_ADDON_FIRST + 1; code < MSG_ADDON_LAST; ++code)
    EXPECT_NE(ConverterMessages[code - MSG_ADDON_FIRST], nullptr) << code;
}

// A decompression object with the converters' error manager, as a run has it.
struct RunObject {
  ConverterErrorManager manager;
  jpeg_decompress_struct decompressor;
  RunObject() {
    decompressor.err = InitConverterErrorManager(&manager);
    jpeg_create_decompress(&decompressor);
  }
  ~RunObject() { jpeg_destroy_decompress(&decompressor); }
  j_common_ptr common() { return reinterpret_cast<j_common_ptr>(&decompressor); }
};

TEST(MessagePolicy, WarningsCountedButFirstOnlyPrintedBelowLevelThree) {
  RunObject run;
  testsupport::StderrCapture capture;
  WARNMS1(&run.decompressor, MSG_GIF_EXTENSION, 0x21);
  WARNMS1(&run.decompressor, MSG_GIF_EXTENSION, 0xfe);
  std::string text = capture.Finish();
  EXPECT_EQ(run.manager.pub.num_warnings, 2);
  EXPECT_EQ(text, "Ignoring GIF extension block of type 0x21\n");

  run.manager.pub.trace_level = 3;
  testsupport::StderrCapture second;
  WARNMS(&run.decompressor, MSG_GIF_NONSQUARE);
  EXPECT_EQ(second.Finish(), "Caution: nonsquare pixels in input\n");
}

TEST(MessagePolicy, CodesWithoutTextPrintAsBogus) {
  RunObject run;
  testsupport::StderrCapture capture;
  run.manager.pub.trace_level = 1;
  TRACEMS(&run.decompressor, 1, MSG_ADDON_FIRST);
  TRACEMS(&run.decompressor, 1, MSG_ADDON_LAST);
  TRACEMS2(&run.decompressor, 2, MSG_BMP_TRACE_24, 3, 4);  // above the level: silent
  EXPECT_EQ(capture.Finish(), "Bogus message code 1000\nBogus message code 1043\n");
}

TEST(Recovery, FatalErrorPrintsAndReturnsToTheRun) {
  RunObject run;
  std::FILE* opened = std::tmpfile();
  run.manager.extra_file = opened;
  testsupport::StderrCapture capture;
  volatile bool recovered = false;
  if (setjmp(run.manager.escape) == 0) {
    ERREXIT1(&run.decompressor, MSG_TOO_MANY_COLORS, 300);
  } else {
    recovered = true;
    CloseRunFiles(&run.manager);
  }
  EXPECT_TRUE(recovered);
  EXPECT_EQ(capture.Finish(), "Output file format cannot handle 300 colormap entries\n");
  EXPECT_EQ(run.manager.extra_file, nullptr);
}

TEST(Recovery, UsageExitPrintsNothing) {
  RunObject run;
  testsupport::StderrCapture capture;
  volatile int passes = 0;
  if (setjmp(run.manager.escape) == 0) {
    passes = passes + 1;
    UsageExit(run.common());
  }
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(capture.Finish(), "");
}

extern "C" void CountingHandler(int) {}

TEST(TerminationSignals, ReleaseRestoresTheHostsHandlers) {
  auto host = std::signal(SIGTERM, CountingHandler);
  {
    RunObject run;
    CatchTerminationSignals(run.common());
    EXPECT_EQ(std::signal(SIGTERM, OnTerminationSignal), OnTerminationSignal);
    CatchTerminationSignals(run.common());  // a second run keeps the host's handler saved
    ReleaseTerminationSignals();
  }
  EXPECT_EQ(std::signal(SIGTERM, host), CountingHandler);
}

volatile std::sig_atomic_t HostSawSignal = 0;
extern "C" void RecordingHandler(int signal_number) { HostSawSignal = signal_number; }

// A signal during a run only marks it; the run ends at its next row with 1,
// and the signal then reaches the host's own handler, or nobody when the
// host left the signal alone (the standalone command exits with the 1).
TEST(TerminationSignals, EndTheRunAtTheNextRowThenReachTheHost) {
  struct Case {
    int signal_number;
    void (*host)(int);
    int host_sees;
  } cases[] = {
      {SIGTERM, RecordingHandler, SIGTERM},
      {SIGINT, RecordingHandler, SIGINT},
      {SIGTERM, SIG_DFL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal_number);
    auto saved = std::signal(c.signal_number, c.host);
    HostSawSignal = 0;
    RunObject run;
    volatile int rows = 0;
    volatile bool ended = false;
    if (setjmp(run.manager.escape) == 0) {
      CatchTerminationSignals(run.common());
      EndRunIfSignalled(run.common());  // nothing yet: the run goes on
      rows = rows + 1;
      std::raise(c.signal_number);
      EXPECT_EQ(HostSawSignal, 0) << "reached the host while the run held the signal";
      EndRunIfSignalled(run.common());
      rows = rows + 1;
    } else {
      ended = true;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(EndConverterRun(run.common(), &run.manager, 0), 1);
    EXPECT_EQ(HostSawSignal, c.host_sees);
    EXPECT_EQ(std::signal(c.signal_number, saved), c.host);
  }
  // A later run starts unmarked.
  RunObject next;
  CatchTerminationSignals(next.common());
  EXPECT_EQ(EndConverterRun(next.common(), &next.manager, 2), 2);
}

}  // namespace
