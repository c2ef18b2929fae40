// The encoding command: GIF, PPM/PGM, BMP or Targa in, JPEG out, driven by an
// argument vector as a command line would drive it.
#include <climits>
#include <csetjmp>
#include <cstdio>

#include "converter_support.h"
#include "pixel_source.h"
#include "switch_files.h"

namespace {

// Process-wide command state; calls never overlap.
const char* ProgramName = "cjpeg";  // argv[0] of the current call
const char* OutputName = nullptr;   // from -outfile or the second file name
bool TargaInput = false;            // -targa: no sniffing of the first byte
bool BannerShown = false;           // the banner appears once per process

j_common_ptr AsCommon(j_compress_ptr compressor) {
  return reinterpret_cast<j_common_ptr>(compressor);
}

// "%d": saturates instead of wrapping, so a huge quality reads as 100.
bool ReadIntValue(const char* text, int* value) {
  long wide = 0;
  const char* rest = nullptr;
  if (!ScanDecimal(text, &wide, &rest)) return false;
  *value = wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : static_cast<int>(wide);
  return true;
}

// "%ld%c": the number and the character right after it ('\0' if none).
bool ReadLongValue(const char* text, long* value, char* suffix) {
  const char* rest = nullptr;
  if (!ScanDecimal(text, value, &rest)) return false;
  *suffix = *rest;
  return true;
}

void ShowBanner() {
  if (BannerShown) return;
  std::fprintf(stderr, "Skerrow CJPEG, version %s\n%s\n", kConverterVersion, kConverterNotice);
  BannerShown = true;
}

// Scans the switches; in the for-real scan also applies quality, tables,
// slots, sampling, progression and the scan script, in that order. Returns
// the index of the first file name (argc when there is none).
int ParseCjpegSwitches(j_compress_ptr compressor, int argc, char** argv, int last_file_arg_seen,
                       bool for_real) {
  int quality = 75;
  int table_scale = 100;
  bool force_baseline = false;
  bool simple_progressive = false;
  const char* qtables_file = nullptr;
  const char* qslots_list = nullptr;
  const char* sample_list = nullptr;
  const char* scans_file = nullptr;

  TargaInput = false;
  OutputName = nullptr;
  compressor->err->trace_level = 0;

  int argn = 1;
  for (; argn < argc; ++argn) {
    const char* arg = argv[argn];
    if (arg[0] != '-') {
      if (argn <= last_file_arg_seen) {
        OutputName = nullptr;
        continue;
      }
      break;
    }
    ++arg;

    // A switch that takes a value consumes the next argument.
    auto value = [&]() -> const char* {
      if (++argn >= argc) UsageExit(AsCommon(compressor));
      return argv[argn];
    };

    if (MatchKeyword(arg, "arithmetic", 1)) {
      std::fprintf(stderr, "%s: sorry, arithmetic coding not supported\n", ProgramName);
      AbandonRun(AsCommon(compressor));
    } else if (MatchKeyword(arg, "baseline", 1)) {
      force_baseline = true;
    } else if (MatchKeyword(arg, "dct", 2)) {
      const char* method = value();
      if (MatchKeyword(method, "int", 1)) {
        compressor->dct_method = JDCT_ISLOW;
      } else if (MatchKeyword(method, "fast", 2)) {
        compressor->dct_method = JDCT_IFAST;
      } else if (MatchKeyword(method, "float", 2)) {
        compressor->dct_method = JDCT_FLOAT;
      } else {
        UsageExit(AsCommon(compressor));
      }
    } else if (MatchKeyword(arg, "debug", 1) || MatchKeyword(arg, "verbose", 1)) {
      ShowBanner();
      compressor->err->trace_level++;
    } else if (MatchKeyword(arg, "grayscale", 2) || MatchKeyword(arg, "greyscale", 2)) {
      jpeg_set_colorspace(compressor, JCS_GRAYSCALE);
    } else if (MatchKeyword(arg, "maxmemory", 3)) {
      long amount = 0;
      char suffix = '\0';
      if (!ReadLongValue(value(), &amount, &suffix)) UsageExit(AsCommon(compressor));
      long unit = (suffix == 'm' || suffix == 'M') ? 1000L * 1000L : 1000L;
      // A limit beyond what the library can hold is unreadable, not wrapped.
      if (amount > LONG_MAX / unit || amount < LONG_MIN / unit) UsageExit(AsCommon(compressor));
      compressor->mem->max_memory_to_use = amount * unit;
    } else if (MatchKeyword(arg, "optimize", 1) || MatchKeyword(arg, "optimise", 1)) {
      compressor->optimize_coding = TRUE;
    } else if (MatchKeyword(arg, "outfile", 4)) {
      OutputName = value();
    } else if (MatchKeyword(arg, "progressive", 1)) {
      simple_progressive = true;
    } else if (MatchKeyword(arg, "quality", 1)) {
      if (!ReadIntValue(value(), &quality)) UsageExit(AsCommon(compressor));
      table_scale = jpeg_quality_scaling(quality);
    } else if (MatchKeyword(arg, "qslots", 2)) {
      qslots_list = value();
    } else if (MatchKeyword(arg, "qtables", 2)) {
      qtables_file = value();
    } else if (MatchKeyword(arg, "restart", 1)) {
      long interval = 0;
      char suffix = '\0';
      if (!ReadLongValue(value(), &interval, &suffix)) UsageExit(AsCommon(compressor));
      if (interval < 0 || interval > 65535) UsageExit(AsCommon(compressor));
      if (suffix == 'b' || suffix == 'B') {
        compressor->restart_interval = static_cast<unsigned int>(interval);
        compressor->restart_in_rows = 0;
      } else {
        compressor->restart_in_rows = static_cast<int>(interval);
      }
    } else if (MatchKeyword(arg, "sample", 2)) {
      sample_list = value();
    } else if (MatchKeyword(arg, "scans", 2)) {
      scans_file = value();
    } else if (MatchKeyword(arg, "smooth", 2)) {
      int factor = 0;
      if (!ReadIntValue(value(), &factor)) UsageExit(AsCommon(compressor));
      if (factor < 0 || factor > 100) UsageExit(AsCommon(compressor));
      compressor->smoothing_factor = factor;
    } else if (MatchKeyword(arg, "targa", 1)) {
      TargaInput = true;
    } else {
      UsageExit(AsCommon(compressor));
    }
  }

  if (for_real) {
    // Quality first, so a table file replaces the tables it builds.
    jpeg_set_quality(compressor, quality, force_baseline ? TRUE : FALSE);
    if (qtables_file != nullptr &&
        !LoadQuantTables(compressor, qtables_file, table_scale, force_baseline)) {
      UsageExit(AsCommon(compressor));
    }
    if (qslots_list != nullptr && !ApplyTableSlots(compressor, qslots_list)) {
      UsageExit(AsCommon(compressor));
    }
    if (sample_list != nullptr && !ApplySamplingFactors(compressor, sample_list)) {
      UsageExit(AsCommon(compressor));
    }
    if (simple_progressive) jpeg_simple_progression(compressor);
    // A script replaces the progressive sequence.
    if (scans_file != nullptr && !LoadScanScript(compressor, scans_file)) {
      UsageExit(AsCommon(compressor));
    }
  }
  return argn;
}

// Picks the reader by the input's first byte (or -targa).
PixelSource* SelectReader(j_compress_ptr compressor, std::FILE* input) {
  if (TargaInput) return OpenTargaReader(compressor);
  int first = std::getc(input);
  if (first == EOF) ERREXIT(compressor, JERR_INPUT_EMPTY);
  if (std::ungetc(first, input) == EOF) ERREXIT(compressor, MSG_UNGETC_FAILED);
  switch (first) {
    case 'B':
      return OpenBmpReader(compressor);
    case 'G':
      return OpenGifReader(compressor);
    case 'P':
      return OpenPpmReader(compressor);
    case 0x00:
      return OpenTargaReader(compressor);
    default:
      ERREXIT(compressor, MSG_UNKNOWN_INPUT);
  }
  return nullptr;  // not reached: ERREXIT leaves the run
}

}  // namespace

int RunCjpeg(int argc, char** argv) {
  ProgramName = ProgramNameFrom(argc > 0 ? argv[0] : nullptr, "cjpeg");

  // Zeroed first, so that even a failure inside jpeg_create_compress (out of
  // memory) leaves an object the recovery below can destroy.
  jpeg_compress_struct compressor{};
  ConverterErrorManager manager;
  compressor.err = InitConverterErrorManager(&manager);

  // Every failure from here on (fatal error, bad command line, failing
  // switch file) lands here: the files and the compressor are released and
  // the caller gets 1 instead of losing its process.
  if (setjmp(manager.escape) != 0) return EndConverterRun(AsCommon(&compressor), &manager, 1);

  jpeg_create_compress(&compressor);
  CatchTerminationSignals(AsCommon(&compressor));

  compressor.in_color_space = JCS_RGB;  // provisional, until the reader knows
  jpeg_set_defaults(&compressor);

  int file_index = ParseCjpegSwitches(&compressor, argc, argv, 0, false);

  if (OutputName == nullptr ? argc - file_index != 2 : argc - file_index != 1) {
    std::fprintf(stderr, "%s: must name one input and one output file\n", ProgramName);
    UsageExit(AsCommon(&compressor));
  }
  if (OutputName == nullptr) OutputName = argv[file_index + 1];

  manager.input_file = OpenRunInput(argv[file_index]);
  if (manager.input_file == nullptr) {
    std::fprintf(stderr, "%s: can't open %s\n", ProgramName, argv[file_index]);
    return EndConverterRun(AsCommon(&compressor), &manager, 1);
  }
  manager.output_file = std::fopen(OutputName, "wb");
  if (manager.output_file == nullptr) {
    std::fprintf(stderr, "%s: can't open %s\n", ProgramName, OutputName);
    return EndConverterRun(AsCommon(&compressor), &manager, 1);
  }

  PixelSource* source = SelectReader(&compressor, manager.input_file);
  source->InputFile = manager.input_file;
  (*source->ReadHeader)(&compressor, source);

  jpeg_default_colorspace(&compressor);
  ParseCjpegSwitches(&compressor, argc, argv, 0, true);

  jpeg_stdio_dest(&compressor, manager.output_file);
  // Starting the compressor resets the error manager, which would forget the
  // warnings the reader gave over the header (and show the next one again).
  long header_warnings = compressor.err->num_warnings;
  jpeg_start_compress(&compressor, TRUE);
  compressor.err->num_warnings += header_warnings;
  while (compressor.next_scanline < compressor.image_height) {
    EndRunIfSignalled(AsCommon(&compressor));
    JDIMENSION rows = (*source->ReadRows)(&compressor, source);
    // A reader that delivers nothing would otherwise spin here for ever.
    if (rows == 0) ERREXIT(&compressor, JERR_INPUT_EOF);
    jpeg_write_scanlines(&compressor, source->RowBuffer, rows);
  }
  (*source->FinishReading)(&compressor, source);
  jpeg_finish_compress(&compressor);

  return EndConverterRun(AsCommon(&compressor), &manager, compressor.err->num_warnings != 0 ? 2 : 0);
}
