// From a fetched picture to the wallpaper: GIF is encoded to JPEG, JPEG is
// decoded to a bitmap, and the bitmap is handed to the desktop. The stages
// are chosen by the file name's extension alone.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <windows.h>

#include "app_globals.h"
#include "fetch_globals.h"
#include "image_writer.h"
#include "pixel_source.h"
#include "wallpaper.h"

namespace {

constexpr int kOutputCapacity = 1024;

struct Stage {
  const char* extension;         // matched against the lower-cased name
  const char* output_extension;  // replaces it in the output and in LocalName
  bool encodes;                  // GIF to JPEG with the encoder, else JPEG to BMP
};

constexpr Stage kStages[] = {
    {".gif", ".jpg", true},
    {".jpg", ".bmp", false},
    {".jpeg", ".bmp", false},
};
constexpr char kBitmapExtension[] = ".bmp";

bool EndsWith(const char* name, const char* extension) {
  std::size_t name_length = std::strlen(name);
  std::size_t extension_length = std::strlen(extension);
  return name_length >= extension_length && std::strcmp(name + name_length - extension_length, extension) == 0;
}

// Byte by byte, as the platform's lower-casing does: second bytes of double
// byte characters are changed too.
void LowerCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

int RunStage(const Stage& stage, char* input, char* output) {
  char encoder[] = "cjpeg.exe", decoder[] = "djpeg.exe";
  char quality_switch[] = "-quality", quality[] = "100", bitmap_switch[] = "-bmp";
  if (stage.encodes) {
    char* arguments[] = {encoder, quality_switch, quality, input, output};
    return RunCjpeg(5, arguments);
  }
  char* arguments[] = {decoder, bitmap_switch, input, output};
  return RunDjpeg(4, arguments);
}

}  // namespace

void ApplyWallpaper(int deleteSource) {
  // On a file system that tells case apart the source keeps its own name;
  // only the choice of stages and the outputs use the lower-cased one.
  char lowered[kPathPartCapacity];
  std::memcpy(lowered, LocalName, sizeof lowered);
  lowered[sizeof lowered - 1] = '\0';
  LowerCase(lowered);

  char OutputPath[kOutputCapacity];
  for (const Stage& stage : kStages) {
    if (!EndsWith(lowered, stage.extension)) continue;
    std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);
    SetWorkDirFromTemp();
    std::size_t stem = std::strlen(lowered) - std::strlen(stage.extension);
    std::snprintf(OutputPath, sizeof OutputPath, "%s%.*s%s", WorkDir, static_cast<int>(stem), lowered,
                  stage.output_extension);

    std::error_code ignored;
    bool output_existed = std::filesystem::exists(OutputPath, ignored);
    int result = RunStage(stage, ScratchBuffer, OutputPath);
    if (deleteSource != 0) std::remove(ScratchBuffer);
    ++deleteSource;
    std::snprintf(LocalName, sizeof LocalName, "%.*s%s", static_cast<int>(stem), lowered, stage.output_extension);
    std::memcpy(lowered, LocalName, sizeof lowered);
    if (result == 1) {
      // A failed stage ends the chain: a half-written output is no wallpaper,
      // and the desktop keeps the picture it has. A file that was there
      // before the stage is not the chain's to delete.
      if (!output_existed) std::remove(OutputPath);
      return;
    }
  }

  if (!EndsWith(lowered, kBitmapExtension)) return;
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);
  SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, ScratchBuffer, 0);
  if (deleteSource != 0) std::remove(ScratchBuffer);
}
