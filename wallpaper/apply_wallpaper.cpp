// From a fetched picture to the wallpaper: GIF is encoded to JPEG; JPEG, PNG
// and WebP are decoded to a bitmap; the bitmap is handed to the desktop. The
// name's extension chooses the stages; a name that matches none gets them
// from the picture's first bytes. Every file the chain writes goes into the
// work folder, and no picture larger than the limit reaches a converter.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <windows.h>

#include "app_globals.h"
#include "converter_commands.h"
#include "fetch_globals.h"
#include "picture_limits.h"
#include "picture_probe.h"
#include "png_decoder.h"
#include "wallpaper.h"
#include "webp_decoder.h"

namespace {

constexpr int kOutputCapacity = 1024;

// A stage's result beside the converters' own: the picture was read to
// its end, but its data ended early or is damaged.
constexpr int kDamaged = 3;

int EncodeGif(char* input, char* output) {
  char encoder[] = "cjpeg.exe", quality_switch[] = "-quality", quality[] = "100";
  char* arguments[] = {encoder, quality_switch, quality, input, output};
  int result = RunCjpeg(5, arguments);
  return result == 2 && LastRunFoundDamagedData() ? kDamaged : result;
}

// A picture whose data ended early or is damaged decodes with grey or
// smeared rows; the command only warns, but as a wallpaper it is refused.
int DecodeJpeg(char* input, char* output) {
  char decoder[] = "djpeg.exe", bitmap_switch[] = "-bmp";
  char* arguments[] = {decoder, bitmap_switch, input, output};
  int result = RunDjpeg(4, arguments);
  return result == 2 && LastRunFoundDamagedData() ? kDamaged : result;
}

int DecodePng(char* input, char* output) { return DecodePngToBitmap(input, output); }

int DecodeWebp(char* input, char* output) { return DecodeWebpToBitmap(input, output); }

struct Stage {
  const char* extension;         // matched against the lower-cased name
  const char* output_extension;  // replaces it in the output and in LocalName
  int (*Run)(char* input, char* output);  // 0 done, 2 done with warnings, 1 failed, kDamaged
};

constexpr Stage kStages[] = {
    {".gif", ".jpg", EncodeGif},
    {".jpg", ".bmp", DecodeJpeg},
    {".jpeg", ".bmp", DecodeJpeg},
    {".png", ".bmp", DecodePng},
    {".webp", ".bmp", DecodeWebp},
};
constexpr char kBitmapExtension[] = ".bmp";

bool EndsWith(const char* name, const char* extension) {
  std::size_t name_length = std::strlen(name);
  std::size_t extension_length = std::strlen(extension);
  return name_length >= extension_length && std::strcmp(name + name_length - extension_length, extension) == 0;
}

bool MatchesAStage(const char* lowered) {
  for (const Stage& stage : kStages)
    if (EndsWith(lowered, stage.extension)) return true;
  return EndsWith(lowered, kBitmapExtension);
}

// Byte by byte, as the platform's lower-casing does: second bytes of double
// byte characters are changed too.
void LowerCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

// The address the person knows the picture by; the chain's own path when
// it runs without one.
const char* PictureAddress() { return RequestedUrl[0] != '\0' ? RequestedUrl : ScratchBuffer; }

void ReportRefusal(const char* why) { std::fprintf(stderr, "%s: %s\n", PictureAddress(), why); }

// What the file at `path` is and how large it claims to be.
enum class Probe { kOpened, kMissing, kNotRegular };
Probe ProbeFile(const char* path, PictureHeader* header) {
  bool regular = true;
  std::FILE* file = OpenPictureFile(path, &regular);
  if (file == nullptr) return regular ? Probe::kMissing : Probe::kNotRegular;
  *header = ProbePicture(file);
  std::fclose(file);
  return Probe::kOpened;
}

// A name that matches no stage takes the stages of the picture's content.
// A download is renamed inside the work folder to a safe name; a local
// picture is read in place, only the files made from it get the safe name.
// False when there is nothing to convert; a download is then removed.
bool TakeStagesFromContent(PictureKind kind, bool opened, int deleteSource, char* lowered) {
  if (kind == PictureKind::kUnknown) {
    ReportRefusal(opened ? "not a GIF, JPEG, BMP, PNG or WebP picture" : "can't open");
    if (deleteSource != 0) std::remove(ScratchBuffer);
    return false;
  }
  char safe[kPathPartCapacity];
  MakeSafeName(LocalName, kind, safe, sizeof safe);
  if (deleteSource != 0) {
    char renamed[kScratchCapacity];
    std::snprintf(renamed, sizeof renamed, "%s%s", WorkDir, safe);
    std::remove(renamed);  // only the chain's own files live in the work folder
    if (std::rename(ScratchBuffer, renamed) != 0) {
      std::fprintf(stderr, "%s: can't rename %s to %s\n", PictureAddress(), ScratchBuffer, renamed);
      std::remove(ScratchBuffer);
      return false;
    }
    std::strcpy(LocalName, safe);
    std::strcpy(ScratchBuffer, renamed);
  }
  std::strcpy(lowered, safe);
  LowerCase(lowered);
  return true;
}

// Points WorkDir at the work folder before the first conversion. A local
// picture's own folder is never written to: when the work folder is that
// folder, the picture is not converted.
bool EnterWorkFolder(int deleteSource) {
  char source_folder[kPathPartCapacity];
  std::memcpy(source_folder, WorkDir, sizeof source_folder);
  SetWorkDirFromTemp();
  if (deleteSource != 0) return true;
  std::error_code error;
  if (!std::filesystem::equivalent(WorkDir, source_folder, error)) return true;
  ReportRefusal("no work folder apart from the picture's own; it is not converted");
  return false;
}

// Runs the stages the name matches, each reading the file the one before
// wrote (the source first, from ScratchBuffer), then sets the bitmap.
void RunStages(int deleteSource, char* lowered) {
  char OutputPath[kOutputCapacity];
  bool in_work_folder = false;
  for (const Stage& stage : kStages) {
    if (!EndsWith(lowered, stage.extension)) continue;
    if (!in_work_folder && !EnterWorkFolder(deleteSource)) return;
    in_work_folder = true;
    std::size_t stem = std::strlen(lowered) - std::strlen(stage.extension);
    std::snprintf(OutputPath, sizeof OutputPath, "%s%.*s%s", WorkDir, static_cast<int>(stem), lowered,
                  stage.output_extension);
    // A file of that name can only be left from an earlier run of the chain;
    // the stage makes its output afresh.
    std::remove(OutputPath);
    int result = stage.Run(ScratchBuffer, OutputPath);
    if (deleteSource != 0) std::remove(ScratchBuffer);
    ++deleteSource;
    std::snprintf(LocalName, sizeof LocalName, "%.*s%s", static_cast<int>(stem), lowered, stage.output_extension);
    std::memcpy(lowered, LocalName, kPathPartCapacity);
    std::memcpy(ScratchBuffer, OutputPath, sizeof OutputPath);
    if (result == 1 || result == kDamaged) {
      // A failed stage ends the chain: a half-written output is no wallpaper,
      // and the desktop keeps the picture it has.
      std::remove(OutputPath);
      ReportRefusal(result == kDamaged ? "the picture's data ends early or is damaged; the wallpaper stays"
                                       : "the picture could not be converted; the wallpaper stays");
      return;
    }
  }

  if (!EndsWith(lowered, kBitmapExtension)) return;
  if (MonitorRoundActive()) {
    if (!HoldMonitorPicture(ScratchBuffer, deleteSource) && deleteSource != 0) std::remove(ScratchBuffer);
    return;
  }
  if (SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, ScratchBuffer, 0)) {
    ++WallpaperChanges;
    ++PicturesTaken;
    NoteOnePictureForAll();
  }
  if (deleteSource != 0) std::remove(ScratchBuffer);
}

}  // namespace

unsigned WallpaperChanges = 0;

void ApplyWallpaper(int deleteSource) {
  // On a file system that tells case apart the source keeps its own name;
  // only the choice of stages and the outputs use the lower-cased one.
  char lowered[kPathPartCapacity];
  std::memcpy(lowered, LocalName, sizeof lowered);
  lowered[sizeof lowered - 1] = '\0';
  LowerCase(lowered);
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);

  PictureHeader header;
  const Probe probe = ProbeFile(ScratchBuffer, &header);
  if (probe == Probe::kNotRegular) {
    // Reading a FIFO or a device would wait for as long as it pleases.
    ReportRefusal("not a regular file; skipped");
    return;
  }
  if (!MatchesAStage(lowered) && !TakeStagesFromContent(header.kind, probe == Probe::kOpened, deleteSource, lowered))
    return;
  if (header.size_known && !PictureSizeAllowed(header.width, header.height)) {
    // Refused before any converter allocates for it; the wallpaper stays.
    ReportPictureTooLarge(PictureAddress(), header.width, header.height);
    if (deleteSource != 0) std::remove(ScratchBuffer);
    return;
  }
  RunStages(deleteSource, lowered);
}
