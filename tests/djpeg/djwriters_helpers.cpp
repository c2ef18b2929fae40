#include "djwriters_helpers.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <sstream>

#include "converter_support.h"
#include "test_support.h"

namespace djwriters {

namespace {

// Kept off the stack frame that calls setjmp, so nothing it holds is
// indeterminate after a fatal error jumps back.
struct RunState {
  ConverterErrorManager manager;
  jpeg_decompress_struct decompressor;
};

void ApplySettings(j_decompress_ptr d, const DecodeSettings& s) {
  if (s.grayscale) d->out_color_space = JCS_GRAYSCALE;
  if (s.colors > 0) {
    d->desired_number_of_colors = s.colors;
    d->quantize_colors = TRUE;
  }
  if (s.fast) {
    d->two_pass_quantize = FALSE;
    d->dither_mode = JDITHER_ORDERED;
    if (!d->quantize_colors) d->desired_number_of_colors = 216;
    d->dct_method = JDCT_IFAST;
    d->do_fancy_upsampling = FALSE;
  }
  if (s.onepass) d->two_pass_quantize = FALSE;
  if (s.dither >= 0) d->dither_mode = static_cast<J_DITHER_MODE>(s.dither);
  if (s.dct >= 0) d->dct_method = static_cast<J_DCT_METHOD>(s.dct);
  if (s.nosmooth) d->do_fancy_upsampling = FALSE;
  d->scale_num = 1;
  d->scale_denom = s.scale_denom;
}

std::string ReadAll(const std::string& path) { return testsupport::ReadFile(path); }

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// One writer run in the order the command drives it. With `samples`, the
// rows handed to the writer are those bytes instead of decoded ones.
WriterOutcome DriveWriter(WriterFactory create, const std::string& jpeg, const std::string& output,
                          const DecodeSettings& settings, const Bytes* samples, int claimed_colours = 0) {
  auto state = std::make_unique<RunState>();
  testsupport::StderrCapture capture;
  j_decompress_ptr d = &state->decompressor;
  d->err = InitConverterErrorManager(&state->manager);
  jpeg_create_decompress(d);
  state->manager.input_file = std::fopen(jpeg.c_str(), "rb");
  state->manager.output_file = std::fopen(output.c_str(), "wb");
  if (state->manager.input_file == nullptr || state->manager.output_file == nullptr) {
    jpeg_destroy_decompress(d);
    CloseRunFiles(&state->manager);
    return {1, capture.Finish() + "(test could not open its files)"};
  }
  if (setjmp(state->manager.escape)) {
    jpeg_destroy_decompress(d);
    CloseRunFiles(&state->manager);
    return {1, capture.Finish()};
  }
  jpeg_stdio_src(d, state->manager.input_file);
  jpeg_read_header(d, TRUE);
  ApplySettings(d, settings);
  if (!settings.map_file.empty()) {
    state->manager.extra_file = std::fopen(settings.map_file.c_str(), "rb");
    if (state->manager.extra_file == nullptr) AbandonRun(reinterpret_cast<j_common_ptr>(d));
    LoadColourMapFile(d, state->manager.extra_file);
    std::fclose(state->manager.extra_file);
    state->manager.extra_file = nullptr;
    d->quantize_colors = TRUE;
  }
  ImageWriter* writer = create(d);
  writer->OutputFile = state->manager.output_file;
  if (samples != nullptr) {
    writer->BeginImage(d, writer);
    const std::size_t width = d->output_width;
    for (std::size_t row = 0; row < d->output_height && (row + 1) * width <= samples->size(); ++row) {
      std::copy(samples->begin() + static_cast<std::ptrdiff_t>(row * width),
                samples->begin() + static_cast<std::ptrdiff_t>((row + 1) * width), writer->RowBuffer[0]);
      writer->WriteRows(d, writer, 1);
    }
    writer->EndImage(d, writer);
  } else {
    jpeg_start_decompress(d);
    if (claimed_colours > 0) d->actual_number_of_colors = claimed_colours;
    writer->BeginImage(d, writer);
    while (d->output_scanline < d->output_height) {
      JDIMENSION rows = jpeg_read_scanlines(d, writer->RowBuffer, writer->RowBufferHeight);
      writer->WriteRows(d, writer, rows);
    }
    writer->EndImage(d, writer);
    jpeg_finish_decompress(d);
  }
  const int result = state->manager.pub.num_warnings > 0 ? 2 : 0;
  jpeg_destroy_decompress(d);
  CloseRunFiles(&state->manager);
  return {result, capture.Finish()};
}

}  // namespace

WriterOutcome RunWriter(WriterFactory create, const std::string& jpeg, const std::string& output,
                        const DecodeSettings& settings) {
  return DriveWriter(create, jpeg, output, settings, nullptr);
}

WriterOutcome RunDjpegWith(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"djpeg"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  testsupport::StderrCapture capture;
  const int result = testsupport::CallWithArgs(RunDjpeg, argv);
  return {result, capture.Finish()};
}

WriterOutcome RunDjpegCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {SKERROW_DJPEG_COMMAND};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  testsupport::ProcessResult process = testsupport::RunProcess(argv);
  return {process.exit_code, process.err};
}

WriterOutcome RunWriterClaimingColours(WriterFactory create, const std::string& jpeg, const std::string& output,
                                       int colours) {
  return DriveWriter(create, jpeg, output, DecodeSettings().Colors(16), nullptr, colours);
}

void ExpectWriterFailures(WriterFactory create, const std::string& colour_space_message) {
  testsupport::TempDir dir;
  MakeJpeg(dir / "cmyk.jpg", "CMYK", 8, 8);
  MakeJpeg(dir / "rgb.jpg", "RGB", 64, 48, "noise");

  WriterOutcome cmyk = RunWriter(create, dir / "cmyk.jpg", dir / "out", {});
  EXPECT_EQ(cmyk.result, 1);
  EXPECT_EQ(cmyk.messages, colour_space_message + "\n");

  WriterOutcome full = RunWriter(create, dir / "rgb.jpg", "/dev/full", {});
  EXPECT_EQ(full.result, 1);
  EXPECT_EQ(full.messages, "Output file write error --- out of disk space?\n");
}

Decoded DecodeReference(const std::string& jpeg, const DecodeSettings& settings, const std::vector<Rgb>* map) {
  Decoded out;
  jpeg_error_mgr err;
  jpeg_decompress_struct d;
  d.err = jpeg_std_error(&err);  // a failure here ends the test program: fine for a reference
  jpeg_create_decompress(&d);
  std::FILE* in = std::fopen(jpeg.c_str(), "rb");
  if (in == nullptr) {
    jpeg_destroy_decompress(&d);
    return out;
  }
  jpeg_stdio_src(&d, in);
  jpeg_read_header(&d, TRUE);
  ApplySettings(&d, settings);
  if (map != nullptr) {
    d.colormap = (*d.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d), JPOOL_IMAGE,
                                        static_cast<JDIMENSION>(map->size()), 3);
    for (std::size_t i = 0; i < map->size(); ++i)
      for (int c = 0; c < 3; ++c) d.colormap[c][i] = (*map)[i][c];
    d.actual_number_of_colors = static_cast<int>(map->size());
    d.quantize_colors = TRUE;
  }
  jpeg_start_decompress(&d);
  out.width = d.output_width;
  out.height = d.output_height;
  out.components = d.output_components;
  out.grayscale = d.out_color_space == JCS_GRAYSCALE;
  const std::size_t row_bytes = std::size_t{d.output_width} * static_cast<std::size_t>(d.output_components);
  out.samples.resize(row_bytes * d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = out.samples.data() + row_bytes * d.output_scanline;
    jpeg_read_scanlines(&d, &row, 1);
  }
  if (d.quantize_colors && d.colormap != nullptr) {
    for (int i = 0; i < d.actual_number_of_colors; ++i) {
      if (d.out_color_components == 3)
        out.colormap.push_back({d.colormap[0][i], d.colormap[1][i], d.colormap[2][i]});
      else
        out.colormap.push_back({d.colormap[0][i], d.colormap[0][i], d.colormap[0][i]});
    }
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  std::fclose(in);
  return out;
}

Bytes Demapped(const Decoded& decoded) {
  if (decoded.colormap.empty()) return decoded.samples;
  Bytes pixels;
  for (std::uint8_t index : decoded.samples) {
    const Rgb& colour = decoded.colormap.at(index);
    if (decoded.grayscale)
      pixels.push_back(colour[0]);
    else
      pixels.insert(pixels.end(), colour.begin(), colour.end());
  }
  return pixels;
}

void MakeJpeg(const std::string& path, const std::string& mode, int width, int height, const std::string& pattern,
              const std::string& options) {
  const std::string script =
      "import sys, random\n"
      "from PIL import Image\n"
      "path, mode, w, h, pattern = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]\n"
      "bands = {'L': 1, 'RGB': 3, 'CMYK': 4}[mode]\n"
      "if pattern == 'noise':\n"
      "    data = random.Random(7).randbytes(w * h * bands)\n"
      "elif pattern == 'blend':\n"
      "    ramp = Image.linear_gradient('L').resize((w, h))\n"
      "    layers = [ramp, ramp.transpose(Image.Transpose.ROTATE_90).resize((w, h)),\n"
      "              Image.effect_noise((w, h), 40), ramp.transpose(Image.Transpose.FLIP_TOP_BOTTOM)]\n"
      "    data = Image.merge(mode, layers[:bands]).tobytes()\n"
      "else:\n"
      "    data = bytearray(w * h * bands)\n"
      "    i = 0\n"
      "    for y in range(h):\n"
      "        for x in range(w):\n"
      "            for b in range(bands):\n"
      "                data[i] = (x * (3 + b) * 255 // max(w, 1) + y * (5 - b) * 255 // max(h, 1) + 40 * b) & 255\n"
      "                i += 1\n"
      "Image.frombytes(mode, (w, h), bytes(data)).save(path, 'JPEG', " +
      options + ")\n";
  auto result = testsupport::RunPython(
      script, {path, mode, std::to_string(width), std::to_string(height), pattern});
  if (result.exit_code != 0) throw std::runtime_error("Pillow could not make " + path + ": " + result.err);
}

PillowPicture ReadWithPillow(const std::string& path) {
  testsupport::TempDir dir;
  const std::string script =
      "import sys\n"
      "from PIL import Image\n"
      "im = Image.open(sys.argv[1])\n"
      "im.load()\n"
      "open(sys.argv[2], 'wb').write(im.tobytes())\n"
      "open(sys.argv[3], 'wb').write(im.convert('RGB').tobytes())\n"
      "pal = im.getpalette() if im.mode == 'P' else None\n"
      "open(sys.argv[4], 'wb').write(bytes(pal) if pal else b'')\n"
      "print(im.mode, im.size[0], im.size[1])\n";
  auto result = testsupport::RunPython(script, {path, dir / "pixels", dir / "rgb", dir / "palette"});
  PillowPicture picture;
  if (result.exit_code != 0) return picture;
  std::istringstream line(result.out);
  line >> picture.mode >> picture.width >> picture.height;
  picture.pixels = ToBytes(ReadAll(dir / "pixels"));
  picture.rgb = ToBytes(ReadAll(dir / "rgb"));
  picture.palette = ToBytes(ReadAll(dir / "palette"));
  return picture;
}

GiflibPicture ReadWithGiflib(const std::string& path) {
  GiflibPicture picture;
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return picture;
  if (DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1 && gif->SColorMap != nullptr) {
    picture.ok = true;
    picture.width = gif->SWidth;
    picture.height = gif->SHeight;
    picture.colour_resolution = gif->SColorResolution;
    picture.colour_table_entries = gif->SColorMap->ColorCount;
    for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
      const GifColorType& c = gif->SColorMap->Colors[i];
      picture.colour_table.push_back({c.Red, c.Green, c.Blue});
    }
    const SavedImage& image = gif->SavedImages[0];
    const std::size_t count = std::size_t(image.ImageDesc.Width) * std::size_t(image.ImageDesc.Height);
    picture.indexes.assign(image.RasterBits, image.RasterBits + count);
  }
  DGifCloseFile(gif, &error);
  return picture;
}

LzwStream WalkLzwStream(const std::string& gif) {
  LzwStream stream;
  if (gif.size() < 13 || gif.compare(0, 6, "GIF87a") != 0) return stream;
  const unsigned flags = static_cast<unsigned char>(gif[10]);
  std::size_t at = 13;
  if (flags & 0x80) at += 3u * (2u << (flags & 7));
  if (at + 11 > gif.size() || gif[at] != ',') return stream;
  at += 10;  // separator and image descriptor
  stream.initial_code_size = static_cast<unsigned char>(gif[at++]);

  std::string data;
  for (;;) {
    if (at >= gif.size()) return stream;
    const int length = static_cast<unsigned char>(gif[at++]);
    if (length == 0) break;
    stream.block_lengths.push_back(length);
    if (at + static_cast<std::size_t>(length) > gif.size()) return stream;
    data.append(gif, at, static_cast<std::size_t>(length));
    at += static_cast<std::size_t>(length);
  }
  stream.bytes_after_terminator = gif.size() - at;
  stream.ends_with_trailer = !gif.empty() && gif.back() == ';';

  const unsigned clear = 1u << stream.initial_code_size;
  const unsigned end = clear + 1;
  int width = stream.initial_code_size + 1;
  unsigned next = clear + 2;
  bool first = true;
  std::size_t bit = 0;
  while (bit + static_cast<std::size_t>(width) <= data.size() * 8) {
    unsigned value = 0;
    for (int k = 0; k < width; ++k, ++bit)
      value |= ((static_cast<unsigned char>(data[bit / 8]) >> (bit % 8)) & 1u) << k;
    stream.codes.push_back({value, width, next});
    if (value == end) {
      stream.ok = true;
      break;
    }
    if (value == clear) {
      width = stream.initial_code_size + 1;
      next = clear + 2;
      first = true;
      continue;
    }
    if (first) {
      first = false;
      continue;
    }
    if (next < 4096) ++next;
    if (next == (1u << width) && width < 12) ++width;
  }
  return stream;
}

WriterOutcome WriteGifSamples(const std::string& size_jpeg, const std::string& output, const Bytes& samples) {
  return DriveWriter(CreateGifWriter, size_jpeg, output, DecodeSettings().Grayscale(), &samples);
}

unsigned Word(const std::string& bytes, std::size_t offset) {
  return static_cast<unsigned char>(bytes.at(offset)) | (static_cast<unsigned char>(bytes.at(offset + 1)) << 8);
}

}  // namespace djwriters
