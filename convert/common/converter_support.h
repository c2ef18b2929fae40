// What the two picture converters share: keyword matching, the termination
// signal handler, their add-on message table and the way a run is left on a
// fatal error or a bad command line.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

// Codes of the converters' own messages, installed beside the library's
// table as the add-on range 1000..1043.
enum ConverterMessageCode {
  MSG_ADDON_FIRST = 1000,
  MSG_BMP_COLORMAP = 1001,         // "Unsupported BMP colormap format"
  MSG_BMP_DEPTH = 1002,            // "Only 8- and 24-bit BMP files are supported"
  MSG_BMP_HEADER_LENGTH = 1003,    // "Invalid BMP file: bad header length"
  MSG_BMP_PLANES = 1004,           // "Invalid BMP file: biPlanes not equal to 1"
  MSG_BMP_COLORSPACE = 1005,       // "BMP output must be grayscale or RGB"
  MSG_BMP_COMPRESSED = 1006,       // "Sorry, compressed BMPs not yet supported"
  MSG_BMP_NOT = 1007,              // "Not a BMP file - does not start with BM"
  MSG_BMP_TRACE_24 = 1008,         // "%ux%u 24-bit BMP image"
  MSG_BMP_TRACE_8 = 1009,          // "%ux%u 8-bit colormapped BMP image"
  MSG_BMP_TRACE_OS2_24 = 1010,     // "%ux%u 24-bit OS2 BMP image"
  MSG_BMP_TRACE_OS2_8 = 1011,      // "%ux%u 8-bit colormapped OS2 BMP image"
  MSG_GIF_BUG = 1012,              // "GIF output got confused"
  MSG_GIF_CODESIZE = 1013,         // "Bogus GIF codesize %d"
  MSG_GIF_COLORSPACE = 1014,       // "GIF output must be grayscale or RGB"
  MSG_GIF_IMAGENOTFOUND = 1015,    // "Too few images in GIF file"
  MSG_GIF_NOT = 1016,              // "Not a GIF file"
  MSG_GIF_TRACE_HEADER = 1017,     // "%ux%ux%d GIF image"
  MSG_GIF_BAD_VERSION = 1018,      // "Warning: unexpected GIF version number '%c%c%c'"
  MSG_GIF_EXTENSION = 1019,        // "Ignoring GIF extension block of type 0x%02x"
  MSG_GIF_NONSQUARE = 1020,        // "Caution: nonsquare pixels in input"
  MSG_GIF_BAD_CODE = 1021,         // "Corrupt data in GIF file"
  MSG_GIF_BOGUS_CHAR = 1022,       // "Bogus char 0x%02x in GIF file, ignoring"
  MSG_GIF_ENDCODE = 1023,          // "Premature end of GIF image"
  MSG_GIF_NOMOREDATA = 1024,       // "Ran out of GIF bits"
  MSG_PPM_COLORSPACE = 1025,       // "PPM output must be grayscale or RGB"
  MSG_PPM_NONNUMERIC = 1026,       // "Nonnumeric data in PPM file"
  MSG_PPM_NOT = 1027,              // "Not a PPM file"
  MSG_PPM_TRACE_PGM = 1028,        // "%ux%u PGM image"
  MSG_PPM_TRACE_PGM_TEXT = 1029,   // "%ux%u text PGM image"
  MSG_PPM_TRACE_PPM = 1030,        // "%ux%u PPM image"
  MSG_PPM_TRACE_PPM_TEXT = 1031,   // "%ux%u text PPM image"
  MSG_TGA_COLORMAP = 1032,         // "Unsupported Targa colormap format"
  MSG_TGA_BAD_PARMS = 1033,        // "Invalid or unsupported Targa file"
  MSG_TGA_COLORSPACE = 1034,       // "Targa output must be grayscale or RGB"
  MSG_TGA_TRACE_RGB = 1035,        // "%ux%u RGB Targa image"
  MSG_TGA_TRACE_GRAY = 1036,       // "%ux%u grayscale Targa image"
  MSG_TGA_TRACE_MAPPED = 1037,     // "%ux%u colormapped Targa image"
  MSG_BAD_CMAP_FILE = 1038,        // "Color map file is invalid or of unsupported format"
  MSG_TOO_MANY_COLORS = 1039,      // "Output file format cannot handle %d colormap entries"
  MSG_UNGETC_FAILED = 1040,        // "ungetc failed"
  MSG_UNKNOWN_INPUT = 1041,        // "Unrecognized input file format --- perhaps you need -targa"
  MSG_UNSUPPORTED_FORMAT = 1042,   // "Unsupported output file format"
  MSG_ADDON_LAST = 1043,
};

// Texts of the add-on codes, indexed by code minus 1000; the first and the
// last entry are empty so that the library prints them as bogus codes.
extern const char* const ConverterMessages[MSG_ADDON_LAST - MSG_ADDON_FIRST + 1];

// The version text both banners show.
inline constexpr const char* kConverterVersion = "6a  7-Feb-96";
// The notice line printed under the banner.
extern const char* const kConverterNotice;

// True when `argument` is a prefix of the lower-case `keyword` (A-Z folded)
// at least `minimum` characters long.
bool MatchKeyword(const char* argument, const char* keyword, int minimum);

// One byte of a text file the converters read (PPM headers and rasters,
// colour maps, table and scan files); a '#' comment up to its line end reads
// as the single newline that ends it.
int ReadCommentedChar(std::FILE* file);

// A hint that a large block is about to be filled from start to end: where
// the system offers large pages, it backs the block with them, since first
// touches of small pages cost as much as decoding a whole picture. Nothing
// changes where the system has no such offer or declines.
void HintLargeFill(void* start, std::size_t bytes);

// argv[0], or `fallback` when it is missing or empty.
const char* ProgramNameFrom(const char* argv0, const char* fallback);

// Starts a run's watch for SIGINT and SIGTERM: installs OnTerminationSignal,
// remembering the handlers it replaces, opens the pipe by which it wakes a
// waiting read, and has the library's long passes (progress monitor) end
// the run when a signal has arrived.
void CatchTerminationSignals(j_common_ptr object);
// Ends a run's watch: puts back the handlers that were replaced, closes the
// wake-up pipe and returns the signal that arrived during the run (0 for
// none), now forgotten.
int ReleaseTerminationSignals();
// Hands a signal that arrived during a run on to the host's own handler, now
// that it is back, so the host ends the way it ends on any such signal. A
// host that left the signals alone (the standalone commands) is not ended
// by it: the run's result 1 is its exit status.
void PassOnTerminationSignal(int signal_number);
// Records the signal for the run and wakes a read waiting for input; nothing
// more, so it is safe in signal context, on whichever thread it lands.
extern "C" void OnTerminationSignal(int signal_number);
// Opens a file a run reads ("rb"), or null. Its reads never
// wait past a termination signal: once one has arrived they fail at once,
// wherever the signal fell, so a run fed by a pipe that stays open still
// reaches the check that ends it. Closed with fclose like any other file.
std::FILE* OpenRunInput(const char* name);
// Called at each row of a run: when a termination signal has arrived, leaves
// the run the way a fatal error does, silently.
void EndRunIfSignalled(j_common_ptr object);

// The error manager of one converter run. A fatal error prints its message
// and jumps back to `escape`, where the run destroys its codec object,
// closes the files it opened (kept here, so the frames the jump crosses own
// nothing) and returns 1. UsageExit takes the same road without a message.
struct ConverterErrorManager {
  jpeg_error_mgr pub;   // the library's standard manager; must be first
  std::jmp_buf escape;  // where the run recovers
  std::FILE* input_file;   // files the run has open, closed on recovery
  std::FILE* output_file;
  std::FILE* extra_file;   // e.g. a colour-map or switch file being read
};

// jpeg_std_error plus the converters' add-on table and the recovering
// error_exit; clears the file slots. Returns the library view of it.
jpeg_error_mgr* InitConverterErrorManager(ConverterErrorManager* manager);

// Whether the last run warned that its input's data ended early or is
// damaged (a cut or corrupt JPEG, GIF or Targa stream); other warnings, such
// as an unknown version number, do not count. The run's result stays as
// the commands give it; the wallpaper chain asks this beside it.
bool LastRunFoundDamagedData();

// Closes every file recorded in the manager and clears the slots.
void CloseRunFiles(ConverterErrorManager* manager);

// Releases what a run holds, in one order for both converters: the signal
// watch first, so that no signal finds the object half destroyed, then the
// codec object and the files; last, a signal that came during the run goes
// on to the host. Returns `result`, or 1 when a signal came, however far
// the run got.
int EndConverterRun(j_common_ptr object, ConverterErrorManager* manager, int result);

// A malformed command line: leaves the run without printing anything; the
// run returns 1 (the standalone command exits with it).
[[noreturn]] void UsageExit(j_common_ptr object);

// Leaves the run the way a fatal error does, after the caller has printed
// its own message (used for an unopenable -map file and -arithmetic).
[[noreturn]] void AbandonRun(j_common_ptr object);

// The recovering manager behind a codec object.
inline ConverterErrorManager* RunErrorManager(j_common_ptr object) {
  return reinterpret_cast<ConverterErrorManager*>(object->err);
}
