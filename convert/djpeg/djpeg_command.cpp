// The decoding command: its command line, the order of library calls from
// header to last row, and the printer for comment markers.
//
// A run leaves on a fatal error, a bad command line or an unopenable file by
// jumping back to RunDjpeg's recovery point, so no frame between here and the
// library may own anything with a destructor: the run's files live in the
// error manager's slots and everything else in the library's pools.
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>

#include "converter_support.h"
#include "image_writer.h"

// Reachable from the tests; the command itself is the only other caller.
int ScanDjpegSwitches(j_decompress_ptr decompressor, int argc, char** argv, bool for_real);
boolean PrintCommentMarker(j_decompress_ptr decompressor);
unsigned NextMarkerByte(j_decompress_ptr decompressor);

namespace {

enum OutputFormatKind { FORMAT_BMP, FORMAT_OS2_BMP, FORMAT_GIF, FORMAT_PPM, FORMAT_RLE, FORMAT_TARGA };

constexpr int kCommentMarker = 254;

const char* ProgramName = "djpeg";          // first word of our own messages; set by each run
OutputFormatKind OutputFormat = FORMAT_PPM;  // chosen by the latest switch scan
const char* OutputName = nullptr;           // -outfile or the second file argument
bool BannerShown = false;                    // the banner appears once per process

j_common_ptr Common(j_decompress_ptr decompressor) { return reinterpret_cast<j_common_ptr>(decompressor); }

// A decimal number as "%d"/"%ld" would read it (leading blanks, a sign,
// then digits; anything after is left), but values out of range are
// clamped instead of overflowing. Returns the first byte not used, or null
// when no digit was read.
const char* ReadLong(const char* text, long* value) {
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (end == text) return nullptr;
  *value = number;  // strtol already clamps to LONG_MIN / LONG_MAX
  return end;
}

const char* ReadInt(const char* text, int* value) {
  long number = 0;
  const char* end = ReadLong(text, &number);
  if (end == nullptr) return nullptr;
  *value = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
  return end;
}

// Multiplies by 1000 without overflowing: a limit too large to state is no limit.
long Thousandfold(long value) {
  if (value > LONG_MAX / 1000) return LONG_MAX;
  if (value < LONG_MIN / 1000) return LONG_MIN;
  return value * 1000;
}

// A switch value that must be one of a few keywords.
struct ValueKeyword {
  const char* keyword;
  int minimum;
  int setting;
};
constexpr ValueKeyword kDctMethods[] = {{"int", 1, JDCT_ISLOW}, {"fast", 2, JDCT_IFAST}, {"float", 2, JDCT_FLOAT}};
constexpr ValueKeyword kDitherModes[] = {
    {"fs", 2, JDITHER_FS}, {"none", 2, JDITHER_NONE}, {"ordered", 2, JDITHER_ORDERED}};

template <std::size_t N>
int ChooseValue(j_common_ptr common, const char* value, const ValueKeyword (&choices)[N]) {
  for (const ValueKeyword& choice : choices)
    if (MatchKeyword(value, choice.keyword, choice.minimum)) return choice.setting;
  UsageExit(common);
}

void ShowBanner() {
  std::fprintf(stderr, "Skerrow DJPEG, version %s\n%s\n", kConverterVersion, kConverterNotice);
  BannerShown = true;
}

// -map, on the scan that follows the header read: the file stays in the run's
// slot while it is read, so a defect in it still closes it.
void LoadMapSwitchFile(j_decompress_ptr decompressor, const char* name) {
  ConverterErrorManager* manager = RunErrorManager(Common(decompressor));
  manager->extra_file = OpenRunInput(name);
  if (manager->extra_file == nullptr) {
    std::fprintf(stderr, "%s: can't open %s\n", ProgramName, name);
    AbandonRun(Common(decompressor));
  }
  LoadColourMapFile(decompressor, manager->extra_file);
  std::fclose(manager->extra_file);
  manager->extra_file = nullptr;
  decompressor->quantize_colors = TRUE;
}

ImageWriter* CreateWriter(j_decompress_ptr decompressor) {
  switch (OutputFormat) {
    case FORMAT_BMP:
      return CreateBmpWriter(decompressor, FALSE);
    case FORMAT_OS2_BMP:
      return CreateBmpWriter(decompressor, TRUE);
    case FORMAT_GIF:
      return CreateGifWriter(decompressor);
    case FORMAT_PPM:
      return CreatePpmWriter(decompressor);
    case FORMAT_TARGA:
      return CreateTargaWriter(decompressor);
    case FORMAT_RLE:
      break;
  }
  ERREXIT(decompressor, MSG_UNSUPPORTED_FORMAT);
  return nullptr;
}

// Opens one of the run's two files into its slot, or leaves the run with the
// command's own message.
void OpenRunFile(j_decompress_ptr decompressor, std::FILE** slot, const char* name, bool input) {
  *slot = input ? OpenRunInput(name) : std::fopen(name, "wb");
  if (*slot == nullptr) {
    std::fprintf(stderr, "%s: can't open %s\n", ProgramName, name);
    AbandonRun(Common(decompressor));
  }
}

// The library's refill of the standard-file source. A read that a
// termination signal cut short looks to it like the end of the file, which
// it patches over and goes on decoding made-up data; the next refill ends
// the run instead.
boolean (*LibraryFill)(j_decompress_ptr) = nullptr;

boolean FillUnlessSignalled(j_decompress_ptr decompressor) {
  EndRunIfSignalled(Common(decompressor));
  return (*LibraryFill)(decompressor);
}

}  // namespace

unsigned NextMarkerByte(j_decompress_ptr decompressor) {
  jpeg_source_mgr* source = decompressor->src;
  if (source->bytes_in_buffer == 0) {
    // A source that claims success but supplies nothing would loop forever.
    if (!(*source->fill_input_buffer)(decompressor) || source->bytes_in_buffer == 0)
      ERREXIT(decompressor, JERR_CANT_SUSPEND);
  }
  source->bytes_in_buffer--;
  return GETJOCTET(*source->next_input_byte++);
}

boolean PrintCommentMarker(j_decompress_ptr decompressor) {
  const bool shown = decompressor->err->trace_level >= 1;
  long length = static_cast<long>(NextMarkerByte(decompressor)) << 8;
  length += NextMarkerByte(decompressor);
  length -= 2;  // the length counts its own two bytes

  if (shown) std::fprintf(stderr, "Comment, length %ld:\n", length);
  unsigned previous = 0;
  for (; length > 0; --length) {
    // Consumed even when not shown, so the marker reader stays in step.
    const unsigned byte = NextMarkerByte(decompressor);
    if (shown) {
      if (byte == '\r') {
        std::fputc('\n', stderr);
      } else if (byte == '\n') {
        if (previous != '\r') std::fputc('\n', stderr);  // CR LF is one line break
      } else if (byte == '\\') {
        std::fputs("\\\\", stderr);
      } else if (byte >= 0x20 && byte <= 0x7E) {
        std::fputc(static_cast<int>(byte), stderr);
      } else {
        std::fprintf(stderr, "\\%03o", byte);
      }
    }
    previous = byte;
  }
  if (shown) std::fputc('\n', stderr);
  return TRUE;
}

int ScanDjpegSwitches(j_decompress_ptr decompressor, int argc, char** argv, bool for_real) {
  j_common_ptr common = Common(decompressor);
  OutputFormat = FORMAT_PPM;
  OutputName = nullptr;
  decompressor->err->trace_level = 0;

  int index = 1;
  for (; index < argc; ++index) {
    const char* argument = argv[index];
    if (argument[0] != '-') return index;
    const char* word = argument + 1;

    // The value word of a switch that takes one; a missing one is a usage error.
    auto value = [&]() -> const char* {
      if (index + 1 >= argc) UsageExit(common);
      return argv[++index];
    };

    if (MatchKeyword(word, "bmp", 1)) {
      OutputFormat = FORMAT_BMP;
    } else if (MatchKeyword(word, "colors", 1) || MatchKeyword(word, "colours", 1) ||
               MatchKeyword(word, "quantize", 1) || MatchKeyword(word, "quantise", 1)) {
      int colours = 0;
      if (ReadInt(value(), &colours) == nullptr) UsageExit(common);
      decompressor->desired_number_of_colors = colours;
      decompressor->quantize_colors = TRUE;
    } else if (MatchKeyword(word, "dct", 2)) {
      decompressor->dct_method = static_cast<J_DCT_METHOD>(ChooseValue(common, value(), kDctMethods));
    } else if (MatchKeyword(word, "dither", 2)) {
      decompressor->dither_mode = static_cast<J_DITHER_MODE>(ChooseValue(common, value(), kDitherModes));
    } else if (MatchKeyword(word, "debug", 1) || MatchKeyword(word, "verbose", 1)) {
      if (!BannerShown) ShowBanner();
      decompressor->err->trace_level++;
    } else if (MatchKeyword(word, "fast", 1)) {
      decompressor->two_pass_quantize = FALSE;
      decompressor->dither_mode = JDITHER_ORDERED;
      if (!decompressor->quantize_colors) decompressor->desired_number_of_colors = 216;
      decompressor->dct_method = JDCT_IFAST;
      decompressor->do_fancy_upsampling = FALSE;
    } else if (MatchKeyword(word, "gif", 1)) {
      OutputFormat = FORMAT_GIF;
    } else if (MatchKeyword(word, "grayscale", 2) || MatchKeyword(word, "greyscale", 2)) {
      decompressor->out_color_space = JCS_GRAYSCALE;
    } else if (MatchKeyword(word, "map", 3)) {
      const char* name = value();
      if (for_real) LoadMapSwitchFile(decompressor, name);
    } else if (MatchKeyword(word, "maxmemory", 3)) {
      long amount = 0;
      const char* rest = ReadLong(value(), &amount);
      if (rest == nullptr) UsageExit(common);
      if (*rest == 'm' || *rest == 'M') amount = Thousandfold(amount);
      decompressor->mem->max_memory_to_use = Thousandfold(amount);
    } else if (MatchKeyword(word, "nosmooth", 3)) {
      decompressor->do_fancy_upsampling = FALSE;
    } else if (MatchKeyword(word, "onepass", 3)) {
      decompressor->two_pass_quantize = FALSE;
    } else if (MatchKeyword(word, "os2", 3)) {
      OutputFormat = FORMAT_OS2_BMP;
    } else if (MatchKeyword(word, "outfile", 4)) {
      OutputName = value();
    } else if (MatchKeyword(word, "pnm", 1) || MatchKeyword(word, "ppm", 1)) {
      OutputFormat = FORMAT_PPM;
    } else if (MatchKeyword(word, "rle", 1)) {
      OutputFormat = FORMAT_RLE;
    } else if (MatchKeyword(word, "scale", 1)) {
      int numerator = 0;
      int denominator = 0;
      const char* rest = ReadInt(value(), &numerator);
      if (rest == nullptr || *rest != '/' || ReadInt(rest + 1, &denominator) == nullptr) UsageExit(common);
      decompressor->scale_num = static_cast<unsigned>(numerator);
      decompressor->scale_denom = static_cast<unsigned>(denominator);
    } else if (MatchKeyword(word, "targa", 1)) {
      OutputFormat = FORMAT_TARGA;
    } else {
      UsageExit(common);
    }
  }
  return index;
}

int RunDjpeg(int argc, char** argv) {
  ConverterErrorManager manager;
  jpeg_decompress_struct decompressor;
  // A failure while the object is being created must find it destroyable.
  std::memset(&decompressor, 0, sizeof decompressor);

  ProgramName = ProgramNameFrom(argc > 0 ? argv[0] : nullptr, "djpeg");
  decompressor.err = InitConverterErrorManager(&manager);
  if (setjmp(manager.escape) != 0) {
    return EndConverterRun(Common(&decompressor), &manager, 1);
  }
  jpeg_create_decompress(&decompressor);
  jpeg_set_marker_processor(&decompressor, kCommentMarker, PrintCommentMarker);
  CatchTerminationSignals(Common(&decompressor));

  // This scan only finds the file names and sets what the header read needs
  // (trace level, memory limit); the header read resets everything else.
  const int file_index = ScanDjpegSwitches(&decompressor, argc, argv, false);
  const int files_left = argc - file_index;
  if (OutputName == nullptr && files_left == 2) {
    OutputName = argv[file_index + 1];
  } else if (OutputName == nullptr || files_left != 1) {
    std::fprintf(stderr, "%s: must name one input and one output file\n", ProgramName);
    UsageExit(Common(&decompressor));
  }

  OpenRunFile(&decompressor, &manager.input_file, argv[file_index], true);
  OpenRunFile(&decompressor, &manager.output_file, OutputName, false);

  jpeg_stdio_src(&decompressor, manager.input_file);
  LibraryFill = decompressor.src->fill_input_buffer;
  decompressor.src->fill_input_buffer = FillUnlessSignalled;
  jpeg_read_header(&decompressor, TRUE);
  ScanDjpegSwitches(&decompressor, argc, argv, true);

  ImageWriter* writer = CreateWriter(&decompressor);
  writer->OutputFile = manager.output_file;

  jpeg_start_decompress(&decompressor);
  (*writer->BeginImage)(&decompressor, writer);
  while (decompressor.output_scanline < decompressor.output_height) {
    EndRunIfSignalled(Common(&decompressor));
    const JDIMENSION rows = jpeg_read_scanlines(&decompressor, writer->RowBuffer, writer->RowBufferHeight);
    (*writer->WriteRows)(&decompressor, writer, rows);
  }
  (*writer->EndImage)(&decompressor, writer);
  jpeg_finish_decompress(&decompressor);

  // Data still buffered can fail to reach the disk on close; that is a
  // failed run, not a finished one.
  std::FILE* output = manager.output_file;
  manager.output_file = nullptr;
  if (std::fclose(output) != 0) ERREXIT(&decompressor, JERR_FILE_WRITE);

  return EndConverterRun(Common(&decompressor), &manager, manager.pub.num_warnings > 0 ? 2 : 0);
}
