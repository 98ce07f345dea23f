// montage-host against hostile plug-ins, odd names and failing output: it must survive
// its plug-ins, write only where it was asked, and report every failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "host_run.h"
#include "host_test_support.h"
#include "plugin_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kFixtures = HOST_FIXTURES_DIR;
const std::string kBuilt = fs::path(kBuiltPlugins[0].path).parent_path().string();

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(HostileScan, BrokenLibrariesAreListedWithTheirReasonAndTheOthersStillWork) {
  const ScratchFolder scratch("truncated");
  // A library cut short, as a copy caught half-way, beside the hostile ones.
  const fs::path truncated = scratch.Path() / "HalfCopied.so";
  fs::copy_file(FindBuiltPlugin("Brisolen").path, truncated);
  fs::resize_file(truncated, fs::file_size(truncated) / 2);
  const std::string path = (kFixtures / "scan").string() + ":" + scratch.Path().string() + ":" + kBuilt;

  const HostRun list = RunHost({"--timeout", "1", "--plugin-path", path, "list"});
  EXPECT_EQ(list.status, 1) << Describe(list);
  for (const BuiltPlugin& plugin : kBuiltPlugins) EXPECT_TRUE(Contains(list.out, plugin.path)) << plugin.name;
  for (const char* reason :
       {"CrashInCreate.so crashed the plug-in probe with signal 11", "HangInCreate.so did not answer within 1 s",
        "ExitInCreate.so ended the plug-in probe (exit status 0)", "NullFromCreate.so: CreateEffect returned no effect",
        "ThrowFromCreate.so failed with an exception of unknown type", "HalfCopied.so"}) {
    EXPECT_TRUE(Contains(list.err, reason)) << reason << "\n" << list.err;
  }
  // A template is found by name on the same path, and only it is loaded in process.
  const HostRun keyframes = RunHost({"--timeout", "1", "--plugin-path", path, "keyframes", "Quenmar"});
  EXPECT_EQ(keyframes.status, 0) << Describe(keyframes);
  EXPECT_TRUE(Contains(keyframes.out, "Quenmar: 5 inputs"));
}

TEST(HostileScan, ASecondScanOfUnchangedLibrariesLoadsNone) {
  const ScratchFolder scratch("cache");
  const fs::path creations = scratch.Path() / "creations";
  const fs::path library = scratch.Path() / "plugins" / "Counting.so";
  fs::create_directories(library.parent_path());
  fs::copy_file(kFixtures / "counting" / "Counting.so", library);
  HostCall call{{"--plugin-path", library.parent_path().string(), "list"},
                {},
                {"MONTAGE_TEST_CREATIONS=" + creations.string()},
                {},
                {},
                scratch.Path() / "cache"};
  auto created = [&] {
    const std::string text = ReadFile(creations);
    return std::count(text.begin(), text.end(), '\n');
  };
  ASSERT_EQ(RunHost(call).status, 0);
  EXPECT_EQ(created(), 1);
  ASSERT_EQ(RunHost(call).status, 0);
  EXPECT_EQ(created(), 1) << "the second list described the library again";
  // A rebuilt library (a new modification time) is described again.
  fs::last_write_time(library, fs::last_write_time(library) + std::chrono::seconds(5));
  ASSERT_EQ(RunHost(call).status, 0);
  EXPECT_EQ(created(), 2);
}

TEST(HostileCalls, ValidateReportsEveryCheckAndTheOneThatFailedWithItsReason) {
  struct Case {
    fs::path library;
    std::vector<std::string> lines;  // in standard output, in this order
  };
  const Case cases[] = {
      {kFixtures / "calls" / "HangInSettings.so",
       {"PASS  input-list operations", "FAIL  settings cache: did not finish within 1 s (the plug-in hangs)",
        "1 check(s) failed; the checks after it did not run"}},
      {kFixtures / "calls" / "ExitInSettings.so",
       {"PASS  input-list operations",
        "FAIL  settings cache: the plug-in ended the checking process (exit status 0) during this check"}},
      {kFixtures / "calls" / "CrashInSettings.so",
       {"PASS  input-list operations", "FAIL  settings cache: the plug-in crashed with signal 11"}},
      {kFixtures / "calls" / "EndlessRemove.so",
       {"FAIL  input-list operations: RemoveInput(0) on an empty list returns 1, not 0",
        "PASS  Release ends an effect with settings built", "1 check(s) failed"}},
      {kFixtures / "scan" / "NullFromCreate.so",
       {"PASS  GetNumEffects returns 1", "FAIL  GetName and GetDisplayName agree:", "CreateEffect returned no effect",
        "FAIL  Release ends an effect", "7 check(s) failed"}},
      {kFixtures / "scan" / "ThrowFromCreate.so",
       {"FAIL  GetName and GetDisplayName agree:", "exception of unknown type", "7 check(s) failed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library.filename().string());
    const HostRun run = RunHost({"--timeout", "1", "validate", c.library.string()});
    EXPECT_EQ(run.status, 1) << Describe(run);
    std::size_t at = 0;
    for (const std::string& line : c.lines) {
      const std::size_t found = run.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << "\n" << run.out;
      at = found + line.size();
    }
  }
}

TEST(HostileCalls, AnAlwaysTrueRemoveInputEndsNoLoop) {
  const HostRun run = RunHost({"keyframes", (kFixtures / "calls" / "EndlessRemove.so").string(), "--inputs", "3"});
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_TRUE(Contains(run.out, "Hostile: 3 inputs"));
}

TEST(HostileNames, ContactSheetsStayInTheirFolderUnderSafeUniqueNames) {
  const ScratchFolder scratch("names");
  const fs::path out = scratch.Path() / "deep" / "sheets";
  const HostRun run =
      RunHost({"--plugin-path", (kFixtures / "names").string() + ":" + (kFixtures / "duplicate").string(),
               "contact-sheets", "--out", out.string(), "--frames", "2", "--size", "64x36"});
  ASSERT_EQ(run.status, 0) << Describe(run);
  std::set<std::string> written;
  for (const auto& entry : fs::recursive_directory_iterator(scratch.Path())) {
    if (entry.is_regular_file()) written.insert(fs::relative(entry.path(), out).string());
  }
  EXPECT_EQ(written, (std::set<std::string>{"_.._escaped.png", "_tmp_montage-absolute-name.png", "template.png",
                                            "Bad__31mName_.png", "Caf__Cr_me.png", "Brisolen.png"}));
  EXPECT_FALSE(fs::exists("/tmp/montage-absolute-name.png"));
  EXPECT_FALSE(Contains(run.out, "\x1b")) << "an escape code reached the terminal";
}

TEST(HostileNames, NamesThatAreNoTextAreEscapedOnTheTerminalAndReplacedInJson) {
  const HostRun list = RunHost({"--plugin-path", (kFixtures / "names").string(), "list"});
  ASSERT_EQ(list.status, 0) << Describe(list);
  EXPECT_FALSE(Contains(list.out, "\x1b") || Contains(list.out, "\a") || Contains(list.out, "\xe9"));
  EXPECT_TRUE(Contains(list.out, "Bad\\x1B[31mName\\x07"));
  EXPECT_TRUE(Contains(list.out, "Caf\\xE9 Cr\\xE8me"));

  const HostRun json = RunHost({"keyframes", (kFixtures / "names" / "Latin1Name.so").string(), "--format", "json"});
  ASSERT_EQ(json.status, 0) << Describe(json);
  EXPECT_EQ(nlohmann::json::parse(json.out)["template"], "Caf\xef\xbf\xbd Cr\xef\xbf\xbdme");
}

TEST(HostileNames, TwoTemplatesOfOneNameAreReported) {
  const HostRun run = RunHost({"--plugin-path", (kFixtures / "duplicate").string() + ":" + kBuilt, "list"});
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_TRUE(Contains(
      run.err, "template Brisolen of " + std::string(FindBuiltPlugin("Brisolen").path) + " is hidden by the one of"))
      << run.err;
}

TEST(OutputFailures, OutputThatCannotBeWrittenIsAnError) {
  const std::vector<std::vector<std::string>> commands = {
      {"keyframes", "Brisolen", "--format", "json"},
      {"keyframes", "Brisolen", "--format", "csv"},
      {"keyframes", "Brisolen"},
      {"list"},
      {"sample", "Brisolen", "--time", "0.5"},
      {"validate", FindBuiltPlugin("Wistaro").path},
  };
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args[0]);
    HostCall call;
    call.args = args;
    call.standardOutput = "/dev/full";
    const HostRun run = RunHost(call);
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_TRUE(Contains(run.err, "cannot write standard output: No space left on device")) << run.err;
  }
}

TEST(OutputFailures, SizesThatCannotBeMadeAreRefusedBeforeAnythingIsDrawn) {
  const ScratchFolder scratch("sizes");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> messages;
  };
  const std::string out = (scratch.Path() / "out").string();
  const Case cases[] = {
      {{"contact-sheets", "--out", out, "--size", "5000x3000"}, {"--size 5000x3000 with --frames 16", "16384"}},
      {{"render", "Brisolen", "--size", "1x16384", "--out", out}, {"--size 1x16384 makes the contact sheet"}},
      {{"render", "Brisolen", "--size", "16384x16384", "--fps", "500", "--seconds", "2", "--out", out},
       {"1001 frames of 16384x16384", "billion pixels"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[c.args.size() - 3]);
    const HostRun run = RunHost(c.args);
    EXPECT_EQ(run.status, 1) << Describe(run);
    for (const std::string& message : c.messages) EXPECT_TRUE(Contains(run.err, message)) << run.err;
    // Said once, before any file was written.
    EXPECT_EQ(run.err.find("error:"), run.err.rfind("error:")) << run.err;
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST(OutputFailures, ARenderOfFewerFramesRemovesTheEarlierRendersFrames) {
  const ScratchFolder scratch("stale");
  const std::string out = (scratch.Path() / "out").string();
  ASSERT_EQ(RunHost({"render", "Wistaro", "--fps", "4", "--seconds", "1", "--size", "64x36", "--out", out}).status, 0);
  ASSERT_TRUE(fs::exists(fs::path(out) / "frame-0004.png"));
  std::ofstream(fs::path(out) / "notes.txt") << "mine";
  const HostRun again = RunHost({"render", "Wistaro", "--fps", "2", "--seconds", "1", "--size", "64x36", "--out", out});
  ASSERT_EQ(again.status, 0) << Describe(again);
  EXPECT_TRUE(Contains(again.out, "removed 2 frame(s) of an earlier, longer render"));
  EXPECT_TRUE(fs::exists(fs::path(out) / "frame-0002.png"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "frame-0003.png"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "frame-0004.png"));
  EXPECT_TRUE(fs::exists(fs::path(out) / "notes.txt"));
}

TEST(OutputFailures, AFrameFileIsWrittenBesideALinkPlantedAtItsNameNotThroughIt) {
  const ScratchFolder scratch("planted");
  const fs::path out = scratch.Path() / "out";
  fs::create_directory(out);
  const fs::path precious = scratch.Path() / "precious.txt";
  std::ofstream(precious) << "keep me";
  fs::create_symlink(precious, out / "frame-0000.png");
  const HostRun run =
      RunHost({"render", "Wistaro", "--fps", "1", "--seconds", "1", "--size", "64x36", "--out", out.string()});
  ASSERT_EQ(run.status, 0) << Describe(run);
  EXPECT_EQ(ReadFile(precious), "keep me");
  EXPECT_FALSE(fs::is_symlink(out / "frame-0000.png"));
  EXPECT_EQ(montage::Image::Read(out / "frame-0000.png").Width(), 64);
}

TEST(OutputFailures, AFullDiskLeavesOnlyCompleteFrames) {
  const ScratchFolder scratch("full");
  const fs::path out = scratch.Path() / "out";
  // 32 KiB a file: a few frames fit, the contact sheet does not.
  HostCall call;
  call.args = {"render", "Brisolen", "--fps", "10", "--seconds", "2", "--size", "320x180", "--out", out.string()};
  call.fileSizeLimit = 64;
  const HostRun run = RunHost(call);
  EXPECT_EQ(run.status, 1) << Describe(run);
  EXPECT_TRUE(Contains(run.err, "cannot write " + out.string())) << run.err;
  EXPECT_TRUE(Contains(run.err, "File too large")) << run.err;
  for (const auto& entry : fs::directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(name.ends_with(".part")) << name << " was left behind";
    EXPECT_NO_THROW((void)montage::Image::Read(entry.path())) << name << " is not a complete picture";
  }
}

TEST(SmallerFaults, EachGivesAClearMessage) {
  const ScratchFolder scratch("small");
  // A folder named like a template in the working folder is not a plug-in to validate.
  fs::create_directory(scratch.Path() / "Brisolen");
  HostCall inFolder;
  inFolder.args = {"validate", "Brisolen"};
  inFolder.workingFolder = scratch.Path();
  const HostRun validate = RunHost(inFolder);
  EXPECT_EQ(validate.status, 0) << Describe(validate);
  EXPECT_TRUE(Contains(validate.out, "== " + std::string(FindBuiltPlugin("Brisolen").path)));

  const HostRun empty = RunHost({"list"}, ":");
  EXPECT_EQ(empty.status, 1) << Describe(empty);
  EXPECT_TRUE(Contains(empty.err, "MONTAGE_PLUGIN_PATH ':' names no folder")) << empty.err;

  // Non-finite values read the same in CSV as in JSON.
  const std::string sloppy = (kFixtures / "sloppy" / "Sloppy.so").string();
  const HostRun csv = RunHost({"keyframes", sloppy, "--format", "csv"});
  EXPECT_TRUE(Contains(csv.out, "1,0,0,NaN,")) << csv.out;
  const HostRun json = RunHost({"keyframes", sloppy, "--format", "json"});
  EXPECT_TRUE(Contains(json.out, "\"posX\": \"NaN\"")) << json.out;
}

}  // namespace
