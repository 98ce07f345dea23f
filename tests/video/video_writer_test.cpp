// Video files written by WriteVideo and read back with ffprobe and ffmpeg: streams,
// timing, pictures, soundtracks, and failures that must leave the folder as it was.
#include "montage/video_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_test_support.h"
#include "programs.h"

namespace {

namespace fs = std::filesystem;
using montage::VideoFormat;
using montage::VideoSettings;

const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCachesEnvironment);

// Frame k shows scene k / kSceneFrames, each a flat colour.
constexpr int kSceneFrames = 4;
montage::Colour SceneColour(int frame) { return SolidColour(frame / kSceneFrames); }

void PaintScene(int index, montage::Image& frame) { frame.Fill(SceneColour(index)); }

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadAll(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

VideoSettings Settings(VideoFormat format, int frames = 24, double fps = 24.0) {
  VideoSettings settings;
  settings.format = format;
  settings.width = 160;
  settings.height = 90;
  settings.fps = fps;
  settings.frameCount = frames;
  return settings;
}

// The names of the top-level boxes of an MP4 file, in order.
std::vector<std::string> TopLevelBoxes(const std::string& bytes) {
  std::vector<std::string> boxes;
  std::size_t at = 0;
  while (at + 8 <= bytes.size()) {
    std::uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | static_cast<unsigned char>(bytes[at + i]);
    boxes.push_back(bytes.substr(at + 4, 4));
    if (size == 1 && at + 16 <= bytes.size()) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

// The frames and total duration (milliseconds) of an animated WebP file's ANMF chunks.
struct WebPAnimation {
  int width = 0;
  int height = 0;
  int frames = 0;
  int milliseconds = 0;
  int loops = -1;
};

WebPAnimation ReadWebP(const std::string& bytes) {
  auto le = [&](std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  };
  WebPAnimation animation;
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WEBP") != 0) return animation;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string name = bytes.substr(at, 4);
    const std::uint32_t size = le(at + 4, 4);
    const std::size_t data = at + 8;
    if (name == "VP8X" && data + 10 <= bytes.size()) {
      animation.width = static_cast<int>(le(data + 4, 3)) + 1;
      animation.height = static_cast<int>(le(data + 7, 3)) + 1;
    } else if (name == "ANIM" && data + 6 <= bytes.size()) {
      animation.loops = static_cast<int>(le(data + 4, 2));
    } else if (name == "ANMF" && data + 15 <= bytes.size()) {
      ++animation.frames;
      animation.milliseconds += static_cast<int>(le(data + 12, 3));
    }
    at = data + size + (size & 1);
  }
  return animation;
}

// ---- Files that play ------------------------------------------------------------------------

struct FileCase {
  const char* label;
  VideoFormat format;
  int width;
  int height;
  int frames;
  double fps;
  const char* codec;
  const char* pixels;        // empty: not checked
  const char* frameRate;     // as ffprobe writes it
  double durationTolerance;  // seconds
};

void PrintTo(const FileCase& c, std::ostream* out) {
  *out << c.label << " " << c.width << "x" << c.height << ", " << c.frames << " frames at " << c.fps << " fps";
}

class WrittenFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(WrittenFile, HasItsCodecSizeFrameRateFramesAndDuration) {
  const FileCase& c = GetParam();
  const ScratchFolder folder("video");
  const fs::path file = folder.Path() / (std::string("clip.") + c.label);
  VideoSettings settings = Settings(c.format, c.frames, c.fps);
  settings.width = c.width;
  settings.height = c.height;
  std::vector<montage::VideoProgress> seen;
  std::vector<int> drawn;
  auto paint = [&](int index, montage::Image& frame) {
    drawn.push_back(index);
    PaintScene(index, frame);
  };
  const montage::VideoTimings timings =
      montage::WriteVideo(file, settings, paint, [&](const montage::VideoProgress& p) { seen.push_back(p); });
  EXPECT_EQ(Entries(folder.Path()), std::vector<std::string>{file.filename()});
  // One pass over the frames in order (a GIF's palette sample comes before it).
  ASSERT_GE(drawn.size(), static_cast<std::size_t>(c.frames));
  std::vector<int> frames(c.frames);
  std::iota(frames.begin(), frames.end(), 0);
  EXPECT_EQ(std::vector<int>(drawn.end() - c.frames, drawn.end()), frames);
  if (c.format != VideoFormat::kGif) {
    EXPECT_EQ(drawn.size(), static_cast<std::size_t>(c.frames));
  }
  EXPECT_GE(timings.drawSeconds, 0);
  EXPECT_GT(timings.encodeSeconds, 0);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().framesDone, c.frames);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i].framesDone, seen[i - 1].framesDone);
  const double seconds = c.frames / c.fps;

  if (c.format == VideoFormat::kWebP) {
    // ffprobe reads no animated WebP; its chunks say what a browser plays.
    const WebPAnimation animation = ReadWebP(ReadAll(file));
    EXPECT_EQ(animation.width, c.width);
    EXPECT_EQ(animation.height, c.height);
    EXPECT_EQ(animation.loops, 0);                                              // for ever
    EXPECT_GE(animation.frames, (c.frames + kSceneFrames - 1) / kSceneFrames);  // identical frames may merge
    EXPECT_NEAR(animation.milliseconds / 1000.0, seconds, c.durationTolerance);
    return;
  }
  const nlohmann::json probe = Probe(file);
  const nlohmann::json video = StreamOf(probe, "video");
  ASSERT_FALSE(video.is_null()) << probe.dump(1);
  EXPECT_EQ(video.value("codec_name", ""), c.codec);
  if (*c.pixels != '\0') {
    EXPECT_EQ(video.value("pix_fmt", ""), c.pixels);
  }
  EXPECT_EQ(video.value("width", 0), c.width);
  EXPECT_EQ(video.value("height", 0), c.height);
  if (*c.frameRate != '\0') {
    EXPECT_EQ(video.value("r_frame_rate", ""), c.frameRate);
  }
  EXPECT_EQ(video.value("nb_read_frames", ""), std::to_string(c.frames));
  EXPECT_NEAR(ProbedNumber(probe["format"], "duration"), seconds, c.durationTolerance) << probe["format"].dump(1);
  if (video.contains("duration")) {
    EXPECT_NEAR(ProbedNumber(video, "duration"), seconds, c.durationTolerance);
  }
  EXPECT_TRUE(StreamOf(probe, "audio").is_null());
  if (c.format == VideoFormat::kMp4) {
    // Players and browsers start before the whole file has arrived: the index comes first.
    const std::vector<std::string> boxes = TopLevelBoxes(ReadAll(file));
    const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
    const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
    EXPECT_TRUE(moov < mdat && mdat != boxes.end()) << testing::PrintToString(boxes);
    EXPECT_EQ(video.value("color_space", ""), "bt709");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, WrittenFile,
    ::testing::Values(FileCase{"mp4", VideoFormat::kMp4, 160, 90, 24, 24.0, "h264", "yuv420p", "24/1", 0.001},
                      FileCase{"webm", VideoFormat::kWebM, 160, 90, 24, 24.0, "vp9", "yuv420p", "24/1", 0.002},
                      FileCase{"gif", VideoFormat::kGif, 160, 90, 24, 24.0, "gif", "", "", 0.011},
                      FileCase{"webp", VideoFormat::kWebP, 160, 90, 24, 24.0, "", "", "", 0.002}),
    [](const ::testing::TestParamInfo<FileCase>& param) { return std::string(param.param.label); });

// Frame rates that are not whole numbers, single frames and the smallest sizes.
INSTANTIATE_TEST_SUITE_P(
    Edges, WrittenFile,
    ::testing::Values(FileCase{"mp4", VideoFormat::kMp4, 160, 90, 30, 29.97, "h264", "yuv420p", "2997/100", 0.001},
                      FileCase{"mp4", VideoFormat::kMp4, 2, 2, 1, 30.0, "h264", "yuv420p", "30/1", 0.001},
                      FileCase{"webm", VideoFormat::kWebM, 2, 2, 1, 12.5, "vp9", "yuv420p", "25/2", 0.002},
                      FileCase{"gif", VideoFormat::kGif, 1, 1, 3, 0.5, "gif", "", "", 0.011},
                      FileCase{"webp", VideoFormat::kWebP, 1, 1, 5, 30.0, "", "", "", 0.002}),
    [](const ::testing::TestParamInfo<FileCase>& param) {
      return std::string(param.param.label) + "_" + std::to_string(param.index);
    });

TEST(VideoFormatFor, TheExtensionInAnyCaseChoosesTheFormatAndNothingElseDoes) {
  const std::pair<const char*, std::optional<VideoFormat>> cases[] = {
      {"out/montage.mp4", VideoFormat::kMp4},
      {"A.WEBM", VideoFormat::kWebM},
      {"x.Gif", VideoFormat::kGif},
      {"y.webp", VideoFormat::kWebP},
      {"clip.mov", std::nullopt},
      {"mp4", std::nullopt},
      {"frames/", std::nullopt},
      {"archive.mp4.png", std::nullopt},
      {".mp4", std::nullopt},
  };
  for (const auto& [name, format] : cases) EXPECT_EQ(montage::VideoFormatFor(name), format) << name;
  for (const VideoFormat format : {VideoFormat::kMp4, VideoFormat::kWebM, VideoFormat::kGif, VideoFormat::kWebP}) {
    EXPECT_EQ(montage::VideoFormatFor("a" + std::string(montage::VideoFormatExtension(format))), format);
  }
}

TEST(WrittenGif, DrawsASampleSpreadOverTheClipForItsPaletteThenEveryFrame) {
  const ScratchFolder folder("video");
  VideoSettings settings = Settings(VideoFormat::kGif, 100, 25.0);
  settings.width = 32;
  settings.height = 18;
  std::vector<int> drawn;
  montage::WriteVideo(folder.Path() / "clip.gif", settings, [&](int index, montage::Image& frame) {
    drawn.push_back(index);
    PaintScene(index, frame);
  });
  ASSERT_EQ(drawn.size(), 132u);
  const std::vector<int> sample(drawn.begin(), drawn.begin() + 32);
  EXPECT_TRUE(std::is_sorted(sample.begin(), sample.end()));
  EXPECT_EQ(std::set<int>(sample.begin(), sample.end()).size(), 32u);
  EXPECT_EQ(sample.front(), 0);
  EXPECT_EQ(sample.back(), 99);
  std::vector<int> frames(100);
  std::iota(frames.begin(), frames.end(), 0);
  EXPECT_EQ(std::vector<int>(drawn.begin() + 32, drawn.end()), frames);
}

// ---- Pictures --------------------------------------------------------------------------------

// Frame `index` of `file` decoded to RGB by the ffmpeg program (studio-range BT.709 for
// the YUV formats).
std::vector<unsigned char> DecodeFrame(const fs::path& file, int index, bool yuv) {
  std::string filters = "select=eq(n\\," + std::to_string(index) + ")";
  if (yuv) filters += ",scale=in_color_matrix=bt709:in_range=tv:out_range=pc";
  filters += ",format=rgb24";
  const ProgramRun run = RunProgram(
      {MONTAGE_FFMPEG, "-v", "error", "-i", file.string(), "-vf", filters, "-frames:v", "1", "-f", "rawvideo", "-"});
  EXPECT_EQ(run.status, 0);
  return {run.out.begin(), run.out.end()};
}

double Psnr(const std::vector<unsigned char>& rgb, const montage::Image& expected) {
  const std::size_t size = static_cast<std::size_t>(expected.Width()) * static_cast<std::size_t>(expected.Height());
  if (rgb.size() != size * 3) return 0;
  double squares = 0;
  for (int y = 0; y < expected.Height(); ++y) {
    for (int x = 0; x < expected.Width(); ++x) {
      const montage::Colour c = expected.At(x, y);
      const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * expected.Width() + x) * 3];
      const int differences[] = {p[0] - c.r, p[1] - c.g, p[2] - c.b};
      for (const int difference : differences) squares += difference * difference;
    }
  }
  const double mse = squares / static_cast<double>(size * 3);
  return mse == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(WrittenPictures, DecodedFramesMatchWhatTheSourceDrew) {
  // Two scenes a frame: a colour on the left, another on the right, so that a swap of
  // channels, a wrong colour matrix or a shifted frame all show.
  auto paint = [](int index, montage::Image& frame) {
    frame.Fill(SceneColour(index));
    const montage::Colour right = SolidColour(index / kSceneFrames + 2);
    montage::Image one(1, 1);
    one.Fill(right);
    for (int y = 0; y < frame.Height(); ++y) {
      std::fill_n(frame.Data() + y * frame.Width() + frame.Width() / 2, frame.Width() / 2, one.Data()[0]);
    }
  };
  struct Case {
    VideoFormat format;
    const char* name;
    bool yuv;
  };
  for (const Case c : {Case{VideoFormat::kMp4, "clip.mp4", true}, Case{VideoFormat::kWebM, "clip.webm", true},
                       Case{VideoFormat::kGif, "clip.gif", false}}) {
    SCOPED_TRACE(c.name);
    const ScratchFolder folder("video");
    const fs::path file = folder.Path() / c.name;
    const VideoSettings settings = Settings(c.format, 20, 10.0);
    montage::WriteVideo(file, settings, paint);
    for (const int index : {0, 6, 13, 19}) {
      SCOPED_TRACE(index);
      montage::Image expected(settings.width, settings.height);
      paint(index, expected);
      EXPECT_GE(Psnr(DecodeFrame(file, index, c.yuv), expected), 35.0);
    }
  }
}

// ---- Soundtracks -----------------------------------------------------------------------------

// A tone made by the ffmpeg program: `seconds` long, at `rate` Hz, with `channels`.
fs::path MakeTone(const fs::path& file, double seconds, int rate, int channels) {
  const ProgramRun run =
      RunProgram({MONTAGE_FFMPEG, "-v", "error", "-y", "-f", "lavfi", "-i",
                  "sine=frequency=440:sample_rate=" + std::to_string(rate) + ":duration=" + std::to_string(seconds),
                  "-ac", std::to_string(channels), file.string()});
  EXPECT_EQ(run.status, 0);
  return file;
}

// The file's sound decoded by the ffmpeg program: mono, 48000 Hz.
std::vector<float> DecodeSound(const fs::path& file) {
  const ProgramRun run = RunProgram({MONTAGE_FFMPEG, "-v", "error", "-i", file.string(), "-map", "0:a:0", "-ac", "1",
                                     "-ar", "48000", "-f", "f32le", "-"});
  EXPECT_EQ(run.status, 0);
  std::vector<float> samples(run.out.size() / sizeof(float));
  std::memcpy(samples.data(), run.out.data(), samples.size() * sizeof(float));
  return samples;
}

double Rms(const std::vector<float>& samples, double fromSeconds, double toSeconds) {
  const auto from = static_cast<std::size_t>(std::max(0.0, fromSeconds * 48000));
  const auto to = std::min(samples.size(), static_cast<std::size_t>(toSeconds * 48000));
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += samples[i] * samples[i];
  return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0;
}

struct SoundCase {
  VideoFormat format;
  const char* name;
  const char* codec;
  const char* tone;  // the soundtrack's file name: its extension picks the format
  double toneSeconds;
  int toneRate;
  int toneChannels;
};

void PrintTo(const SoundCase& c, std::ostream* out) {
  *out << c.name << " with " << c.tone << " of " << c.toneSeconds << " s at " << c.toneRate << " Hz, " << c.toneChannels
       << " channel(s)";
}

class Soundtrack : public ::testing::TestWithParam<SoundCase> {};

TEST_P(Soundtrack, IsCutToTheVideoAndFadesOnlyWhenItLastsTheWholeVideo) {
  const SoundCase& c = GetParam();
  const ScratchFolder folder("video");
  const fs::path tone = MakeTone(folder.Path() / c.tone, c.toneSeconds, c.toneRate, c.toneChannels);
  const fs::path file = folder.Path() / c.name;
  VideoSettings settings = Settings(c.format, 60, 30.0);  // 2 seconds
  settings.audio = tone;
  montage::WriteVideo(file, settings, PaintScene);

  const nlohmann::json probe = Probe(file);
  const nlohmann::json audio = StreamOf(probe, "audio");
  ASSERT_FALSE(audio.is_null()) << probe.dump(1);
  EXPECT_EQ(audio.value("codec_name", ""), c.codec);
  EXPECT_EQ(audio.value("sample_rate", ""), "48000");
  EXPECT_EQ(audio.value("channels", 0), 2);
  const nlohmann::json video = StreamOf(probe, "video");
  ASSERT_FALSE(video.is_null());
  EXPECT_EQ(video.value("nb_read_frames", ""), "60");
  EXPECT_NEAR(ProbedNumber(probe["format"], "duration"), 2.0, 0.03);

  const bool longer = c.toneSeconds >= 2.0;
  // MP4 gives the stream's duration; Matroska a tag.
  double streamSeconds = ProbedNumber(audio, "duration");
  if (std::isnan(streamSeconds) && audio.contains("tags") && audio["tags"].contains("DURATION")) {
    int hours = 0;
    int minutes = 0;
    double secs = 0;
    std::sscanf(audio["tags"]["DURATION"].get<std::string>().c_str(), "%d:%d:%lf", &hours, &minutes, &secs);
    streamSeconds = hours * 3600 + minutes * 60 + secs;
  }
  EXPECT_NEAR(streamSeconds, longer ? 2.0 : c.toneSeconds, 0.03) << audio.dump(1);
  const std::vector<float> sound = DecodeSound(file);
  const double heard = static_cast<double>(sound.size()) / 48000;
  EXPECT_NEAR(heard, longer ? 2.0 : c.toneSeconds, 0.03);
  const double middle = Rms(sound, heard * 0.3, heard * 0.5);
  const double end = Rms(sound, heard - 0.5, heard - 0.02);
  EXPECT_GT(middle, 0.08);  // the tone's amplitude is 1/8
  if (longer) {
    EXPECT_LT(end, 0.6 * middle);  // a linear fade over the last second
  } else {
    EXPECT_GT(end, 0.9 * middle);  // a short track just ends
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Soundtrack,
    ::testing::Values(SoundCase{VideoFormat::kMp4, "long.mp4", "aac", "tone.wav", 3.0, 44100, 1},
                      SoundCase{VideoFormat::kMp4, "short.mp4", "aac", "tone.flac", 1.2, 48000, 2},
                      SoundCase{VideoFormat::kWebM, "long.webm", "opus", "tone.ogg", 5.0, 22050, 2},
                      SoundCase{VideoFormat::kWebM, "short.webm", "opus", "tone.mp4", 0.8, 44100, 1}),
    [](const ::testing::TestParamInfo<SoundCase>& param) {
      std::string name = param.param.name;
      return name.replace(name.find('.'), 1, "_");
    });

// ---- Failures --------------------------------------------------------------------------------

// A folder holding an older `clip.*` that a failed write must leave as it was.
class FailedWrite : public ::testing::Test {
 protected:
  fs::path Target(const char* name) {
    const fs::path file = folder_.Path() / name;
    std::ofstream(file) << kOld;
    return file;
  }
  // Nothing but the old target remains.
  void ExpectUntouched(const fs::path& file) {
    EXPECT_EQ(Entries(folder_.Path()), std::vector<std::string>{file.filename()});
    EXPECT_EQ(ReadAll(file), kOld);
  }
  static constexpr const char* kOld = "an older video";
  ScratchFolder folder_{"video"};
};

TEST_F(FailedWrite, BadSettingsAreRefusedNamingTheValue) {
  struct Case {
    const char* name;
    VideoSettings settings;
    const char* message;
  };
  auto with = [](VideoFormat format, auto change) {
    VideoSettings settings = Settings(format);
    change(settings);
    return settings;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.width = 161; }),
       "even width and height, not 161x90"},
      {"clip.webm", with(VideoFormat::kWebM, [](VideoSettings& s) { s.height = 91; }), "not 160x91"},
      {"clip.gif", with(VideoFormat::kGif, [](VideoSettings& s) { s.width = 0; }), "not 0x90"},
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.height = 16386; }), "not 160x16386"},
      {"clip.webp", with(VideoFormat::kWebP, [](VideoSettings& s) { s.width = 16384; }), "not 16384x90"},
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.frameCount = 0; }), "frames, not 0"},
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.frameCount = 10001; }), "frames, not 10001"},
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.fps = 0; }), "frames per second, not 0"},
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.fps = -30; }), "not -30"},
      {"clip.mp4", with(VideoFormat::kMp4, [&](VideoSettings& s) { s.fps = nan; }), "not NaN"},
      {"clip.webm", with(VideoFormat::kWebM, [](VideoSettings& s) { s.fps = 1000.5; }), "not 1000.5"},
      {"clip.gif", with(VideoFormat::kGif, [](VideoSettings& s) { s.fps = 60; }), "GIF plays at most 50"},
      {"clip.mp4", with(VideoFormat::kMp4, [](VideoSettings& s) { s.quality = 0; }), "quality must be 1 to 100, not 0"},
      {"clip.gif", with(VideoFormat::kGif, [](VideoSettings& s) { s.quality = 101; }), "not 101"},
      {"clip.gif", with(VideoFormat::kGif, [](VideoSettings& s) { s.audio = "tone.wav"; }),
       "GIF carries no sound: cannot add the soundtrack tone.wav"},
      {"clip.webp", with(VideoFormat::kWebP, [](VideoSettings& s) { s.audio = "tone.wav"; }), "WebP carries no sound"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const fs::path file = Target(c.name);
    int drawn = 0;
    try {
      montage::WriteVideo(file, c.settings, [&](int, montage::Image&) { ++drawn; });
      ADD_FAILURE() << "written";
    } catch (const montage::HostError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
    EXPECT_EQ(drawn, 0);
    ExpectUntouched(file);
    fs::remove(file);
  }
}

TEST_F(FailedWrite, AFolderThatCannotBeWrittenIsNamed) {
  const fs::path plain = Target("clip.mp4");
  for (const fs::path& file : {folder_.Path() / "missing" / "clip.mp4", plain / "clip.mp4"}) {
    SCOPED_TRACE(file);
    try {
      montage::WriteVideo(file, Settings(VideoFormat::kMp4), PaintScene);
      ADD_FAILURE() << "written";
    } catch (const montage::HostError& error) {
      EXPECT_NE(std::string(error.what()).find(file.parent_path().string()), std::string::npos) << error.what();
    }
    ExpectUntouched(plain);
  }
}

TEST_F(FailedWrite, ASourceThatThrowsOrACancelHalfWayLeavesNoFile) {
  for (const auto& [name, format] :
       {std::pair{"clip.mp4", VideoFormat::kMp4}, std::pair{"clip.webm", VideoFormat::kWebM},
        std::pair{"clip.gif", VideoFormat::kGif}, std::pair{"clip.webp", VideoFormat::kWebP}}) {
    SCOPED_TRACE(name);
    const fs::path file = Target(name);
    auto throwing = [](int index, montage::Image& frame) {
      if (index == 12) throw std::runtime_error("the drawing failed");
      PaintScene(index, frame);
    };
    EXPECT_THROW(
        {
          try {
            montage::WriteVideo(file, Settings(format), throwing);
          } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "the drawing failed");
            throw;
          }
        },
        std::runtime_error);
    ExpectUntouched(file);

    std::atomic<bool> cancel{false};
    int drawn = 0;
    auto cancelling = [&](int index, montage::Image& frame) {
      ++drawn;
      if (index == 12) cancel = true;
      PaintScene(index, frame);
    };
    EXPECT_THROW(montage::WriteVideo(file, Settings(format), cancelling, {}, &cancel), montage::Cancelled);
    EXPECT_LE(drawn, 13 + (format == VideoFormat::kGif ? 24 : 0));
    ExpectUntouched(file);
    fs::remove(file);
  }
}

TEST_F(FailedWrite, AFrameDrawnAtAnotherSizeIsRefused) {
  const fs::path file = Target("clip.mp4");
  auto resizing = [](int index, montage::Image& frame) {
    PaintScene(index, frame);
    if (index == 5) frame = montage::Image(80, 90);
  };
  try {
    montage::WriteVideo(file, Settings(VideoFormat::kMp4), resizing);
    ADD_FAILURE() << "written";
  } catch (const montage::HostError& error) {
    EXPECT_NE(std::string(error.what()).find("frame 5 was drawn 80x90, not 160x90"), std::string::npos) << error.what();
  }
  ExpectUntouched(file);
}

TEST_F(FailedWrite, AFullDiskIsReportedAndLeavesNoFile) {
  // Noise, so that the files grow well beyond the limit.
  auto noise = [](int index, montage::Image& frame) {
    std::mt19937 random(static_cast<unsigned>(index));
    for (int i = 0; i < frame.Width() * frame.Height(); ++i) frame.Data()[i] = random() | 0xFF000000u;
  };
  for (const auto& [name, format] :
       {std::pair{"clip.mp4", VideoFormat::kMp4}, std::pair{"clip.webm", VideoFormat::kWebM},
        std::pair{"clip.gif", VideoFormat::kGif}, std::pair{"clip.webp", VideoFormat::kWebP}}) {
    SCOPED_TRACE(name);
    const fs::path file = Target(name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The child: files end at 64 KiB, and writing past that fails with EFBIG.
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{64 * 1024, 64 * 1024};
      setrlimit(RLIMIT_FSIZE, &limit);
      int status = 3;
      try {
        montage::WriteVideo(file, Settings(format, 24), noise);
        status = 1;  // reported as written
      } catch (const montage::HostError& error) {
        const std::string message = error.what();
        status = message.find("cannot write " + file.string() + ": File too large") == 0 ? 0 : 2;
        if (status != 0) std::fprintf(stderr, "%s\n", error.what());
      } catch (...) {
      }
      std::fflush(stderr);
      _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported success, 2: another message, 3: another exception";
    ExpectUntouched(file);
    fs::remove(file);
  }
}

TEST_F(FailedWrite, ASoundtrackThatCannotBeUsedIsNamed) {
  const fs::path text = folder_.Path() / "notes.wav";
  std::ofstream(text) << "not a sound at all, only some words in a file that is long enough to be probed\n";
  const fs::path silent = folder_.Path() / "silent.mp4";
  montage::WriteVideo(silent, Settings(VideoFormat::kMp4, 4), PaintScene);
  const fs::path missing = folder_.Path() / "missing.wav";
  // A WAV file whose format tag (0xABCD) names no codec.
  const fs::path unknown = folder_.Path() / "unknown.wav";
  {
    auto le = [](std::uint32_t value, int bytes) {
      std::string little;
      for (int i = 0; i < bytes; ++i) little += static_cast<char>(value >> (8 * i) & 0xFF);
      return little;
    };
    const std::string format = le(0xABCD, 2) + le(2, 2) + le(48000, 4) + le(192000, 4) + le(4, 2) + le(16, 2);
    const std::string body = "WAVEfmt " + le(16, 4) + format + "data" + le(8000, 4) + std::string(8000, '\0');
    std::ofstream(unknown, std::ios::binary) << "RIFF" << le(static_cast<std::uint32_t>(body.size()), 4) << body;
  }
  struct Case {
    fs::path audio;
    const char* message;
  };
  for (const Case& c : {Case{missing, "No such file or directory"}, Case{text, "not a media file"},
                        Case{silent, "has no audio stream"}, Case{unknown, "its audio codec is unknown"}}) {
    SCOPED_TRACE(c.message);
    const fs::path file = Target("clip.mp4");
    VideoSettings settings = Settings(VideoFormat::kMp4);
    settings.audio = c.audio;
    try {
      montage::WriteVideo(file, settings, PaintScene);
      ADD_FAILURE() << "written";
    } catch (const montage::HostError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.audio.string()), std::string::npos) << message;
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
    fs::remove(file);
  }
  std::set<std::string> left;
  for (const std::string& name : Entries(folder_.Path())) left.insert(name);
  EXPECT_EQ(left, (std::set<std::string>{"notes.wav", "silent.mp4", "unknown.wav"}));
}

// ---- Threads ---------------------------------------------------------------------------------

TEST(WriteVideo, WritesSeveralFilesAtOnce) {
  const ScratchFolder folder("video");
  std::vector<std::thread> threads;
  std::atomic<int> written{0};
  for (const auto& [name, format] : {std::pair{"a.mp4", VideoFormat::kMp4}, std::pair{"b.gif", VideoFormat::kGif},
                                     std::pair{"c.webm", VideoFormat::kWebM}}) {
    threads.emplace_back([&, name = name, format = format] {
      montage::WriteVideo(folder.Path() / name, Settings(format), PaintScene);
      ++written;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(written, 3);
  EXPECT_EQ(Entries(folder.Path()), (std::vector<std::string>{"a.mp4", "b.gif", "c.webm"}));
  for (const char* name : {"a.mp4", "b.gif", "c.webm"}) {
    const nlohmann::json video = StreamOf(Probe(folder.Path() / name), "video");
    ASSERT_FALSE(video.is_null());
    EXPECT_EQ(video.value("nb_read_frames", ""), "24");
  }
}

}  // namespace
