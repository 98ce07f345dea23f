// Clips as input media: timing at the clip's own speed in every container, holding and
// looping after the end, scrubbing back, suspending, rotation and pixel shape, the
// limits, and the real reason for each file that is no clip. Fixture clips are made with
// the ffmpeg program at the start of the run.
#include "montage/clips.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "montage/pictures.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCachesEnvironment);

const montage::Colour kRed{255, 0, 0, 255};
const montage::Colour kGreen{0, 255, 0, 255};
const montage::Colour kBlue{0, 0, 255, 255};
const montage::Colour kWhite{255, 255, 255, 255};

// Which of red, green, blue and white `seen` is (coding shifts colours a little); "?"
// for none of them.
std::string Name(montage::Colour seen) {
  const std::pair<montage::Colour, const char*> named[] = {
      {kRed, "red"}, {kGreen, "green"}, {kBlue, "blue"}, {kWhite, "white"}};
  for (const auto& [colour, name] : named) {
    if (std::abs(seen.r - colour.r) <= 40 && std::abs(seen.g - colour.g) <= 40 && std::abs(seen.b - colour.b) <= 40 &&
        seen.a == 255) {
      return name;
    }
  }
  return "?(" + std::to_string(seen.r) + "," + std::to_string(seen.g) + "," + std::to_string(seen.b) + "," +
         std::to_string(seen.a) + ")";
}

std::string CentreName(const montage::Image& image) { return Name(image.At(image.Width() / 2, image.Height() / 2)); }

Bytes ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Ffmpeg(const std::string& arguments) {
  const std::string command = std::string(MONTAGE_FFMPEG) + " -nostdin -v error -y " + arguments;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Red for the first second, green for the next, blue for the third.
const std::string kThreeColours =
    "-f lavfi -i \"color=red:s=64x48:r=25:d=3,drawbox=c=lime:t=fill:enable='between(t,1,2)',"
    "drawbox=c=blue:t=fill:enable='gte(t,2)'\" ";
// Red top left, green top right, blue bottom left, white bottom right, for a second.
const std::string kQuadrants =
    "-f lavfi -i \"color=red:s=64x48:r=25:d=1,drawbox=x=32:y=0:w=32:h=24:c=lime:t=fill,"
    "drawbox=x=0:y=24:w=32:h=24:c=blue:t=fill,drawbox=x=32:y=24:w=32:h=24:c=white:t=fill\" ";
const std::string kH264 = "-c:v libx264 -pix_fmt yuv420p -g 12 ";

// Writes `matrix` (a, b, c, d of the display matrix, in whole units) into the track
// header of an MP4 written by ffmpeg, as a phone does for a clip filmed upright.
void SetTrackMatrix(const fs::path& file, std::array<int, 4> matrix) {
  Bytes bytes = ReadBytes(file);
  static constexpr unsigned char kTkhd[] = {'t', 'k', 'h', 'd'};
  auto at = std::search(bytes.begin(), bytes.end(), std::begin(kTkhd), std::end(kTkhd));
  ASSERT_NE(at, bytes.end());
  // An identity matrix in 16.16 and 2.30 fixed point: 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000.
  const Bytes identity = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
  at = std::search(at, bytes.end(), identity.begin(), identity.end());
  ASSERT_NE(at, bytes.end());
  auto put = [&](std::ptrdiff_t index, int value) {
    const auto fixed = static_cast<std::uint32_t>(value * 0x10000);
    for (int k = 0; k < 4; ++k) at[index * 4 + k] = static_cast<unsigned char>(fixed >> (24 - 8 * k));
  };
  put(0, matrix[0]);
  put(1, matrix[1]);
  put(3, matrix[2]);
  put(4, matrix[3]);
  WriteBytes(file, bytes);
}

// Where the visual sample entry of an MP4's first video track starts: its type "avc1",
// inside the sample description box (ftyp names "avc1" too).
Bytes::iterator SampleEntry(Bytes& bytes) {
  static constexpr unsigned char kStsd[] = {'s', 't', 's', 'd'};
  static constexpr unsigned char kAvc1[] = {'a', 'v', 'c', '1'};
  const auto stsd = std::search(bytes.begin(), bytes.end(), std::begin(kStsd), std::end(kStsd));
  return std::search(stsd, bytes.end(), std::begin(kAvc1), std::end(kAvc1));
}

// Declares `width` x `height` in the sample entry of an MP4 (the frames stay as they are).
void SetSampleEntrySize(const fs::path& file, int width, int height) {
  Bytes bytes = ReadBytes(file);
  const auto at = SampleEntry(bytes);
  ASSERT_NE(at, bytes.end());
  at[28] = static_cast<unsigned char>(width >> 8), at[29] = static_cast<unsigned char>(width);
  at[30] = static_cast<unsigned char>(height >> 8), at[31] = static_cast<unsigned char>(height);
  WriteBytes(file, bytes);
}

class Clips : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchFolder("clips");
    const fs::path& dir = Dir();
    Ffmpeg(kThreeColours + kH264 + "'" + (dir / "colours.mp4").string() + "'");
    Ffmpeg(kThreeColours + kH264 + "'" + (dir / "colours.mkv").string() + "'");
    Ffmpeg(kThreeColours + kH264 + "'" + (dir / "colours.mov").string() + "'");
    Ffmpeg(kThreeColours + "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 12 '" + (dir / "colours.webm").string() +
           "'");
    Ffmpeg(kThreeColours + "-c:v mpeg4 -q:v 2 -g 12 '" + (dir / "colours.avi").string() + "'");
    Ffmpeg(kQuadrants + kH264 + "'" + (dir / "quadrants.mp4").string() + "'");
    Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=8 " + kH264 + "'" + (dir / "testsrc2.mp4").string() + "'");
    Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=4 " + kH264 + "-movflags +faststart '" +
           (dir / "testsrc2-faststart.mp4").string() + "'");
    Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=4 " + kH264 + "'" + (dir / "testsrc2.mkv").string() + "'");
    Ffmpeg("-f lavfi -i color=red:s=64x48:r=25:d=1 -vf setsar=2 " + kH264 + "'" + (dir / "wide-pixels.mp4").string() +
           "'");
    Ffmpeg("-f lavfi -i sine=d=1 -c:a aac '" + (dir / "sound.m4a").string() + "'");
    Ffmpeg(kThreeColours + "-f lavfi -i sine=d=3 -shortest " + kH264 + "-c:a aac '" +
           (dir / "with-sound.mp4").string() + "'");
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }
  static const fs::path& Dir() { return scratch_->Path(); }

 private:
  static ScratchFolder* scratch_;
};

ScratchFolder* Clips::scratch_ = nullptr;

TEST_F(Clips, PlayAtTheirOwnSpeedInEveryContainer) {
  struct Moment {
    double seconds;
    const char* colour;
  };
  const Moment moments[] = {{-1.0, "red"},  {0.0, "red"},   {0.5, "red"},   {0.99, "red"}, {1.0, "green"},
                            {1.5, "green"}, {2.01, "blue"}, {2.96, "blue"}, {10.0, "blue"}};
  for (const char* name : {"colours.mp4", "colours.mkv", "colours.mov", "colours.webm", "colours.avi"}) {
    SCOPED_TRACE(name);
    const montage::ClipInfo info = montage::ReadClipInfo(Dir() / name);
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 48);
    EXPECT_NEAR(info.seconds, 3.0, 0.05);
    EXPECT_NEAR(info.framesPerSecond, 25.0, 0.01);
    EXPECT_FALSE(info.hasSound);
    const std::shared_ptr<montage::InputMedia> clip = montage::OpenClip(Dir() / name);
    EXPECT_EQ(clip->Width(), 64);
    EXPECT_EQ(clip->Height(), 48);
    for (const Moment& moment : moments) {
      EXPECT_EQ(CentreName(clip->Frame(moment.seconds, 64, 48)), moment.colour) << "at " << moment.seconds << " s";
    }
  }
}

TEST_F(Clips, HoldTheLastFrameOrLoop) {
  struct Case {
    bool loop;
    double seconds;
    const char* colour;
  };
  const Case cases[] = {{false, 3.5, "blue"}, {false, 4.5, "blue"}, {false, 100.0, "blue"},
                        {true, 3.0, "red"},   {true, 3.5, "red"},   {true, 4.5, "green"},
                        {true, 5.5, "blue"},  {true, 6.2, "red"},   {true, 100.5, "green"}};
  // One playback per loop setting, asked in order: looping runs through the end again
  // and again.
  const std::shared_ptr<montage::InputMedia> held = montage::OpenClip(Dir() / "colours.webm");
  const std::shared_ptr<montage::InputMedia> looped = montage::OpenClip(Dir() / "colours.webm", {.loop = true});
  for (const Case& c : cases) {
    montage::InputMedia& clip = c.loop ? *looped : *held;
    EXPECT_EQ(CentreName(clip.Frame(c.seconds, 64, 48)), c.colour)
        << (c.loop ? "looped" : "held") << " at " << c.seconds << " s";
  }
}

TEST_F(Clips, ScrubbingBackAndSuspendingShowTheSameFramesAsPlaying) {
  // Every frame of testsrc2 differs from the others: the pixels tell the frame.
  auto pixels = [](const montage::Image& image) {
    return std::vector<std::uint32_t>(image.Data(), image.Data() + image.Width() * image.Height());
  };
  const std::shared_ptr<montage::InputMedia> reference = montage::OpenClip(Dir() / "testsrc2.mp4");
  std::vector<std::vector<std::uint32_t>> played;
  const double times[] = {0.3, 1.13, 2.0, 2.5, 3.9, 7.6};  // played through: no jump is long enough to seek
  for (const double t : times) played.push_back(pixels(reference->Frame(t, 160, 120)));
  EXPECT_NE(played[0], played[1]);
  EXPECT_NE(played[3], played[4]);

  const std::shared_ptr<montage::InputMedia> scrubbed = montage::OpenClip(Dir() / "testsrc2.mp4");
  (void)scrubbed->Frame(0.1, 160, 120);
  EXPECT_EQ(pixels(scrubbed->Frame(times[5], 160, 120)), played[5]) << "a long jump ahead seeks";
  for (int k = 4; k >= 0; --k) {
    EXPECT_EQ(pixels(scrubbed->Frame(times[k], 160, 120)), played[static_cast<std::size_t>(k)])
        << "back to " << times[k];
  }
  const std::shared_ptr<montage::InputMedia> suspended = montage::OpenClip(Dir() / "testsrc2.mp4");
  for (const int k : {0, 3, 5, 1, 4, 2}) {
    (void)suspended->Frame(times[k] > 1 ? times[k] - 0.7 : 0.0, 160, 120);
    suspended->Suspend();
    EXPECT_EQ(pixels(suspended->Frame(times[k], 160, 120)), played[static_cast<std::size_t>(k)])
        << "resumed at " << times[k];
    suspended->Suspend();
  }
}

TEST_F(Clips, FramesAreScaledToTheAskedSizeWithTheClipsProportions) {
  const std::shared_ptr<montage::InputMedia> clip = montage::OpenClip(Dir() / "testsrc2.mp4");
  struct Case {
    int askedWidth, askedHeight, width, height;
  };
  const Case cases[] = {{160, 120, 160, 120}, {80, 60, 80, 60}, {41, 31, 42, 31},     {33, 10, 33, 25},
                        {10, 60, 80, 60},     {1, 1, 2, 1},     {320, 240, 160, 120}, {5000, 10, 160, 120}};
  for (const Case& c : cases) {
    const montage::Image& image = clip->Frame(1.0, c.askedWidth, c.askedHeight);
    EXPECT_EQ(image.Width(), c.width) << c.askedWidth << "x" << c.askedHeight;
    EXPECT_EQ(image.Height(), c.height) << c.askedWidth << "x" << c.askedHeight;
    EXPECT_EQ(image.At(image.Width() / 2, image.Height() / 2).a, 255);
  }
}

TEST_F(Clips, RotationMetadataAndPixelShapeGiveTheSizeAsShown) {
  struct Case {
    const char* name;
    std::array<int, 4> matrix;  // a, b, c, d
    int width, height;
    const char* corners[4];  // top left, top right, bottom left, bottom right, as shown
  };
  const Case cases[] = {
      {"upright", {1, 0, 0, 1}, 64, 48, {"red", "green", "blue", "white"}},
      {"a quarter turn clockwise", {0, 1, -1, 0}, 48, 64, {"blue", "red", "white", "green"}},
      {"half a turn", {-1, 0, 0, -1}, 64, 48, {"white", "blue", "green", "red"}},
      {"a quarter turn counter-clockwise", {0, -1, 1, 0}, 48, 64, {"green", "white", "red", "blue"}},
      {"mirrored", {-1, 0, 0, 1}, 64, 48, {"green", "red", "white", "blue"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = Dir() / "turned.mp4";
    fs::copy_file(Dir() / "quadrants.mp4", file, fs::copy_options::overwrite_existing);
    SetTrackMatrix(file, c.matrix);
    const montage::ClipInfo info = montage::ReadClipInfo(file);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    const std::shared_ptr<montage::InputMedia> clip = montage::OpenClip(file);
    const montage::Image& image = clip->Frame(0.5, c.width, c.height);
    ASSERT_EQ(image.Width(), c.width);
    ASSERT_EQ(image.Height(), c.height);
    const int l = c.width / 4, r = c.width * 3 / 4, t = c.height / 4, b = c.height * 3 / 4;
    EXPECT_EQ(Name(image.At(l, t)), c.corners[0]);
    EXPECT_EQ(Name(image.At(r, t)), c.corners[1]);
    EXPECT_EQ(Name(image.At(l, b)), c.corners[2]);
    EXPECT_EQ(Name(image.At(r, b)), c.corners[3]);
  }
  // Pixels twice as wide as high: shown twice as wide.
  const montage::ClipInfo wide = montage::ReadClipInfo(Dir() / "wide-pixels.mp4");
  EXPECT_EQ(wide.width, 128);
  EXPECT_EQ(wide.height, 48);
  EXPECT_EQ(montage::OpenClip(Dir() / "wide-pixels.mp4")->Frame(0, 128, 48).Width(), 128);
}

TEST_F(Clips, SoundIsNotedAndNotInTheWay) {
  const montage::ClipInfo info = montage::ReadClipInfo(Dir() / "with-sound.mp4");
  EXPECT_TRUE(info.hasSound);
  const std::shared_ptr<montage::InputMedia> clip = montage::OpenClip(Dir() / "with-sound.mp4");
  EXPECT_EQ(CentreName(clip->Frame(1.5, 64, 48)), "green");
  EXPECT_EQ(CentreName(clip->Frame(2.5, 64, 48)), "blue");
}

TEST_F(Clips, OpenMediaTellsPicturesFromClips) {
  const fs::path picture = Dir() / "photo.jpg";
  Ffmpeg("-f lavfi -i color=lime:s=400x200 -frames:v 1 -q:v 2 '" + picture.string() + "'");
  const std::shared_ptr<montage::InputMedia> still = montage::OpenMedia(picture, {}, 100, 50);
  EXPECT_EQ(still->Width(), 100);  // decoded at a quarter, still covering 100x50
  EXPECT_EQ(Name(still->Frame(0, 100, 50).At(50, 25)), "green");
  const std::shared_ptr<montage::InputMedia> clip = montage::OpenMedia(Dir() / "colours.mkv");
  EXPECT_EQ(CentreName(clip->Frame(2.5, 64, 48)), "blue");
}

TEST_F(Clips, BadFilesAreRefusedWithTheirRealReason) {
  const fs::path& dir = Dir();
  // A stream header and no frames.
  WriteBytes(dir / "no-frames.y4m", Bytes{'Y', 'U', 'V', '4', 'M', 'P', 'E', 'G', '2', ' ', 'W', '6', '4', ' ', 'H',
                                          '4', '8', ' ', 'F', '2', '5', ':', '1', ' ', 'C', '4', '2', '0', '\n'});
  const Bytes mp4 = ReadBytes(dir / "colours.mp4");
  // Written without faststart, the index comes last: cut short, the file has none.
  WriteBytes(dir / "cut.mp4", Bytes(mp4.begin(), mp4.begin() + static_cast<std::ptrdiff_t>(mp4.size() / 2)));
  Bytes unknownCodec = mp4;
  const auto entry = SampleEntry(unknownCodec);
  ASSERT_NE(entry, unknownCodec.end());
  std::copy_n("zzzz", 4, entry);
  WriteBytes(dir / "unknown-codec.mp4", unknownCodec);
  fs::copy_file(dir / "colours.mp4", dir / "huge.mp4", fs::copy_options::overwrite_existing);
  SetSampleEntrySize(dir / "huge.mp4", 20000, 20000);
  fs::copy_file(dir / "colours.mp4", dir / "many-pixels.mp4", fs::copy_options::overwrite_existing);
  SetSampleEntrySize(dir / "many-pixels.mp4", 9000, 5000);
  WriteBytes(dir / "text.mp4", Bytes(2000, 'x'));
  WriteBytes(dir / "empty.mp4", {});
  fs::create_directory(dir / "folder.mp4");

  struct Case {
    fs::path file;
    const char* prefix;
    const char* reason;
  };
  const Case cases[] = {
      {dir / "sound.m4a", "cannot decode clip", "no video stream (only sound)"},
      {dir / "no-frames.y4m", "cannot decode clip", "it has no frames"},
      {dir / "cut.mp4", "cannot decode clip", "moov atom not found"},
      {dir / "unknown-codec.mp4", "cannot decode clip", "no decoder for its video codec (zzzz)"},
      {dir / "huge.mp4", "cannot decode clip", "20000x20000 pixels, more than 16384 pixels a side"},
      {dir / "many-pixels.mp4", "cannot decode clip", "9000x5000 pixels, more than 37748736 pixels in all"},
      {dir / "text.mp4", "cannot decode clip", "Invalid data found when processing input"},
      {dir / "empty.mp4", "cannot decode clip", "the file is empty"},
      {dir / "folder.mp4", "cannot read clip", "is a folder"},
      {"/dev/zero", "cannot read clip", "is not a regular file"},
      {dir / "absent.mp4", "cannot read clip", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.string());
    for (const bool open : {false, true}) {
      try {
        if (open) {
          (void)montage::OpenMedia(c.file);
        } else {
          (void)montage::ReadClipInfo(c.file);
        }
        ADD_FAILURE() << "no error";
      } catch (const montage::HostError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind(std::string(c.prefix) + " " + c.file.string() + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
      }
    }
  }
}

TEST_F(Clips, ClipCutShortFailsWhenTheRenderReachesTheCut) {
  for (const char* name : {"testsrc2-faststart.mp4", "testsrc2.mkv"}) {
    SCOPED_TRACE(name);
    const Bytes whole = ReadBytes(Dir() / name);
    const fs::path cut = Dir() / (std::string("cut-") + name);
    WriteBytes(cut, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
    const std::shared_ptr<montage::InputMedia> clip = montage::OpenClip(cut);
    EXPECT_EQ(clip->Frame(0.5, 160, 120).Width(), 160);
    try {
      (void)clip->Frame(3.9, 160, 120);
      FAIL() << "no error";
    } catch (const montage::HostError& error) {
      const std::string message = error.what();
      EXPECT_EQ(message.rfind("cannot decode clip " + cut.string() + ": ", 0), 0u) << message;
    }
  }
}

// Open file descriptors of this process: every open clip decoder holds one.
int OpenFiles() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(Clips, OnlyClipsOnScreenHoldADecoder) {
  // 64 inputs, each shown with its own clip for one sixty-fourth of the effect.
  constexpr int kInputs = 64;
  montage::Animation animation;
  animation.inputCount = kInputs;
  for (int i = 0; i < kInputs; ++i) {
    KeyFrame start;
    start.Time = static_cast<double>(i) / kInputs;
    KeyFrame end = start;
    end.Time = (i + 0.9) / kInputs;
    animation.settings.push_back({start, end});
    animation.tracks.emplace_back(animation.settings.back());
  }
  std::vector<std::shared_ptr<montage::InputMedia>> media;
  const int before = OpenFiles();
  for (int i = 0; i < kInputs; ++i)
    media.push_back(montage::OpenClip(Dir() / (i % 2 == 0 ? "colours.mp4" : "colours.webm")));
  EXPECT_EQ(OpenFiles(), before) << "a clip opened for its checks keeps no decoder";
  montage::Renderer renderer(animation, media, {.seconds = 64.0});
  int most = 0;
  for (int frame = 0; frame < 2 * kInputs; ++frame) {
    (void)renderer.Render((frame + 0.5) / (2 * kInputs), 64, 48);
    most = std::max(most, OpenFiles() - before);
  }
  EXPECT_LE(most, 2);
}

}  // namespace
