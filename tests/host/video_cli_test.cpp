// montage-host render writing videos and reading clips, photos and soundtracks, as a
// user runs it: what ffprobe reads back, frames compared with the PNG renderer's, and
// bad input that leaves no file behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host_run.h"
#include "host_test_support.h"
#include "programs.h"

namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Files in `folder`, hidden ones (temporary files) included.
std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::ranges::sort(names);
  return names;
}

// Peak signal-to-noise ratio of `a` against `b` over their colour channels, in dB.
double Psnr(const montage::Image& a, const montage::Image& b) {
  double squared = 0;
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width(); ++x) {
      const montage::Colour p = a.At(x, y);
      const montage::Colour q = b.At(x, y);
      for (const double d : {p.r - q.r, p.g - q.g, p.b - q.b}) squared += d * d;
    }
  }
  const double mean = squared / (3.0 * a.Width() * a.Height());
  return mean == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mean);
}

class VideoRender : public ::testing::Test {
 protected:
  ScratchFolder scratch_{"video"};
  fs::path Path(const std::string& name) const { return scratch_.Path() / name; }
  // Five opaque solid pictures, one per input of Halvexa.
  std::vector<std::string> SolidPictures() const {
    std::vector<std::string> files;
    for (int k = 0; k < 5; ++k) files.push_back(WriteSolidPng(Path("solid" + std::to_string(k) + ".png"), k).string());
    return files;
  }
};

TEST_F(VideoRender, EveryFormatSaysTheTruthAboutItself) {
  struct Case {
    const char* file;
    const char* codec;
    const char* pixelFormat;  // empty: not checked
  };
  for (const Case& c :
       {Case{"out.mp4", "h264", "yuv420p"}, Case{"out.webm", "vp9", "yuv420p"}, Case{"out.gif", "gif", ""}}) {
    SCOPED_TRACE(c.file);
    const HostRun run = RunHost(
        {"render", "Halvexa", "--size", "320x180", "--fps", "10", "--seconds", "2", "--out", Path(c.file).string()});
    ASSERT_EQ(run.status, 0) << Describe(run);
    const nlohmann::json probe = Probe(Path(c.file));
    const nlohmann::json video = StreamOf(probe, "video");
    ASSERT_FALSE(video.is_null()) << probe.dump();
    EXPECT_EQ(video["codec_name"], c.codec);
    if (*c.pixelFormat != '\0') {
      EXPECT_EQ(video["pix_fmt"], c.pixelFormat);
    }
    EXPECT_EQ(video["width"], 320);
    EXPECT_EQ(video["height"], 180);
    EXPECT_EQ(video["r_frame_rate"], "10/1");
    EXPECT_EQ(video["nb_read_frames"], "20");
    EXPECT_NEAR(ProbedNumber(probe["format"], "duration"), 2.0, 0.01);
  }
  EXPECT_EQ(Entries(scratch_.Path()), (std::vector<std::string>{"out.gif", "out.mp4", "out.webm"}));
}

TEST_F(VideoRender, AVideoFrameIsThePngFrameOfTheSameTime) {
  // 21 video frames at k/20 and 21 PNG frames at k/20: frame 10 of each shows time 0.5.
  std::vector<std::string> args = {"render", "Halvexa", "--size", "320x180", "--fps", "10", "--images"};
  for (const std::string& picture : SolidPictures()) args.push_back(picture);
  std::vector<std::string> video = args;
  video.insert(video.end(), {"--seconds", "2.1", "--out", Path("halvexa.mp4").string()});
  std::vector<std::string> frames = args;
  frames.insert(frames.end(), {"--seconds", "2", "--out", Path("frames").string()});
  ASSERT_EQ(RunHost(video).status, 0);
  ASSERT_EQ(RunHost(frames).status, 0);
  for (const int k : {5, 10, 20}) {
    SCOPED_TRACE(k);
    const fs::path decoded = Path("decoded" + std::to_string(k) + ".png");
    ASSERT_TRUE(Ffmpeg({"-i", Path("halvexa.mp4").string(), "-vf", "select=eq(n\\," + std::to_string(k) + ")",
                        "-frames:v", "1", decoded.string()}));
    char name[32];
    std::snprintf(name, sizeof name, "frame-%04d.png", k);
    EXPECT_GE(Psnr(montage::Image::Read(decoded), montage::Image::Read(Path("frames") / name)), 35.0);
  }
}

TEST_F(VideoRender, AnOddSizeIsRoundedToEvenWithAWarning) {
  const HostRun run =
      RunHost({"render", "Wistaro", "--size", "161x91", "--seconds", "1", "--out", Path("odd.mp4").string()});
  ASSERT_EQ(run.status, 0) << Describe(run);
  EXPECT_TRUE(Contains(run.err, "MP4 needs even sizes: writing 160x90 instead of 161x91")) << run.err;
  const nlohmann::json video = StreamOf(Probe(Path("odd.mp4")), "video");
  EXPECT_EQ(video["width"], 160);
  EXPECT_EQ(video["height"], 90);
}

TEST_F(VideoRender, ASoundtrackIsCutToTheVideo) {
  ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=6", Path("tone.wav").string()}));
  for (const auto& [file, codec] : {std::pair{"sound.mp4", "aac"}, std::pair{"sound.webm", "opus"}}) {
    SCOPED_TRACE(file);
    const HostRun run = RunHost({"render", "Wistaro", "--size", "160x90", "--seconds", "2", "--audio",
                                 Path("tone.wav").string(), "--out", Path(file).string()});
    ASSERT_EQ(run.status, 0) << Describe(run);
    const nlohmann::json probe = Probe(Path(file));
    const nlohmann::json audio = StreamOf(probe, "audio");
    ASSERT_FALSE(audio.is_null());
    EXPECT_EQ(audio["codec_name"], codec);
    // The 6-second tone ends with the video (WebM keeps stream lengths in tags only).
    EXPECT_NEAR(ProbedNumber(probe["format"], "duration"), 2.0, 0.1);
  }
}

TEST_F(VideoRender, AClipStartsWhenItsInputAppearsAndPlaysAtItsOwnSpeed) {
  // Red for a second, then blue. In Quenmar of five inputs, input 1 appears at time 0.2,
  // a second into a 5-second render, and is fully shown from 1/3 to 7/15 of the effect.
  ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "color=red:s=64x36:r=25:d=1", "-f", "lavfi", "-i",
                      "color=blue:s=64x36:r=25:d=2", "-filter_complex", "[0][1]concat=n=2:v=1", "-c:v", "libx264",
                      "-pix_fmt", "yuv420p", Path("red-then-blue.mp4").string()}));
  montage::Image clear(8, 8);  // transparent: the other inputs show nothing
  clear.WritePng(Path("clear.png"));
  const std::string transparent = Path("clear.png").string();
  const HostRun run = RunHost({"render", "Quenmar", "--size", "160x90", "--fps", "20", "--seconds", "5", "--images",
                               transparent, Path("red-then-blue.mp4").string(), transparent, transparent, transparent,
                               "--out", Path("frames").string()});
  ASSERT_EQ(run.status, 0) << Describe(run);
  // Time 0.35 is 0.75 s into the clip (red), time 0.45 is 1.25 s into it (blue); had the
  // clip started with the effect, both would be blue.
  const montage::Colour early = montage::Image::Read(Path("frames") / "frame-0035.png").At(80, 45);
  const montage::Colour later = montage::Image::Read(Path("frames") / "frame-0045.png").At(80, 45);
  EXPECT_GT(early.r, 200);
  EXPECT_LT(early.b, 60);
  EXPECT_GT(later.b, 200);
  EXPECT_LT(later.r, 60);
}

TEST_F(VideoRender, CtrlCStopsARenderAndLeavesNoFileThatLooksFinished) {
  const fs::path folder = Path("result");
  fs::create_directory(folder);
  std::ofstream(folder / "earlier.mp4") << "an earlier render";
  HostCall call;
  call.args = {"render",    "Brisolen", "--size", "640x360",
               "--seconds", "60",       "--out",  (folder / "earlier.mp4").string()};
  HostCommand command = CommandFor(call, Path("cache"));
  std::vector<char*> argv = CStrings(command.argv);
  std::vector<char*> envp = CStrings(command.env);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
  // Interrupted once its temporary file is being written.
  for (int wait = 0; wait < 600 && Entries(folder).size() < 2; ++wait) usleep(50'000);
  ASSERT_EQ(Entries(folder).size(), 2u) << "the render never started";
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_EQ(Entries(folder), std::vector<std::string>{"earlier.mp4"});
  EXPECT_EQ(ReadFile(folder / "earlier.mp4"), "an earlier render");
}

TEST_F(VideoRender, BadInputLeavesNoFileBehind) {
  const fs::path plain = Path("plain-file");
  std::ofstream(plain) << "x";
  ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", Path("tone.wav").string()}));
  ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=4", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                      Path("long.mkv").string()}));
  fs::copy_file(Path("long.mkv"), Path("cut.mkv"));
  fs::resize_file(Path("cut.mkv"), fs::file_size(Path("long.mkv")) / 2);
  std::ofstream(Path("noise.mp4")) << std::string(4096, '\x5a');
  const std::string picture = WriteSolidPng(Path("solid.png"), 0).string();
  struct Case {
    std::vector<std::string> args;  // before --out
    std::string out;
    std::vector<std::string> messages;
    int fileSizeLimit = 0;
  };
  const std::string out = Path("result/out.mp4").string();
  const Case cases[] = {
      {{"render", "Wistaro"}, Path("result/out.mkv").string(), {"out.mkv", "'.mkv' is neither"}},
      {{"render", "Wistaro"}, (plain / "out.mp4").string(), {"cannot write to output folder", "plain-file"}},
      {{"render", "Wistaro", "--size", "1x1"}, out, {"--size 1x1", "even sizes of at least 2x2"}},
      {{"render", "Wistaro", "--fps", "0.1", "--seconds", "1"}, out, {"gives no frame"}},
      {{"render", "Wistaro", "--fps", "1000", "--seconds", "11"}, out, {"more than 10000 frames"}},
      {{"render", "Wistaro", "--audio", Path("tone.wav").string()},
       Path("result/out.gif").string(),
       {"a GIF carries no sound"}},
      {{"render", "Wistaro", "--audio", picture}, out, {picture, "no audio stream"}},
      {{"render", "Wistaro", "--images", Path("tone.wav").string()}, out, {"tone.wav", "no video stream"}},
      {{"render", "Wistaro", "--images", Path("noise.mp4").string()}, out, {"noise.mp4"}},
      {{"render", "Wistaro", "--images", Path("missing.mov").string()}, out, {"missing.mov", "No such file"}},
      // The clip is cut off half-way through the render: the error comes mid-way.
      {{"render", "Wistaro", "--inputs", "2", "--seconds", "4", "--images", Path("cut.mkv").string()},
       out,
       {"cut.mkv"}},
      {{"render", "Brisolen", "--size", "640x360", "--seconds", "4"}, out, {"out.mp4", "File too large"}, 40},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined + "--out " + c.out);
    HostCall call;
    call.args = c.args;
    call.args.insert(call.args.end(), {"--out", c.out});
    call.fileSizeLimit = c.fileSizeLimit;
    const HostRun run = RunHost(call);
    EXPECT_EQ(run.status, 1) << Describe(run);
    for (const std::string& message : c.messages) EXPECT_TRUE(Contains(run.err, message)) << run.err;
    EXPECT_TRUE(Entries(Path("result")).empty()) << "left behind: " << Entries(Path("result")).front();
  }
}

}  // namespace
