// The studio's server in this process, driven as its page drives it: what it refuses
// (foreign hosts, missing tokens, climbing paths, uploads over the limits or of the
// wrong kind), the frames it draws, renders and their cancellation, plug-ins rebuilt
// while it runs, and closed pages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http_guard.h"
#include "montage/clips.h"
#include "montage/render_video.h"
#include "studio_test_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCachesEnvironment);

// ---- Requests refused before anything is served ------------------------------------------

TEST(StudioGuard, AnswersOnlyRequestsThatNameItsOwnAddress) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  const std::string port = std::to_string(studio->Port());
  const std::string otherPort = std::to_string(studio->Port() == 65535 ? 1 : studio->Port() + 1);
  struct Case {
    std::string host;
    int status;
  };
  const Case cases[] = {
      {"127.0.0.1:" + port, 200},
      {"localhost:" + port, 200},
      {"LocalHost:" + port, 200},
      {"evil.example:" + port, 403},
      {"127.0.0.1:" + otherPort, 403},
      {"127.0.0.1", 403},
      {"localhost.evil.example:" + port, 403},
      {"127.0.0.2:" + port, 403},
      {"[::1]:" + port, 403},
      {"127.0.0.1:" + port + "0", 403},
      {"", 403},
  };
  PageClient page(*studio);
  for (const Case& c : cases) {
    for (const std::string path : {"/", "/api/templates"}) {
      const httplib::Result result = page.Raw().Get(path, {{"Host", c.host}});
      ASSERT_TRUE(result) << c.host;
      EXPECT_EQ(result->status, c.status) << "Host: " << c.host << " " << path << "\n" << result->body;
      if (c.status == 403) {
        EXPECT_NE(result->body.find(studio->Url()), std::string::npos) << result->body;
      }
      EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin"));
    }
  }
}

TEST(StudioGuard, TakesStateChangesOnlyWithItsToken) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string session = page.Session("Brisolen");
  const std::string token = studio->Token();
  struct Attempt {
    const char* label;
    httplib::Headers headers;
  };
  const Attempt attempts[] = {
      {"no token", {}},
      {"wrong token", {{"X-Studio-Token", std::string(token.size(), '0')}}},
      {"token cut short", {{"X-Studio-Token", token.substr(0, token.size() - 1)}}},
      {"token too long", {{"X-Studio-Token", token + "0"}}},
      {"token of another origin", {{"X-Studio-Token", token}, {"Origin", "http://evil.example"}}},
  };
  httplib::Client& client = page.Raw();
  const std::string prefix = "/api/sessions/" + session;
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.label);
    std::vector<httplib::Result> results;
    results.push_back(client.Post("/api/sessions", attempt.headers, "", "application/json"));
    results.push_back(client.Put(prefix + "/settings", attempt.headers, R"({"inputs": 3})", "application/json"));
    results.push_back(client.Post(prefix + "/media?name=a.png", attempt.headers, NoisePng(8, 1), "image/png"));
    results.push_back(client.Put(prefix + "/media", attempt.headers, R"({"order": []})", "application/json"));
    results.push_back(client.Delete(prefix + "/media/" + std::string(32, 'a'), attempt.headers));
    results.push_back(client.Post(prefix + "/renders", attempt.headers, R"({"format": "gif"})", "application/json"));
    results.push_back(client.Post(prefix + "/leave", attempt.headers, "", "application/json"));
    for (const httplib::Result& result : results) {
      ASSERT_TRUE(result);
      EXPECT_EQ(result->status, 403) << result->body;
    }
  }
  // Nothing of that reached the session.
  const json state = page.Json(page.Get(prefix));
  EXPECT_EQ(state["settings"]["inputs"], 16);
  EXPECT_TRUE(state["media"].empty());
  EXPECT_TRUE(state["renders"].empty());
  // Another site's page gets nothing from the API, even by plain GET.
  const httplib::Result crossSite = client.Get("/api/templates", {{"Sec-Fetch-Site", "cross-site"}});
  ASSERT_TRUE(crossSite);
  EXPECT_EQ(crossSite->status, 403);
  // With the token, the same requests are served.
  EXPECT_EQ(page.Put(prefix + "/settings", {{"inputs", 3}})->status, 200);
}

TEST(StudioGuard, RefusesPathsThatClimbOutOrNameNoId) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string session = page.Session("Brisolen");
  struct Case {
    std::string target;
    int status;
  };
  const Case cases[] = {
      {"/../../etc/passwd", 400},
      {"/api/../etc/passwd", 400},
      {"/%2e%2e/%2e%2e/etc/passwd", 400},
      {"/api/sessions/" + session + "/media/..%2f..%2f..%2fetc%2fpasswd/thumb.jpg", 400},
      {"/api/templates/..%5c..%5cpreview.jpg", 400},
      {"/api//templates", 400},
      {"/etc/passwd", 404},
      {"/api/sessions/" + session + "/media/notes.txt/thumb.jpg", 404},
      {"/api/sessions/" + session + "/media/" + std::string(32, 'f') + "/thumb.jpg", 404},
      {"/api/sessions/NOT-AN-ID", 404},
      {"/api/templates/%2Fetc%2Fpasswd/preview.jpg", 400},
      {"/api/templates/e707f536578402c3%00/preview.jpg", 400},
      {"/api/sessions/" + session + "/frame?t=0.5&w=64&h=36&format=../../x", 400},
  };
  for (const Case& c : cases) {
    const httplib::Result result = page.Get(c.target);
    ASSERT_TRUE(result) << c.target;
    EXPECT_EQ(result->status, c.status) << c.target << "\n" << result->body;
    EXPECT_EQ(result->body.find("root:"), std::string::npos);
  }
}

TEST(StudioGuard, HostCheckKnowsLoopbackWildcardAndIpv6Forms) {
  struct Case {
    const char* address;
    int port;
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"::1", 8080, "[::1]:8080", true},
      {"::1", 8080, "localhost:8080", true},
      {"::1", 8080, "[0:0:0:0:0:0:0:1]:8080", true},
      {"::1", 8080, "[::2]:8080", false},
      {"::1", 8080, "::1:8080", false},
      {"0.0.0.0", 80, "192.168.1.5", true},
      {"0.0.0.0", 80, "192.168.1.5:80", true},
      {"0.0.0.0", 80, "192.168.1.5:81", false},
      {"0.0.0.0", 80, "studio.example", false},
      {"192.168.1.5", 9000, "192.168.1.5:9000", true},
      {"192.168.1.5", 9000, "localhost:9000", false},
      {"127.0.0.1", 9000, "127.0.0.1:09000", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(studio::HostCheck(c.address, c.port).Allows(c.host), c.allowed)
        << c.address << ":" << c.port << " Host: " << c.host;
  }
  EXPECT_THROW(studio::HostCheck("localhost", 8080), montage::HostError);
  EXPECT_EQ(studio::HostCheck("0.0.0.0", 8080).Url(), "http://127.0.0.1:8080/");
}

TEST(StudioGuard, MovesToTheNextPortWhenTheDefaultIsTaken) {
  // A port that is free, then taken by a socket of this test.
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(taken, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);

  studio::StudioOptions options = TestOptions({PluginFolder()});
  options.port = port;
  options.exactPort = false;
  {
    const studio::Studio studio(options);
    EXPECT_GT(studio.Port(), port);
    EXPECT_LE(studio.Port(), port + 99);
  }
  options.exactPort = true;
  EXPECT_THROW(studio::Studio{options}, montage::HostError);
  close(taken);
}

// ---- Uploads -------------------------------------------------------------------------------

TEST(StudioUploads, RefusesFilesOverTheLimitsAndGivesBackWhatIsRemoved) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string session = page.Session("Brisolen");
  const fs::path uploads = studio->PrivateFolderPath() / "uploads";

  // Over the limit for one file (1 MiB): refused before a byte is stored.
  const std::string huge(1100 * 1024, 'x');
  httplib::Result result = page.Upload(session, "huge.png", huge);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 413);
  EXPECT_NE(result->body.find("huge.png"), std::string::npos) << result->body;
  EXPECT_NE(result->body.find("at most 1 MB"), std::string::npos) << result->body;

  // Two pictures of 0.8 MB do not fit the 1.5 MiB for all together.
  const std::string first = NoisePng(480, 1);
  const std::string second = NoisePng(480, 2);
  ASSERT_GT(first.size(), 800'000u);
  ASSERT_LT(first.size(), 1'000'000u);
  const json accepted = page.Json(page.Upload(session, "first.png", first), 201);
  result = page.Upload(session, "second.png", second);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 413);
  EXPECT_NE(result->body.find("does not fit"), std::string::npos) << result->body;
  EXPECT_EQ(Entries(uploads), 1);

  // Removing the first makes room for the second.
  page.Json(page.Delete("/api/sessions/" + session + "/media/" + accepted.value("id", "")));
  EXPECT_EQ(Entries(uploads), 0);
  page.Json(page.Upload(session, "second.png", second), 201);
  const json state = page.Json(page.Get("/api/sessions/" + session));
  EXPECT_EQ(state["limits"]["used"], second.size());
  ASSERT_EQ(state["media"].size(), 1u);
  EXPECT_EQ(state["media"][0]["name"], "second.png");
}

TEST(StudioUploads, RefusesWhatIsNoPictureOrClipWithTheReason) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string session = page.Session("Brisolen");
  const std::string picture = montage::EncodePng(TestPicture(64, 48, 0));
  std::string corrupt = picture;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5A);
  struct Case {
    const char* name;
    std::string bytes;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {"notes.txt", "these are notes, not a picture\n", 415, "cannot decode clip 'notes.txt'"},
      {"photo.png", "these are notes, not a picture\n", 415, "cannot decode image 'photo.png': not a PNG or JPEG"},
      {"cut.png", picture.substr(0, picture.size() / 2), 415, "cannot decode image 'cut.png'"},
      {"corrupt.png", corrupt, 415, "cannot decode image 'corrupt.png'"},
      {"film.mp4",
       std::string("\0\0\0\x18"
                   "ftypmp42",
                   12) +
           std::string(500, '\0'),
       415, "cannot decode clip 'film.mp4'"},
      {"empty.png", "", 400, "empty.png is empty"},
  };
  for (const Case& c : cases) {
    const httplib::Result result = page.Upload(session, c.name, c.bytes);
    ASSERT_TRUE(result) << c.name;
    EXPECT_EQ(result->status, c.status) << c.name << ": " << result->body;
    EXPECT_NE(result->body.find(c.reason), std::string::npos) << c.name << ": " << result->body;
    // The private folder is nobody's business.
    EXPECT_EQ(result->body.find(studio->PrivateFolderPath().string()), std::string::npos) << result->body;
  }
  EXPECT_EQ(Entries(studio->PrivateFolderPath() / "uploads"), 0);
  const json state = page.Json(page.Get("/api/sessions/" + session));
  EXPECT_TRUE(state["media"].empty());
  EXPECT_EQ(state["limits"]["used"], 0);
  // A good picture is taken, with a thumbnail drawn for it.
  const json item = page.Json(page.Upload(session, "good.png", picture), 201);
  EXPECT_EQ(item["kind"], "picture");
  EXPECT_EQ(item["width"], 64);
  const httplib::Result thumb = page.Get("/api/sessions/" + session + "/media/" + item.value("id", "") + "/thumb.jpg");
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->status, 200);
  EXPECT_EQ(thumb->get_header_value("Content-Type"), "image/jpeg");
}

// ---- Frames --------------------------------------------------------------------------------

TEST(StudioFrames, AreTheRenderersFramesForThatTime) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const ScratchFolder scratch("studio-frames");
  const int width = 320;
  const int height = 180;
  const std::string session = page.Session("Brisolen", {{"inputs", 6}, {"width", width}, {"height", height}});
  std::vector<fs::path> files;
  for (int k = 0; k < 3; ++k) {
    const std::string bytes = montage::EncodePng(TestPicture(200 + 40 * k, 150, k));
    files.push_back(scratch.Path() / ("picture-" + std::to_string(k) + ".png"));
    WriteBytes(files.back(), bytes);
    page.Json(page.Upload(session, files.back().filename().string(), bytes), 201);
  }
  const montage::Plugin plugin = montage::Plugin::Load(BuiltLibrary("Brisolen"));
  const montage::Animation animation = montage::BuildAnimation(plugin, 6);
  montage::Renderer renderer(animation, montage::OpenInputMedia(animation, files, {}, width, height),
                             montage::RenderSettings{2.0, montage::Fit::kCover});
  montage::Renderer cards(animation);

  auto frame = [&](double time, const std::string& format) {
    const httplib::Result result =
        page.Get("/api/sessions/" + session + "/frame?t=" + montage::FormatDouble(time) +
                 "&w=" + std::to_string(width) + "&h=" + std::to_string(height) + "&format=" + format);
    EXPECT_TRUE(result && result->status == 200) << (result ? result->body : "no response");
    const fs::path file = scratch.Path() / ("frame." + format);
    WriteBytes(file, result ? result->body : "");
    return montage::ReadPicture(file);
  };
  for (const double time : {0.0, 0.2, 0.37, 0.5, 0.8125, 1.0}) {
    SCOPED_TRACE(time);
    const montage::Image expected = renderer.Render(time, width, height);
    const montage::Image seen = frame(time, "png");
    ASSERT_EQ(seen.Width(), width);
    ASSERT_EQ(seen.Height(), height);
    EXPECT_TRUE(std::equal(seen.Data(), seen.Data() + width * height, expected.Data()))
        << "the PNG frame differs from the renderer's";
    // The page's JPEG frames are the same picture, give or take the compression.
    const montage::Image jpeg = frame(time, "jpeg");
    double difference = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const montage::Colour a = jpeg.At(x, y);
        const montage::Colour b = expected.At(x, y);
        difference += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
      }
    }
    EXPECT_LT(difference / (3.0 * width * height), 4.0);
  }
  // Without media, the cards.
  page.Json(page.Put("/api/sessions/" + session + "/media", {{"order", json::array()}}));
  const montage::Image expected = cards.Render(0.45, width, height);
  const montage::Image seen = frame(0.45, "png");
  EXPECT_TRUE(std::equal(seen.Data(), seen.Data() + width * height, expected.Data()));
}

TEST(StudioFrames, RefuseSizesAndTimesOutOfRange) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string frame = "/api/sessions/" + page.Session("Brisolen") + "/frame?";
  for (const std::string query : {"t=nan&w=64&h=36", "t=inf&w=64&h=36", "t=0.5x&w=64&h=36", "t=0.5&w=0&h=36",
                                  "t=0.5&w=64&h=5000", "t=0.5&w=64", "w=64&h=36", "t=0.5&w=64&h=36&quality=0"}) {
    const httplib::Result result = page.Get(frame + query);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400) << query << ": " << result->body;
  }
}

// ---- Renders -------------------------------------------------------------------------------

json WaitForRender(PageClient& page, const std::string& session, const std::string& id,
                   const std::vector<std::string>& states) {
  json status;
  WaitFor(
      [&] {
        status = page.Json(page.Get("/api/sessions/" + session + "/renders/" + id));
        return std::ranges::find(states, status.value("state", "")) != states.end();
      },
      120);
  return status;
}

TEST(StudioRenders, WriteTheAskedVideoAndStopWhenCancelled) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string session =
      page.Session("Brisolen", {{"inputs", 4}, {"width", 160}, {"height", 90}, {"fps", 10}, {"seconds", 1.5}});
  const std::string prefix = "/api/sessions/" + session + "/renders";

  // A long render, cancelled while it runs: no file is left.
  page.Json(page.Put("/api/sessions/" + session + "/settings", {{"seconds", 300}}));
  const json longRender = page.Json(page.Post(prefix, R"({"format": "mp4"})"), 201);
  const std::string longId = longRender.value("id", "");
  json status = WaitForRender(page, session, longId, {"running", "done", "failed"});
  ASSERT_EQ(status["state"], "running") << status.dump();
  page.Json(page.Post(prefix + "/" + longId + "/cancel"));
  status = WaitForRender(page, session, longId, {"cancelled", "done", "failed"});
  EXPECT_EQ(status["state"], "cancelled") << status.dump();
  EXPECT_EQ(page.Get(prefix + "/" + longId + "/file")->status, 409);
  EXPECT_EQ(Entries(studio->PrivateFolderPath() / "renders"), 0);

  // A short one, downloaded.
  page.Json(page.Put("/api/sessions/" + session + "/settings", {{"seconds", 1.5}}));
  const json render = page.Json(page.Post(prefix, R"({"format": "webm"})"), 201);
  status = WaitForRender(page, session, render.value("id", ""), {"done", "failed", "cancelled"});
  ASSERT_EQ(status["state"], "done") << status.dump();
  EXPECT_EQ(status["frameCount"], 15);
  EXPECT_EQ(status["fileName"], "Brisolen-160x90.webm");
  const httplib::Result file = page.Get(prefix + "/" + render.value("id", "") + "/file");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(file->get_header_value("Content-Type"), "video/webm");
  EXPECT_EQ(file->get_header_value("Content-Disposition"), "attachment; filename=\"Brisolen-160x90.webm\"");
  EXPECT_EQ(file->body.size(), status["bytes"].get<std::size_t>());
  EXPECT_EQ(file->body.substr(0, 4), std::string("\x1a\x45\xdf\xa3", 4));  // a Matroska/WebM file

  // What a render cannot be is refused before it starts.
  EXPECT_EQ(page.Post(prefix, R"({"format": "avi"})")->status, 400);
  page.Json(page.Put("/api/sessions/" + session + "/settings", {{"fps", 60}}));
  EXPECT_EQ(page.Post(prefix, R"({"format": "gif"})")->status, 400);
}

TEST(StudioRenders, OfAClosedPageStopAndItsUploadsGo) {
  RunningStudio studio(TestOptions({PluginFolder()}));
  PageClient page(*studio);
  const std::string session =
      page.Session("Brisolen", {{"inputs", 4}, {"width", 160}, {"height", 90}, {"seconds", 300}});
  page.Json(page.Upload(session, "a.png", montage::EncodePng(TestPicture(64, 48, 1))), 201);
  const std::string prefix = "/api/sessions/" + session;
  const json running = page.Json(page.Post(prefix + "/renders", R"({"format": "mp4"})"), 201);
  page.Json(page.Post(prefix + "/renders", R"({"format": "mp4"})"), 201);
  WaitForRender(page, session, running.value("id", ""), {"running"});

  // The page closes. Any request of it would take the session up again (a reload does),
  // so from now on only the folders are watched.
  EXPECT_EQ(page.Post(prefix + "/leave")->status, 204);
  EXPECT_TRUE(WaitFor([&] { return Entries(studio->PrivateFolderPath() / "uploads") == 0; }, 10));
  EXPECT_TRUE(WaitFor([&] { return Entries(studio->PrivateFolderPath() / "renders") == 0; }, 10));
  EXPECT_EQ(page.Get(prefix)->status, 404);
  // The long render no longer holds the render thread: another page's render runs.
  const std::string other = page.Session("Brisolen", {{"inputs", 4}, {"width", 160}, {"height", 90}, {"fps", 10}});
  const json next = page.Json(page.Post("/api/sessions/" + other + "/renders", R"({"format": "mp4"})"), 201);
  EXPECT_EQ(WaitForRender(page, other, next.value("id", ""), {"done", "failed"})["state"], "done");
}

// ---- Plug-ins rebuilt while the studio runs ----------------------------------------------------

// Puts `from` at `to` the way a linker or a copy does: a new file renamed into place.
void Replace(const fs::path& from, const fs::path& to) {
  const fs::path next = to.parent_path() / ".next.so";
  fs::copy_file(from, next, fs::copy_options::overwrite_existing);
  fs::rename(next, to);
}

TEST(StudioPlugins, RebuiltOnDiskReachTheOpenPage) {
  const ScratchFolder folder("studio-live");
  const fs::path live = folder.Path() / "Live.so";
  fs::copy_file(BuiltLibrary("Brisolen"), live);
  RunningStudio studio(TestOptions({folder.Path()}));
  PageClient page(*studio);
  const std::string session = page.Session("Brisolen", {{"inputs", 16}});
  const std::string prefix = "/api/sessions/" + session;
  const std::string before = page.Get(prefix + "/keyframes.json")->body;

  // Another template's library under the same name: the page shows it.
  Replace(BuiltLibrary("Darvello"), live);
  json state;
  ASSERT_TRUE(WaitFor([&] {
    state = page.Json(page.Get(prefix));
    return state["template"].is_object() && state["template"]["name"] == "Darvello";
  })) << state.dump(1);
  const std::string after = page.Get(prefix + "/keyframes.json")->body;
  EXPECT_NE(after, before);
  EXPECT_NE(after.find("\"Darvello\""), std::string::npos);
  EXPECT_EQ(page.Get(prefix + "/frame?t=0.5&w=64&h=36")->status, 200);

  // A broken build: the page says why, and frames say so too.
  const fs::path broken = fs::path(HOST_FIXTURES_DIR) / "scan" / "NullFromCreate.so";
  Replace(broken, live);
  ASSERT_TRUE(WaitFor([&] {
    state = page.Json(page.Get(prefix));
    return state["error"].is_string();
  })) << state.dump(1);
  EXPECT_NE(state["error"].get<std::string>().find("CreateEffect returned no effect"), std::string::npos)
      << state["error"];
  const httplib::Result frame = page.Get(prefix + "/frame?t=0.5&w=64&h=36");
  EXPECT_EQ(frame->status, 409);
  EXPECT_NE(frame->body.find("CreateEffect returned no effect"), std::string::npos) << frame->body;

  // Fixed again.
  Replace(BuiltLibrary("Brisolen"), live);
  ASSERT_TRUE(WaitFor([&] {
    state = page.Json(page.Get(prefix));
    return state["error"].is_null();
  })) << state.dump(1);
  EXPECT_EQ(page.Get(prefix + "/keyframes.json")->body, before);
}

}  // namespace
