// A studio served in this process on a free port, a client that talks to it as its page
// does, and the pictures the tests upload.
#ifndef MONTAGE_TESTS_STUDIO_TEST_SUPPORT_H
#define MONTAGE_TESTS_STUDIO_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "built_plugins.h"
#include "host_test_support.h"
#include "montage/pictures.h"
#include "studio.h"

inline std::filesystem::path BuiltLibrary(std::string_view name) {
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    if (plugin.name == name) return plugin.path;
  }
  throw std::runtime_error("no built plug-in " + std::string(name));
}

inline std::filesystem::path PluginFolder() { return BuiltLibrary("Brisolen").parent_path(); }

// A studio running on its own thread until the object is destroyed.
class RunningStudio {
 public:
  explicit RunningStudio(studio::StudioOptions options) {
    options.exactPort = true;
    options.port = 0;
    studio_ = std::make_unique<studio::Studio>(std::move(options));
    thread_ = std::thread([this] { studio_->Run(); });
  }
  RunningStudio(const RunningStudio&) = delete;
  RunningStudio& operator=(const RunningStudio&) = delete;
  ~RunningStudio() {
    studio_->Stop();
    thread_.join();
  }

  studio::Studio& operator*() { return *studio_; }
  studio::Studio* operator->() { return studio_.get(); }

 private:
  std::unique_ptr<studio::Studio> studio_;
  std::thread thread_;
};

// Options for a test studio: the given plug-in folders, the scan cache the tests share,
// small upload limits (1 MiB a file, 1.5 MiB in all) and quick plug-in polls.
inline studio::StudioOptions TestOptions(std::vector<std::filesystem::path> folders) {
  studio::StudioOptions options;
  options.pluginDirectories = std::move(folders);
  options.scan.timeoutSeconds = 5;
  options.scan.cacheFile = std::filesystem::path(STUDIO_TEST_CACHE_DIR) / "plugin-scan";
  options.uploads.perFile = 1 << 20;
  options.uploads.total = 3 << 19;  // 1.5 MiB
  options.pluginPoll = std::chrono::milliseconds(50);
  options.closedLifetime = std::chrono::milliseconds(200);
  return options;
}

// Requests as the studio's page makes them: the right Host header, and the token on
// every request that changes something.
class PageClient {
 public:
  explicit PageClient(studio::Studio& studio) : client_("127.0.0.1", studio.Port()), token_(studio.Token()) {
    client_.set_url_encode(false);
    client_.set_read_timeout(60);
  }

  httplib::Client& Raw() { return client_; }
  const std::string& Token() const { return token_; }
  httplib::Headers Tokened() const { return {{"X-Studio-Token", token_}}; }

  httplib::Result Get(const std::string& path) { return client_.Get(path); }
  httplib::Result Post(const std::string& path, const std::string& body = {},
                       const std::string& type = "application/json") {
    return client_.Post(path, Tokened(), body, type);
  }
  httplib::Result Put(const std::string& path, const nlohmann::json& body) {
    return client_.Put(path, Tokened(), body.dump(), "application/json");
  }
  httplib::Result Delete(const std::string& path) { return client_.Delete(path, Tokened()); }

  nlohmann::json Json(httplib::Result result, int status = 200) {
    if (!result) {
      ADD_FAILURE() << "no response: " << httplib::to_string(result.error());
      return nullptr;
    }
    EXPECT_EQ(result->status, status) << result->body;
    return result->status == status ? nlohmann::json::parse(result->body) : nlohmann::json(nullptr);
  }

  // A new session showing the template `name`, with `change` applied to its settings.
  std::string Session(const std::string& name, nlohmann::json change = nlohmann::json::object()) {
    const nlohmann::json created = Json(Post("/api/sessions"), 201);
    const std::string id = created.value("id", "");
    const nlohmann::json catalog = Json(Get("/api/templates"));
    for (const auto& entry : catalog["templates"]) {
      if (entry["name"] == name) change["template"] = entry["id"];
    }
    EXPECT_TRUE(change.contains("template")) << "no template " << name;
    Json(Put("/api/sessions/" + id + "/settings", change));
    return id;
  }

  httplib::Result Upload(const std::string& session, const std::string& name, const std::string& bytes) {
    return client_.Post("/api/sessions/" + session + "/media?name=" + name, Tokened(), bytes,
                        "application/octet-stream");
  }

 private:
  httplib::Client client_;
  std::string token_;
};

// Waits up to `seconds` for `done`; true when it came.
inline bool WaitFor(const std::function<bool()>& done, double seconds = 30) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// A picture of four coloured quarters with a gradient across it, so that where and how
// it is drawn shows in every pixel.
inline montage::Image TestPicture(int width, int height, int seed) {
  montage::Image image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int quarter = (x * 2 / width) + 2 * (y * 2 / height);
      const montage::Colour base = SolidColour(quarter + seed);
      const auto shade = static_cast<std::uint32_t>(180 + 75 * x / width);
      const std::uint32_t r = base.r * shade / 255;
      const std::uint32_t g = base.g * shade / 255;
      const std::uint32_t b = base.b * shade / 255;
      image.Data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
          0xFF000000u | (r << 16) | (g << 8) | b;
    }
  }
  return image;
}

// Opaque noise, which no PNG compresses: a file of a size the tests can choose.
inline std::string NoisePng(int side, unsigned seed) {
  montage::Image image(side, side);
  std::mt19937 random(seed);
  for (int k = 0; k < side * side; ++k) image.Data()[k] = 0xFF000000u | (random() & 0xFFFFFFu);
  return montage::EncodePng(image);
}

inline std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// How many entries `folder` holds.
inline int Entries(const std::filesystem::path& folder) {
  int count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
  return count;
}

#endif  // MONTAGE_TESTS_STUDIO_TEST_SUPPORT_H
