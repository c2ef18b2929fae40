#include "switch_files.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include "converter_support.h"

namespace {

constexpr int kTableSlots = NUM_QUANT_TBLS;      // 4
constexpr int kTableValues = DCTSIZE2;           // 64
constexpr int kMaxScans = 100;
constexpr int kMaxComponentsInScan = MAX_COMPS_IN_SCAN;  // 4
constexpr int kComponentEntries = MAX_COMPONENTS;        // 10

bool IsBlank(int ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool IsDigit(int ch) { return ch >= '0' && ch <= '9'; }

// Reads an unsigned decimal number. `terminator` receives the character
// that ended it (consumed), or the offending character, or EOF. A number
// that does not fit the 32-bit accumulator counts as no number, so the
// caller reports the file's own format error rather than a wrapped value.
bool ReadTextNumber(std::FILE* file, long* value, int* terminator) {
  int ch;
  do {
    ch = ReadCommentedChar(file);
  } while (IsBlank(ch));
  if (!IsDigit(ch)) {
    *terminator = ch;
    return false;
  }
  long accumulator = 0;
  bool too_large = false;
  while (IsDigit(ch)) {
    if (accumulator > (INT32_MAX - (ch - '0')) / 10) too_large = true;
    if (!too_large) accumulator = accumulator * 10 + (ch - '0');
    ch = ReadCommentedChar(file);
  }
  if (too_large) {
    *terminator = ch == EOF ? '0' : ch;  // anything but EOF: not a clean end
    return false;
  }
  *value = accumulator;
  *terminator = ch;
  return true;
}

// Like ReadTextNumber, but blanks and stray punctuation after a number
// both read as the separator ' ', while ':' and ';' keep their meaning.
bool ReadScanNumber(std::FILE* file, long* value, int* terminator) {
  if (!ReadTextNumber(file, value, terminator)) return false;
  int ch = *terminator;
  while (IsBlank(ch)) ch = ReadCommentedChar(file);
  if (IsDigit(ch)) {
    if (std::ungetc(ch, file) == EOF) return false;
    ch = ' ';
  } else if (ch != EOF && ch != ';' && ch != ':') {
    ch = ' ';
  }
  *terminator = ch;
  return true;
}

// The run's error manager keeps the open file, so a fatal error inside
// the library (which leaves by longjmp) still closes it.
std::FILE* OpenSwitchFile(j_compress_ptr compressor, const char* file_name) {
  std::FILE* file = OpenRunInput(file_name);
  if (file != nullptr) RunErrorManager(reinterpret_cast<j_common_ptr>(compressor))->extra_file = file;
  return file;
}

void CloseSwitchFile(j_compress_ptr compressor, std::FILE* file) {
  ConverterErrorManager* manager = RunErrorManager(reinterpret_cast<j_common_ptr>(compressor));
  if (manager->extra_file == file) manager->extra_file = nullptr;
  std::fclose(file);
}

bool FailWithFile(j_compress_ptr compressor, std::FILE* file, const char* format,
                  const char* file_name) {
  std::fprintf(stderr, format, file_name);
  CloseSwitchFile(compressor, file);
  return false;
}

// Reads "%d" from a list position: white space, sign, digits, saturating
// at the int range. Returns false when no number is there.
bool ScanListNumber(const char** position, int* value) {
  long wide = 0;
  const char* rest = nullptr;
  if (!ScanDecimal(*position, &wide, &rest)) return false;
  *value = wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : static_cast<int>(wide);
  *position = rest;
  return true;
}

// Moves past the next ',' or to the end of the list.
const char* SkipListEntry(const char* position) {
  while (*position != '\0') {
    if (*position++ == ',') break;
  }
  return position;
}

}  // namespace

bool ScanDecimal(const char* text, long* value, const char** rest) {
  const char* p = text;
  while (IsBlank(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!IsDigit(*p)) return false;
  long magnitude = 0;
  bool saturated = false;
  for (; IsDigit(*p); ++p) {
    int digit = *p - '0';
    if (!saturated && magnitude > (LONG_MAX - digit) / 10) saturated = true;
    if (!saturated) magnitude = magnitude * 10 + digit;
  }
  if (saturated) {
    *value = negative ? LONG_MIN : LONG_MAX;
  } else {
    *value = negative ? -magnitude : magnitude;
  }
  *rest = p;
  return true;
}

bool LoadQuantTables(j_compress_ptr compressor, const char* file_name, int scale_percentage,
                     bool force_baseline) {
  std::FILE* file = OpenSwitchFile(compressor, file_name);
  if (file == nullptr) {
    std::fprintf(stderr, "Can't open table file %s\n", file_name);
    return false;
  }
  int slot = 0;
  long value = 0;
  int terminator = 0;
  while (ReadTextNumber(file, &value, &terminator)) {
    if (slot >= kTableSlots) return FailWithFile(compressor, file, "Too many tables in file %s\n", file_name);
    unsigned int table[kTableValues];
    table[0] = static_cast<unsigned int>(value);
    for (int i = 1; i < kTableValues; ++i) {
      if (!ReadTextNumber(file, &value, &terminator)) {
        return FailWithFile(compressor, file, "Invalid table data in file %s\n", file_name);
      }
      table[i] = static_cast<unsigned int>(value);
    }
    jpeg_add_quant_table(compressor, slot, table, scale_percentage, force_baseline ? TRUE : FALSE);
    ++slot;
  }
  if (terminator != EOF) return FailWithFile(compressor, file, "Non-numeric data in file %s\n", file_name);
  CloseSwitchFile(compressor, file);
  return true;
}

bool LoadScanScript(j_compress_ptr compressor, const char* file_name) {
  std::FILE* file = OpenSwitchFile(compressor, file_name);
  if (file == nullptr) {
    std::fprintf(stderr, "Can't open scan definition file %s\n", file_name);
    return false;
  }
  jpeg_scan_info scans[kMaxScans];
  int count = 0;
  long value = 0;
  int terminator = 0;
  while (ReadScanNumber(file, &value, &terminator)) {
    if (count >= kMaxScans) {
      return FailWithFile(compressor, file, "Too many scans defined in file %s\n", file_name);
    }
    jpeg_scan_info& scan = scans[count];
    scan.component_index[0] = static_cast<int>(value);
    int components = 1;
    bool valid = true;
    while (valid && terminator == ' ') {
      if (components >= kMaxComponentsInScan) {
        return FailWithFile(compressor, file, "Too many components in one scan in file %s\n", file_name);
      }
      valid = ReadScanNumber(file, &value, &terminator);
      if (valid) scan.component_index[components++] = static_cast<int>(value);
    }
    scan.comps_in_scan = components;
    if (valid && terminator == ':') {
      long ss = 0, se = 0, ah = 0, al = 0;
      valid = ReadScanNumber(file, &ss, &terminator) && terminator == ' ' &&
              ReadScanNumber(file, &se, &terminator) && terminator == ' ' &&
              ReadScanNumber(file, &ah, &terminator) && terminator == ' ' &&
              ReadScanNumber(file, &al, &terminator);
      scan.Ss = static_cast<int>(ss);
      scan.Se = static_cast<int>(se);
      scan.Ah = static_cast<int>(ah);
      scan.Al = static_cast<int>(al);
    } else if (valid) {
      // A sequential scan of the listed components.
      scan.Ss = 0;
      scan.Se = DCTSIZE2 - 1;
      scan.Ah = 0;
      scan.Al = 0;
    }
    if (!valid || (terminator != ';' && terminator != EOF)) {
      return FailWithFile(compressor, file, "Invalid scan entry format in file %s\n", file_name);
    }
    ++count;
  }
  if (terminator != EOF) return FailWithFile(compressor, file, "Non-numeric data in file %s\n", file_name);
  if (count > 0) {
    auto* copy = static_cast<jpeg_scan_info*>((*compressor->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(compressor), JPOOL_IMAGE, count * sizeof(jpeg_scan_info)));
    for (int i = 0; i < count; ++i) copy[i] = scans[i];
    compressor->scan_info = copy;
    compressor->num_scans = count;
  }
  CloseSwitchFile(compressor, file);
  return true;
}

bool ApplyTableSlots(j_compress_ptr compressor, const char* list) {
  int slot = 0;
  const char* position = list;
  for (int ci = 0; ci < kComponentEntries; ++ci) {
    if (*position != '\0') {
      if (!ScanListNumber(&position, &slot)) return false;
      if (*position != '\0' && *position != ',') return false;
      if (slot < 0 || slot >= kTableSlots) {
        std::fprintf(stderr, "JPEG quantization tables are numbered 0..%d\n", kTableSlots - 1);
        return false;
      }
      position = SkipListEntry(position);
    }
    compressor->comp_info[ci].quant_tbl_no = slot;
  }
  return true;
}

bool ApplySamplingFactors(j_compress_ptr compressor, const char* list) {
  const char* position = list;
  for (int ci = 0; ci < kComponentEntries; ++ci) {
    int horizontal = 1;
    int vertical = 1;
    if (*position != '\0') {
      if (!ScanListNumber(&position, &horizontal)) return false;
      if (*position != 'x' && *position != 'X') return false;
      ++position;
      if (!ScanListNumber(&position, &vertical)) return false;
      if (*position != '\0' && *position != ',') return false;
      if (horizontal <= 0 || horizontal > 4 || vertical <= 0 || vertical > 4) {
        std::fputs("JPEG sampling factors must be 1..4\n", stderr);
        return false;
      }
      position = SkipListEntry(position);
    }
    compressor->comp_info[ci].h_samp_factor = horizontal;
    compressor->comp_info[ci].v_samp_factor = vertical;
  }
  return true;
}
