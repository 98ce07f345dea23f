// Picture files: every PNG kind and JPEG kind to the right colours, EXIF orientation,
// scaled JPEG decoding, and the real reason for each file that cannot be read.
#include "montage/pictures.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "host_test_support.h"
#include "picture_files.h"
#include "picture_writers.h"

namespace {

namespace fs = std::filesystem;

const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCachesEnvironment);

std::uint32_t Argb(unsigned a, unsigned r, unsigned g, unsigned b) { return (a << 24) | (r << 16) | (g << 8) | b; }

bool Near(montage::Colour seen, montage::Colour expected, int tolerance) {
  return std::abs(seen.r - expected.r) <= tolerance && std::abs(seen.g - expected.g) <= tolerance &&
         std::abs(seen.b - expected.b) <= tolerance && seen.a == expected.a;
}

std::string Show(montage::Colour c) {
  return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," + std::to_string(c.a) +
         ")";
}

// ---- PNG kinds ----------------------------------------------------------------------------

TEST(Pictures, EveryPngKindDecodesToPremultipliedArgb) {
  struct Case {
    const char* name;
    PngPicture picture;
    std::vector<std::uint32_t> pixels;  // expected, row by row
  };
  const Case cases[] = {
      {"grey 8-bit",
       {2, 2, PNG_COLOR_TYPE_GRAY, 8, {{0, 128}, {255, 77}}},
       {Argb(255, 0, 0, 0), Argb(255, 128, 128, 128), Argb(255, 255, 255, 255), Argb(255, 77, 77, 77)}},
      {"grey 1-bit",
       {3, 1, PNG_COLOR_TYPE_GRAY, 1, {{0b10100000}}},
       {Argb(255, 255, 255, 255), Argb(255, 0, 0, 0), Argb(255, 255, 255, 255)}},
      {"grey 16-bit",
       {2, 1, PNG_COLOR_TYPE_GRAY, 16, {{0xFF, 0xFF, 0x80, 0x80}}},
       {Argb(255, 255, 255, 255), Argb(255, 128, 128, 128)}},
      {"grey with one transparent value",
       {2, 1, PNG_COLOR_TYPE_GRAY, 8, {{9, 200}}, {}, {}, {png_color_16{0, 0, 0, 0, 9}}},
       {Argb(0, 0, 0, 0), Argb(255, 200, 200, 200)}},
      {"grey and alpha",
       {2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, {{200, 128, 255, 0}}},
       {Argb(128, 100, 100, 100), Argb(0, 0, 0, 0)}},
      {"palette with tRNS",
       {3, 1, PNG_COLOR_TYPE_PALETTE, 8, {{0, 1, 2}}, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}, {255, 0, 128}},
       {Argb(255, 255, 0, 0), Argb(0, 0, 0, 0), Argb(128, 0, 0, 128)}},
      {"palette 2-bit, opaque",
       {2, 1, PNG_COLOR_TYPE_PALETTE, 2, {{0b01100000}}, {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}}},
       {Argb(255, 40, 50, 60), Argb(255, 70, 80, 90)}},
      {"RGB 8-bit", {2, 1, PNG_COLOR_TYPE_RGB, 8, {{255, 0, 0, 1, 2, 3}}}, {Argb(255, 255, 0, 0), Argb(255, 1, 2, 3)}},
      {"RGB 16-bit", {1, 1, PNG_COLOR_TYPE_RGB, 16, {{0xFF, 0xFF, 0x00, 0x00, 0x80, 0x80}}}, {Argb(255, 255, 0, 128)}},
      {"RGBA 8-bit",
       {2, 1, PNG_COLOR_TYPE_RGBA, 8, {{255, 0, 0, 64, 10, 20, 30, 255}}},
       {Argb(64, 64, 0, 0), Argb(255, 10, 20, 30)}},
      {"RGBA 16-bit",
       {1, 1, PNG_COLOR_TYPE_RGBA, 16, {{0xFF, 0xFF, 0x80, 0x80, 0, 0, 0x80, 0x80}}},
       {Argb(128, 128, 64, 0)}},
  };
  const ScratchFolder scratch("pictures");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = scratch.Path() / "kind.png";
    WritePng(file, c.picture);
    const montage::PictureInfo info = montage::ReadPictureInfo(file);
    EXPECT_EQ(info.format, "PNG");
    EXPECT_EQ(info.width, c.picture.width);
    EXPECT_EQ(info.height, c.picture.height);
    const montage::Image image = montage::ReadPicture(file);
    ASSERT_EQ(image.Width(), c.picture.width);
    ASSERT_EQ(image.Height(), c.picture.height);
    const std::vector<std::uint32_t> pixels(image.Data(), image.Data() + c.pixels.size());
    EXPECT_EQ(pixels, c.pixels);
  }
}

TEST(Pictures, InterlacedPngDecodesEveryPass) {
  PngPicture picture{9, 9, PNG_COLOR_TYPE_RGB, 8};
  picture.interlaced = true;
  for (int y = 0; y < 9; ++y) {
    Bytes row;
    for (int x = 0; x < 9; ++x)
      row.insert(row.end(), {static_cast<unsigned char>(x * 25), static_cast<unsigned char>(y * 25), 7});
    picture.rows.push_back(row);
  }
  const ScratchFolder scratch("pictures");
  WritePng(scratch.Path() / "interlaced.png", picture);
  const montage::Image image = montage::ReadPicture(scratch.Path() / "interlaced.png");
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 9; ++x) {
      ASSERT_EQ(image.Data()[y * 9 + x], Argb(255, x * 25, y * 25, 7)) << x << "," << y;
    }
  }
}

// ---- JPEG kinds ---------------------------------------------------------------------------

TEST(Pictures, EveryJpegKindDecodesToItsColours) {
  // Left half one colour, right half another: a picture that came out mirrored, grey or
  // with the ink not inverted shows it.
  const montage::Colour kLeft{184, 106, 43, 255};
  const montage::Colour kRight{20, 60, 220, 255};
  // Ink (0: none) that gives kLeft and kRight: red = (255 - cyan)(255 - black) / 255.
  const Bytes kLeftInk = {20, 120, 200, 55};
  const Bytes kRightInk = {235, 195, 35, 0};
  auto rgb = [&](int x, int) {
    const montage::Colour c = x < 16 ? kLeft : kRight;
    return Bytes{c.r, c.g, c.b};
  };
  auto ink = [&](bool inverted) {
    return [&, inverted](int x, int) {
      Bytes samples = x < 16 ? kLeftInk : kRightInk;
      if (inverted) {
        for (unsigned char& s : samples) s = static_cast<unsigned char>(255 - s);
      }
      return samples;
    };
  };
  auto grey = [](int x, int) { return Bytes{static_cast<unsigned char>(x < 16 ? 30 : 220)}; };
  struct Case {
    const char* name;
    JpegPicture picture;
    bool grey;
  };
  const Case cases[] = {
      {"baseline YCbCr", {.width = 32, .height = 16, .pixel = rgb}, false},
      {"progressive YCbCr", {.width = 32, .height = 16, .progressive = true, .pixel = rgb}, false},
      {"RGB stored as RGB", {.width = 32, .height = 16, .stored = JCS_RGB, .pixel = rgb}, false},
      {"grey", {.width = 32, .height = 16, .input = JCS_GRAYSCALE, .stored = JCS_GRAYSCALE, .pixel = grey}, true},
      {"progressive grey",
       {.width = 32, .height = 16, .input = JCS_GRAYSCALE, .stored = JCS_GRAYSCALE, .progressive = true, .pixel = grey},
       true},
      {"Adobe CMYK, ink inverted",
       {.width = 32, .height = 16, .input = JCS_CMYK, .stored = JCS_CMYK, .pixel = ink(true)},
       false},
      {"Adobe YCCK, ink inverted",
       {.width = 32, .height = 16, .input = JCS_CMYK, .stored = JCS_YCCK, .pixel = ink(true)},
       false},
      {"progressive Adobe CMYK",
       {.width = 32, .height = 16, .input = JCS_CMYK, .stored = JCS_CMYK, .progressive = true, .pixel = ink(true)},
       false},
      {"CMYK without an Adobe marker",
       {.width = 32, .height = 16, .input = JCS_CMYK, .stored = JCS_CMYK, .adobeMarker = false, .pixel = ink(false)},
       false},
  };
  const ScratchFolder scratch("pictures");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = scratch.Path() / "kind.jpg";
    WriteJpeg(file, c.picture);
    EXPECT_EQ(montage::ReadPictureInfo(file).format, "JPEG");
    const montage::Image image = montage::ReadPicture(file);
    ASSERT_EQ(image.Width(), 32);
    ASSERT_EQ(image.Height(), 16);
    const montage::Colour left = c.grey ? montage::Colour{30, 30, 30, 255} : kLeft;
    const montage::Colour right = c.grey ? montage::Colour{220, 220, 220, 255} : kRight;
    EXPECT_TRUE(Near(image.At(4, 8), left, 4)) << Show(image.At(4, 8)) << " for " << Show(left);
    EXPECT_TRUE(Near(image.At(28, 8), right, 4)) << Show(image.At(28, 8)) << " for " << Show(right);
  }
}

// ---- Orientation --------------------------------------------------------------------------

TEST(Pictures, ExifOrientationTurnsThePictureUpright) {
  // Stored 64x32: red top left, green top right, blue bottom left, white bottom right.
  const montage::Colour kRed{255, 0, 0, 255};
  const montage::Colour kGreen{0, 255, 0, 255};
  const montage::Colour kBlue{0, 0, 255, 255};
  const montage::Colour kWhite{255, 255, 255, 255};
  auto stored = [&](int x, int y) {
    const montage::Colour c = y < 16 ? (x < 32 ? kRed : kGreen) : (x < 32 ? kBlue : kWhite);
    return Bytes{c.r, c.g, c.b};
  };
  struct Case {
    int orientation;
    montage::Colour topLeft, topRight, bottomLeft, bottomRight;  // as shown
  };
  const Case cases[] = {
      {1, kRed, kGreen, kBlue, kWhite}, {2, kGreen, kRed, kWhite, kBlue}, {3, kWhite, kBlue, kGreen, kRed},
      {4, kBlue, kWhite, kRed, kGreen}, {5, kRed, kBlue, kGreen, kWhite}, {6, kBlue, kRed, kWhite, kGreen},
      {7, kWhite, kGreen, kBlue, kRed}, {8, kGreen, kWhite, kRed, kBlue},
  };
  const ScratchFolder scratch("pictures");
  for (const bool png : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(png ? "PNG" : "JPEG") + " orientation " + std::to_string(c.orientation));
      const bool bigEndian = c.orientation % 2 == 0;  // both byte orders of the EXIF block
      const Bytes exif = ExifBlock(c.orientation, bigEndian);
      const fs::path file = scratch.Path() / (png ? "turned.png" : "turned.jpg");
      if (png) {
        PngPicture picture{64, 32, PNG_COLOR_TYPE_RGB, 8};
        for (int y = 0; y < 32; ++y) {
          Bytes row;
          for (int x = 0; x < 64; ++x) {
            const Bytes samples = stored(x, y);
            row.insert(row.end(), samples.begin(), samples.end());
          }
          picture.rows.push_back(row);
        }
        picture.exif.assign(exif.begin() + 6, exif.end());  // eXIf holds the TIFF structure alone
        WritePng(file, picture);
      } else {
        WriteJpeg(file, {.width = 64, .height = 32, .exif = exif, .pixel = stored});
      }
      const bool quarter = c.orientation >= 5;
      const montage::PictureInfo info = montage::ReadPictureInfo(file);
      EXPECT_EQ(info.orientation, c.orientation);
      EXPECT_EQ(info.width, quarter ? 32 : 64);
      EXPECT_EQ(info.height, quarter ? 64 : 32);
      const montage::Image image = montage::ReadPicture(file);
      ASSERT_EQ(image.Width(), info.width);
      ASSERT_EQ(image.Height(), info.height);
      const int right = image.Width() * 3 / 4;
      const int left = image.Width() / 4;
      const int top = image.Height() / 4;
      const int bottom = image.Height() * 3 / 4;
      EXPECT_TRUE(Near(image.At(left, top), c.topLeft, 8)) << Show(image.At(left, top));
      EXPECT_TRUE(Near(image.At(right, top), c.topRight, 8)) << Show(image.At(right, top));
      EXPECT_TRUE(Near(image.At(left, bottom), c.bottomLeft, 8)) << Show(image.At(left, bottom));
      EXPECT_TRUE(Near(image.At(right, bottom), c.bottomRight, 8)) << Show(image.At(right, bottom));
    }
  }
}

TEST(Pictures, OrientationOutsideOneToEightIsIgnored) {
  const ScratchFolder scratch("pictures");
  const fs::path file = scratch.Path() / "odd.jpg";
  WriteJpeg(file, {.width = 40, .height = 20, .exif = ExifBlock(9, true), .pixel = [](int, int) {
                     return Bytes{1, 2, 3};
                   }});
  const montage::PictureInfo info = montage::ReadPictureInfo(file);
  EXPECT_EQ(info.orientation, 1);
  EXPECT_EQ(info.width, 40);
}

// ---- Scaled JPEG decoding -----------------------------------------------------------------

TEST(Pictures, ScaledJpegDecodingStillCoversTheRequest) {
  struct Case {
    int orientation;
    int minWidth, minHeight;  // as shown
    int width, height;        // as decoded and shown
  };
  const Case cases[] = {
      {1, 0, 0, 400, 300},
      {1, 90, 60, 100, 75},
      {1, 50, 38, 50, 38},
      {1, 51, 38, 100, 75},
      {1, 200, 150, 200, 150},
      {1, 201, 10, 400, 300},
      {1, 1000, 1000, 400, 300},
      {1, 100, 0, 400, 300},
      // Shown 300x400: the request is turned with the picture.
      {6, 60, 90, 75, 100},
      {6, 90, 60, 150, 200},
  };
  const ScratchFolder scratch("pictures");
  for (const Case& c : cases) {
    SCOPED_TRACE("orientation " + std::to_string(c.orientation) + ", at least " + std::to_string(c.minWidth) + "x" +
                 std::to_string(c.minHeight));
    const fs::path file = scratch.Path() / "photo.jpg";
    const Bytes exif = c.orientation == 1 ? Bytes{} : ExifBlock(c.orientation, false);
    WriteJpeg(file, {.width = 400, .height = 300, .exif = exif, .pixel = [](int x, int) {
                       return x < 200 ? Bytes{250, 10, 10} : Bytes{10, 10, 250};
                     }});
    const montage::Image image = montage::ReadPicture(file, c.minWidth, c.minHeight);
    EXPECT_EQ(image.Width(), c.width);
    EXPECT_EQ(image.Height(), c.height);
    // Still the picture: red on the stored left, which orientation 6 turns to the top.
    const montage::Colour red{250, 10, 10, 255};
    const montage::Colour seen =
        c.orientation == 6 ? image.At(c.width / 2, c.height / 8) : image.At(c.width / 8, c.height / 2);
    EXPECT_TRUE(Near(seen, red, 12)) << Show(seen);
  }
}

// ---- Files that are not pictures ----------------------------------------------------------

TEST(Pictures, BadFilesAreRefusedWithTheirRealReason) {
  const ScratchFolder scratch("pictures");
  const fs::path& dir = scratch.Path();
  const PngPicture small{16, 16, PNG_COLOR_TYPE_RGB, 8, std::vector<Bytes>(16, Bytes(48, 90))};
  WritePng(dir / "good.png", small);
  WriteJpeg(dir / "good.jpg", {.width = 64, .height = 64, .pixel = [](int x, int y) {
                                 return Bytes{static_cast<unsigned char>(x * 4), static_cast<unsigned char>(y * 4), 9};
                               }});
  const Bytes png = ReadBytes(dir / "good.png");
  const Bytes jpeg = ReadBytes(dir / "good.jpg");

  // A stored CRC that does not match its chunk, in the header and in the image data.
  auto withBadCrc = [&](const char* type) {
    Bytes damaged = png;
    const auto chunk = std::search(damaged.begin(), damaged.end(), type, type + 4);
    const std::size_t length = (std::size_t{chunk[-4]} << 24) | (std::size_t{chunk[-3]} << 16) |
                               (std::size_t{chunk[-2]} << 8) | std::size_t{chunk[-1]};
    chunk[static_cast<std::ptrdiff_t>(4 + length)] ^= 0x55;
    return damaged;
  };
  WriteBytes(dir / "bad-header-crc.png", withBadCrc("IHDR"));
  WriteBytes(dir / "bad-data-crc.png", withBadCrc("IDAT"));
  WriteBytes(dir / "cut.png", Bytes(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2)));
  WriteBytes(dir / "no-iend.png", Bytes(png.begin(), png.end() - 12));
  WriteBytes(dir / "cut.jpg", Bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2)));
  WriteBytes(dir / "zero-width.png", DeclaredPng(0, 16, Bytes(20, 0)));
  // 390 KB that claim 20000x20000: refused from IHDR, before the data (not even valid
  // zlib, which decoding would report instead) is looked at.
  WriteBytes(dir / "huge.png", DeclaredPng(20000, 20000, Bytes(390 * 1024, 0xAB)));
  WriteBytes(dir / "many-pixels.png", DeclaredPng(16000, 8000, Bytes(1000, 0xAB)));
  // The size a JPEG declares lives in its SOF0 segment: height, then width.
  auto withJpegSize = [&](int width, int height) {
    Bytes patched = jpeg;
    const Bytes sof = {0xFF, 0xC0};
    auto at = std::search(patched.begin(), patched.end(), sof.begin(), sof.end());
    at[5] = static_cast<unsigned char>(height >> 8), at[6] = static_cast<unsigned char>(height);
    at[7] = static_cast<unsigned char>(width >> 8), at[8] = static_cast<unsigned char>(width);
    return patched;
  };
  WriteBytes(dir / "huge.jpg", withJpegSize(30000, 20000));
  WriteBytes(dir / "zero-height.jpg", withJpegSize(64, 0));
  WriteBytes(dir / "text.png", {'h', 'e', 'l', 'l', 'o', '\n'});
  WriteBytes(dir / "empty.jpg", {});
  fs::create_directory(dir / "folder.png");
  ASSERT_EQ(mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);
  // Nearly 64 GiB of zeros in a sparse file: refused from its first bytes, never read whole.
  { std::ofstream(dir / "sparse.jpg").put('\0'); }
  fs::resize_file(dir / "sparse.jpg", std::uintmax_t{64} << 30);

  struct Case {
    fs::path file;
    const char* prefix;
    const char* reason;
    bool headerFails;  // ReadPictureInfo fails too, not only decoding
    bool looksLikePicture;
  };
  const Case cases[] = {
      {dir / "bad-header-crc.png", "cannot decode image", "IHDR: CRC error", true, true},
      {dir / "bad-data-crc.png", "cannot decode image", "IDAT: CRC error", false, true},
      {dir / "cut.png", "cannot decode image", "ends early", false, true},
      {dir / "no-iend.png", "cannot decode image", "ends early", false, true},
      {dir / "cut.jpg", "cannot decode image", "Premature end of JPEG file", false, true},
      {dir / "zero-width.png", "cannot decode image", "Image width is zero in IHDR", true, true},
      {dir / "huge.png", "cannot decode image", "20000x20000 pixels, more than 16384 pixels a side", true, true},
      {dir / "many-pixels.png", "cannot decode image", "16000x8000 pixels, more than 120000000 pixels in all", true,
       true},
      {dir / "huge.jpg", "cannot decode image", "30000x20000 pixels, more than 16384 pixels a side", true, true},
      {dir / "zero-height.jpg", "cannot decode image", "Empty JPEG image", true, true},
      {dir / "text.png", "cannot decode image", "not a PNG or JPEG file", true, false},
      {dir / "empty.jpg", "cannot decode image", "the file is empty", true, false},
      {dir / "sparse.jpg", "cannot decode image", "not a PNG or JPEG file", true, false},
      {dir / "folder.png", "cannot read image", "is a folder", true, false},
      {"/dev/zero", "cannot read image", "is a character device, not a regular file", true, false},
      {dir / "pipe.jpg", "cannot read image", "is a pipe, not a regular file", true, false},
      {dir / "absent.png", "cannot read image", "No such file or directory", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.string());
    const std::string expected = std::string(c.prefix) + " " + c.file.string() + ": ";
    for (const bool headerOnly : {true, false}) {
      try {
        if (headerOnly) {
          (void)montage::ReadPictureInfo(c.file);
        } else {
          (void)montage::ReadPicture(c.file, 8, 8);
        }
        EXPECT_TRUE(headerOnly && !c.headerFails) << "no error";
      } catch (const montage::HostError& error) {
        const std::string message = error.what();
        EXPECT_TRUE(!headerOnly || c.headerFails) << message;
        EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
      }
    }
    EXPECT_EQ(montage::LooksLikePicture(c.file), c.looksLikePicture);
  }
}

TEST(Pictures, UnreadableFileIsNamed) {
  const ScratchFolder scratch("pictures");
  fs::permissions(scratch.Path(), fs::perms::owner_all | fs::perms::others_exec);
  const fs::path file = WriteSolidPng(scratch.Path() / "locked.png", 0);
  fs::permissions(file, fs::perms::none);
  // Root reads every file: the read is tried in a child that has given root up.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && setuid(65534) != 0) std::_Exit(2);
        try {
          (void)montage::ReadPicture(file);
        } catch (const montage::HostError& error) {
          std::fprintf(stderr, "%s\n", error.what());
          std::_Exit(0);
        }
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "cannot read image " + file.string() + ": Permission denied");
}

}  // namespace
