// The encoding converter as a command of its own.
#include "pixel_source.h"

int main(int argc, char** argv) { return RunCjpeg(argc, argv); }
