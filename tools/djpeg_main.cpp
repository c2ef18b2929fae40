// The decoding converter as a command of its own.
#include "image_writer.h"

int main(int argc, char** argv) { return RunDjpeg(argc, argv); }
