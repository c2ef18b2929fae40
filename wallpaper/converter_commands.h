// The converters' command entry points, as the chain calls them. Declared
// here rather than taken from the converters' headers, which bring in the
// JPEG library's `boolean`, and that clashes with the system's own; a
// declaration that drifted from the definition would fail to link.
#pragma once

// 0 done, 2 done with warnings, 1 failed.
int RunDjpeg(int argc, char** argv);
int RunCjpeg(int argc, char** argv);
// Whether the last run of either warned that its input's data ended early
// or is damaged, as opposed to warnings about what a whole picture carries.
bool LastRunFoundDamagedData();
