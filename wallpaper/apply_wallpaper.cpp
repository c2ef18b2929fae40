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

int EncodeGif(char* input, char* output) {
  char encoder[] = "cjpeg.exe", quality_switch[] = "-quality", quality[] = "100";
  char* arguments[] = {encoder, quality_switch, quality, input, output};
  return RunCjpeg(5, arguments);
}

int DecodeJpeg(char* input, char* output) {
  char decoder[] = "djpeg.exe", bitmap_switch[] = "-bmp";
  char* arguments[] = {decoder, bitmap_switch, input, output};
  return RunDjpeg(4, arguments);
}

int DecodePng(char* input, char* output) { return DecodePngToBitmap(input, output); }

int DecodeWebp(char* input, char* output) { return DecodeWebpToBitmap(input, output); }

struct Stage {
  const char* extension;         // matched against the lower-cased name
  const char* output_extension;  // replaces it in the output and in LocalName
  int (*Run)(char* input, char* output);  // 0 done, 2 done with warnings, 1 failed
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

// The kind and claimed size of the file at `path`; false when it cannot be
// opened.
bool ProbeFile(const char* path, PictureHeader* header) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  *header = ProbePicture(file);
  std::fclose(file);
  return true;
}

// A name that matches no stage takes the stages of the picture's content.
// A download is renamed inside the work folder to a safe name; a local
// picture is read in place, only the files made from it get the safe name.
// False when there is nothing to convert; a download is then removed.
bool TakeStagesFromContent(PictureKind kind, bool opened, int deleteSource, char* lowered) {
  if (kind == PictureKind::kUnknown) {
    std::fprintf(stderr, opened ? "%s: not a GIF, JPEG, BMP, PNG or WebP picture\n" : "%s: can't open\n",
                 ScratchBuffer);
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
      std::fprintf(stderr, "%s: can't rename to %s\n", ScratchBuffer, renamed);
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
  std::fprintf(stderr, "%s: no work folder apart from the picture's own; it is not converted\n", ScratchBuffer);
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
    if (result == 1) {
      // A failed stage ends the chain: a half-written output is no wallpaper,
      // and the desktop keeps the picture it has.
      std::remove(OutputPath);
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
  const bool opened = ProbeFile(ScratchBuffer, &header);
  if (!MatchesAStage(lowered) && !TakeStagesFromContent(header.kind, opened, deleteSource, lowered)) return;
  if (header.size_known && !PictureSizeAllowed(header.width, header.height)) {
    // Refused before any converter allocates for it; the wallpaper stays.
    ReportPictureTooLarge(ScratchBuffer, header.width, header.height);
    if (deleteSource != 0) std::remove(ScratchBuffer);
    return;
  }
  RunStages(deleteSource, lowered);
}
