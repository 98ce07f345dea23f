// `montage-host studio` as a person runs it: it prints its address, stops cleanly on
// Ctrl-C with nothing left behind, and reports a full disk instead of storing half a
// file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host_run.h"
#include "studio_test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// montage-host studio running as a child with its own temporary folder; stopped with
// SIGKILL if a test leaves it running.
class StudioProcess {
 public:
  // `fileBlocks` above 0 limits the files it may write (ulimit -f, 512-byte blocks).
  StudioProcess(const fs::path& temporary, int fileBlocks = 0) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    HostCall call;
    call.args = {"--plugin-path", PluginFolder().string(), "studio", "--port", "0"};
    call.environment = {"TMPDIR=" + temporary.string()};
    call.fileSizeLimit = fileBlocks;
    HostCommand command = CommandFor(call, STUDIO_TEST_CACHE_DIR);
    std::vector<char*> argv = CStrings(command.argv);
    std::vector<char*> envp = CStrings(command.env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (spawned != 0) throw std::runtime_error("cannot start montage-host");
  }
  StudioProcess(const StudioProcess&) = delete;
  StudioProcess& operator=(const StudioProcess&) = delete;
  ~StudioProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }

  // Standard output up to the first line that holds the address; its port.
  int Port() {
    const std::string address = "http://127.0.0.1:";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
      const std::size_t at = output_.find(address);
      const std::size_t end = at == std::string::npos ? at : output_.find('/', at + address.size());
      if (end != std::string::npos) return std::stoi(output_.substr(at + address.size(), end - at - address.size()));
      ReadSome(200);
    }
    ADD_FAILURE() << "no address printed; output so far:\n" << output_;
    return 0;
  }

  // Sends `signal` and waits for the exit status; nothing when it does not end in time.
  std::optional<int> Stop(int signal, double seconds) {
    kill(pid_, signal);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        while (ReadSome(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ReadSome(50);
    }
    return std::nullopt;
  }

  [[nodiscard]] const std::string& Output() const { return output_; }

 private:
  bool ReadSome(int milliseconds) {
    pollfd entry{out_, POLLIN, 0};
    if (poll(&entry, 1, milliseconds) <= 0) return false;
    char buffer[4096];
    const ssize_t got = read(out_, buffer, sizeof buffer);
    if (got <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

// A client of the child's page: the token read from the page itself.
struct ChildPage {
  explicit ChildPage(int port) : client("127.0.0.1", port) {
    client.set_read_timeout(60);
    const httplib::Result page = client.Get("/");
    const std::string meta = "name=\"studio-token\" content=\"";
    const std::size_t at = page ? page->body.find(meta) : std::string::npos;
    if (at != std::string::npos) token = page->body.substr(at + meta.size(), 64);
    EXPECT_EQ(token.size(), 64u);
  }
  httplib::Headers Tokened() const { return {{"X-Studio-Token", token}}; }
  json Send(httplib::Result result, int status) {
    EXPECT_TRUE(result);
    if (!result) return nullptr;
    EXPECT_EQ(result->status, status) << result->body;
    return result->status == status ? json::parse(result->body) : json(nullptr);
  }
  std::string Session() {
    const std::string id = Send(client.Post("/api/sessions", Tokened(), "", "application/json"), 201).value("id", "");
    const json catalog = Send(client.Get("/api/templates"), 200);
    for (const auto& entry : catalog["templates"]) {
      if (entry["name"] == "Brisolen") {
        const json change = {{"template", entry["id"]}, {"width", 160}, {"height", 90}};
        Send(client.Put("/api/sessions/" + id + "/settings", Tokened(), change.dump(), "application/json"), 200);
      }
    }
    return id;
  }

  httplib::Client client;
  std::string token;
};

TEST(StudioProcess, StopsOnInterruptWithRendersCancelledAndFilesRemoved) {
  const ScratchFolder temporary("studio-tmp");
  StudioProcess process(temporary.Path());
  const int port = process.Port();
  ASSERT_GT(port, 0);
  {
    ChildPage page(port);
    const std::string session = page.Session();
    page.Send(page.client.Post("/api/sessions/" + session + "/media?name=a.png", page.Tokened(),
                               montage::EncodePng(TestPicture(64, 48, 0)), "application/octet-stream"),
              201);
    page.Send(page.client.Put("/api/sessions/" + session + "/settings", page.Tokened(), R"({"seconds": 300})",
                              "application/json"),
              200);
    const json render = page.Send(page.client.Post("/api/sessions/" + session + "/renders", page.Tokened(),
                                                   R"({"format": "mp4"})", "application/json"),
                                  201);
    EXPECT_TRUE(WaitFor([&] {
      const httplib::Result status = page.client.Get("/api/sessions/" + session + "/renders/" + render.value("id", ""));
      return status && json::parse(status->body).value("state", "") == "running";
    }));
    ASSERT_EQ(Entries(temporary.Path()), 1);  // the studio's private folder
  }
  const std::optional<int> status = process.Stop(SIGINT, 30);
  ASSERT_TRUE(status) << "montage-host studio did not stop on SIGINT\n" << process.Output();
  EXPECT_EQ(*status, 0) << process.Output();
  EXPECT_NE(process.Output().find("studio stopped"), std::string::npos) << process.Output();
  EXPECT_EQ(Entries(temporary.Path()), 0) << "files were left in " << temporary.Path();
}

TEST(StudioProcess, ReportsAFullDiskAndKeepsNoHalfFile) {
  const ScratchFolder temporary("studio-full");
  StudioProcess process(temporary.Path(), 256);  // files of at most 128 KiB
  const int port = process.Port();
  ASSERT_GT(port, 0);
  ChildPage page(port);
  const std::string session = page.Session();
  const httplib::Result upload = page.client.Post("/api/sessions/" + session + "/media?name=big.png", page.Tokened(),
                                                  NoisePng(300, 3), "application/octet-stream");
  ASSERT_TRUE(upload);
  EXPECT_EQ(upload->status, 507) << upload->body;
  EXPECT_NE(upload->body.find("cannot store big.png: File too large"), std::string::npos) << upload->body;

  // A video larger than the disk allows fails with the reason, naming the download.
  page.Send(page.client.Post("/api/sessions/" + session + "/media?name=small.png", page.Tokened(), NoisePng(150, 4),
                             "application/octet-stream"),
            201);
  page.Send(page.client.Put("/api/sessions/" + session + "/settings", page.Tokened(),
                            R"({"width": 640, "height": 360, "seconds": 3, "fps": 20})", "application/json"),
            200);
  const json render = page.Send(page.client.Post("/api/sessions/" + session + "/renders", page.Tokened(),
                                                 R"({"format": "gif"})", "application/json"),
                                201);
  json state;
  EXPECT_TRUE(WaitFor(
      [&] {
        const httplib::Result status =
            page.client.Get("/api/sessions/" + session + "/renders/" + render.value("id", ""));
        state = status ? json::parse(status->body) : json(nullptr);
        return state.value("state", "") == "failed" || state.value("state", "") == "done";
      },
      120));
  EXPECT_EQ(state.value("state", ""), "failed") << state.dump();
  EXPECT_NE(state.value("error", "").find("Brisolen-640x360.gif"), std::string::npos) << state.dump();
  EXPECT_NE(state.value("error", "").find("File too large"), std::string::npos) << state.dump();
  EXPECT_EQ(state.value("error", "").find(temporary.Path().string()), std::string::npos) << state.dump();
  EXPECT_EQ(page.client.Get("/api/sessions/" + session + "/renders/" + render.value("id", "") + "/file")->status, 409);

  const std::optional<int> status = process.Stop(SIGTERM, 30);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0) << process.Output();
  EXPECT_EQ(Entries(temporary.Path()), 0);
}

}  // namespace
