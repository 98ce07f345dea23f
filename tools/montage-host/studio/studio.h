// The template studio: a local web server that shows the templates of the plug-in
// search path in a browser, plays them with a person's own pictures and clips, and
// renders them to video files. `montage-host studio` runs it (tools/montage-host/
// studio.cpp); the library is `montage_studio`.
//
// The page (web/, built into the program) talks to a small JSON and image API
// (studio.cpp lists the routes). Frames come from the same drawing code as `montage-host
// render`: a frame at time t is the frame a render writes for t.
//
// Security (http_guard.h): the server listens on 127.0.0.1 unless told otherwise,
// answers only requests that name its own address in their Host header, takes state-
// changing requests only with the token embedded in its page, sends no CORS headers,
// names everything by ids it chose, and keeps uploads in a private folder (media_store.h)
// removed when it ends; uploads are never served back except as drawn frames.
//
// Threads: the server answers on a pool of threads; renders run on threads of their own
// (render_queue.h); one thread watches the plug-in folders, another ends the sessions
// of closed pages and stops the server when asked. A Studio object is made and
// destroyed on one thread; Run blocks that thread; Stop may be called from any thread.
#ifndef MONTAGE_STUDIO_STUDIO_H
#define MONTAGE_STUDIO_STUDIO_H

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "media_store.h"
#include "montage/host.h"

namespace studio {

struct StudioOptions {
  // An IPv4 or IPv6 literal. Anything but a loopback address lets other machines in.
  std::string listenAddress = "127.0.0.1";
  // With `exactPort`, that port or a HostError when it is taken (0: any free port);
  // without, the first free port from `port` on (at most 100 tried).
  int port = 8080;
  bool exactPort = false;
  std::vector<std::filesystem::path> pluginDirectories;
  montage::ScanOptions scan;
  UploadLimits uploads;
  int renderWorkers = 1;
  // How often the plug-in folders are looked at.
  std::chrono::milliseconds pluginPoll{500};
  // How long a session lives without a request from its page, and after its page
  // said it was closed (a reload within that time takes the session up again).
  std::chrono::milliseconds sessionLifetime{std::chrono::minutes(3)};
  std::chrono::milliseconds closedLifetime{std::chrono::seconds(15)};
};

class Studio {
 public:
  // Scans the plug-ins, creates the private folder and binds the listening socket.
  // Throws HostError naming the address when it cannot listen.
  explicit Studio(StudioOptions options);
  Studio(const Studio&) = delete;
  Studio& operator=(const Studio&) = delete;
  // Cancels renders, ends sessions and removes the private folder.
  ~Studio();

  [[nodiscard]] int Port() const;
  // The address to open: http://127.0.0.1:PORT/.
  [[nodiscard]] std::string Url() const;
  // The token state-changing requests carry (embedded in the page; for tests).
  [[nodiscard]] const std::string& Token() const;
  [[nodiscard]] const std::filesystem::path& PrivateFolderPath() const;

  // Serves until Stop() is called or `*stop` becomes true (polled ten times a second),
  // then cancels every render and returns.
  void Run(const std::atomic<bool>* stop = nullptr);
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace studio

#endif  // MONTAGE_STUDIO_STUDIO_H
