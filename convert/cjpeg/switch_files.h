// Readers for the arguments of the encoding command's -qtables, -scans,
// -qslots and -sample switches. Each prints its own complaint (without the
// program name) and returns false when the argument is unusable.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

// Loads up to four 64-value tables from a text file into slots 0..3, each
// scaled by `scale_percentage` and limited to 255 under `force_baseline`.
bool LoadQuantTables(j_compress_ptr compressor, const char* file_name,
                     int scale_percentage, bool force_baseline);

// Reads a scan script (at most 100 entries) from a text file; a script with
// entries replaces the compressor's scan sequence, an empty one keeps it.
bool LoadScanScript(j_compress_ptr compressor, const char* file_name);

// "N,N,...": the table slot of each component; the last one repeats.
bool ApplyTableSlots(j_compress_ptr compressor, const char* list);

// "HxV,HxV,...": the sampling factors of each component; the rest get 1x1.
bool ApplySamplingFactors(j_compress_ptr compressor, const char* list);

// Reads a leading decimal number the way "%ld" does (white space, an
// optional sign, digits), saturating at the limits of long instead of
// wrapping. Returns false when no digit comes; otherwise stores the value
// and, in `rest`, where reading stopped.
bool ScanDecimal(const char* text, long* value, const char** rest);
