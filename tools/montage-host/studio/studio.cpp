// The studio's web server: the routes of its API, the checks every request passes
// first (http_guard.h), and the thread that keeps the plug-ins and sessions current.
//
// Routes (ids are the server's: 32 hex digits; template ids 16):
//   GET    /  /app.js  /style.css                     the page (the token is embedded in it)
//   GET    /api/templates                             the catalog: templates and broken plug-ins
//   GET    /api/templates/TID/preview.jpg             a strip of frames the gallery cycles through
//   POST   /api/sessions                              a new session for a page
//   GET    /api/sessions/SID                          its state (settings, template, media, renders)
//   PUT    /api/sessions/SID/settings                 template, inputs, seconds, fps, fit, size
//   POST   /api/sessions/SID/media?name=NAME          an upload (the body is the file)
//   PUT    /api/sessions/SID/media                    {"order": [ids]}: keeps and orders the media
//   DELETE /api/sessions/SID/media/MID
//   GET    /api/sessions/SID/media/MID/thumb.jpg      a drawn thumbnail
//   GET    /api/sessions/SID/frame?t=T&w=W&h=H[&format=png][&quality=Q]
//   GET    /api/sessions/SID/timeline.png
//   GET    /api/sessions/SID/keyframes.json | keyframes.csv
//   POST   /api/sessions/SID/renders                  {"format": "mp4", "quality": Q}
//   GET    /api/sessions/SID/renders/RID              progress
//   POST   /api/sessions/SID/renders/RID/cancel
//   GET    /api/sessions/SID/renders/RID/file         the finished video, as a download
//   DELETE /api/sessions/SID/renders/RID
//   POST   /api/sessions/SID/leave                    the page is closing: its renders stop
#include "studio.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "http_guard.h"
#include "montage/clips.h"
#include "montage/drawing.h"
#include "montage/pictures.h"
#include "montage/render_video.h"
#include "montage/timeline.h"
#include "montage/video_writer.h"
#include "plugin_shelf.h"
#include "render_queue.h"
#include "request_error.h"
#include "session.h"
#include "web_assets.h"

namespace studio {

namespace fs = std::filesystem;
using montage::HostError;
using nlohmann::json;

namespace {

constexpr int kMaxSessions = 64;
constexpr int kHttpThreads = 24;
// Frames for the page: at most this large a side, whatever the output size.
constexpr int kMaxPreviewSide = 4096;
// Output sizes a render may ask for.
constexpr int kMinOutputSide = 16;
constexpr int kMaxOutputSide = 4096;
// The input count the page's controls offer at most (the API takes up to kMaxInputs).
constexpr int kPageMaxInputs = 500;
// The gallery's moving previews: frames of a strip, each this size.
constexpr int kPreviewFrames = 24;
constexpr int kPreviewWidth = 240;
constexpr int kPreviewHeight = 135;
// Bodies of uploads refused for their size are read and dropped up to this many times
// the limit for one file, so that the client sees why; requests other than uploads may
// carry at most kMaxRequestBody bytes.
constexpr std::uint64_t kDrainFactor = 2;
constexpr std::uint64_t kMaxRequestBody = 1 << 20;
// How long a render may make its frame wait for a page's frame being drawn.
constexpr auto kMaxYield = std::chrono::milliseconds(100);

const std::string kIdPattern = "([0-9a-f]{32})";
const std::string kTemplatePattern = "([0-9a-f]{16})";
const std::string kSessionPrefix = "/api/sessions/" + kIdPattern;

// Text from plug-ins and file names, fit for JSON (which must be UTF-8).
std::string Utf8(std::string_view text) { return montage::ValidUtf8(text); }

void SendText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void SendJson(httplib::Response& res, const json& value, int status = 200) {
  res.status = status;
  res.set_content(value.dump(), "application/json");
}

// Runs a handler, turning what it throws into a response with a message.
template <class Body>
void Answer(httplib::Response& res, Body&& body) {
  try {
    body();
  } catch (const RequestError& error) {
    SendText(res, error.Status(), error.what());
  } catch (const HostError& error) {
    SendText(res, 422, error.what());
  } catch (const std::bad_alloc&) {
    SendText(res, 503, "out of memory");
  } catch (const json::exception& error) {
    SendText(res, 400, std::string("bad request: ") + error.what());
  } catch (const std::exception& error) {
    SendText(res, 500, error.what());
  }
}

json ParseBody(const httplib::Request& req) {
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) throw RequestError(400, "the request body must be a JSON object");
  return body;
}

// A query parameter as a finite number, an integer in a range, or one of some words.
double NumberParam(const httplib::Request& req, const std::string& name) {
  if (!req.has_param(name)) throw RequestError(400, "missing parameter " + name);
  const std::string text = req.get_param_value(name);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    throw RequestError(400, name + " must be a finite number, not '" + Utf8(text) + "'");
  }
  return value;
}

int IntegerParam(const httplib::Request& req, const std::string& name, int low, int high, std::optional<int> fallback) {
  if (!req.has_param(name)) {
    if (fallback) return *fallback;
    throw RequestError(400, "missing parameter " + name);
  }
  const std::string text = req.get_param_value(name);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw RequestError(400, name + " must be a whole number from " + std::to_string(low) + " to " +
                                std::to_string(high) + ", not '" + Utf8(text) + "'");
  }
  return value;
}

int IntegerField(const json& body, const char* name, int low, int high) {
  const json& value = body.at(name);
  if (!value.is_number_integer() || value.get<std::int64_t>() < low || value.get<std::int64_t>() > high) {
    throw RequestError(
        400, std::string(name) + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return value.get<int>();
}

double NumberField(const json& body, const char* name, double low, double high) {
  const json& value = body.at(name);
  if (!value.is_number() || !(value.get<double>() >= low && value.get<double>() <= high)) {
    throw RequestError(400, std::string(name) + " must be a number from " + montage::FormatDouble(low) + " to " +
                                montage::FormatDouble(high));
  }
  return value.get<double>();
}

json TemplateJson(const TemplateEntry& entry) {
  const montage::TemplateInfo& info = entry.info;
  return {{"id", entry.id},
          {"name", Utf8(info.name)},
          {"displayName", Utf8(info.displayName)},
          {"minInputs", info.minInputs},
          {"maxInputs", info.maxInputs},
          {"defaultInputs", info.defaultInputs},
          {"templateCode", info.templateCode},
          {"library", Utf8(info.library.filename().string())}};
}

json MediaJson(const MediaItem& item) {
  return {{"id", item.Id()},
          {"name", item.Name()},
          {"kind", item.Kind() == MediaKind::kPicture ? "picture" : "clip"},
          {"width", item.Width()},
          {"height", item.Height()},
          {"seconds", item.Seconds()},
          {"bytes", item.Bytes()}};
}

json RenderJson(const RenderJob& job) {
  const RenderStatus status = job.Status();
  const montage::VideoSettings& video = job.Order().video;
  return {{"id", job.Id()},
          {"state", RenderStateName(status.state)},
          {"framesDone", status.framesDone},
          {"frameCount", status.frameCount},
          {"elapsedSeconds", status.elapsedSeconds},
          {"error", status.error},
          {"format", std::string(montage::VideoFormatExtension(video.format).substr(1))},
          {"width", video.width},
          {"height", video.height},
          {"fps", video.fps},
          {"seconds", video.frameCount / video.fps},
          {"fileName", job.Order().fileName},
          {"bytes", status.fileBytes}};
}

int DefaultInputs(const montage::TemplateInfo& info) {
  const int count = info.defaultInputs > 0 ? info.defaultInputs : std::max(1, info.minInputs);
  return std::clamp(count, 1, montage::kMaxInputs);
}

// The largest input count the page's controls offer for a template.
int PageInputLimit(const montage::TemplateInfo& info) {
  int limit = std::max({64, 2 * info.minInputs, 2 * info.defaultInputs});
  if (info.maxInputs > 0) limit = std::min(limit, info.maxInputs);
  return std::clamp(limit, 1, kPageMaxInputs);
}

// A strip of frames of a template at its default input count, with placeholder cards.
struct Preview {
  std::mutex mutex;
  std::uintmax_t size = 0;
  fs::file_time_type modified;
  std::string jpeg;
  std::string error;
};

}  // namespace

// ---- The studio -------------------------------------------------------------------------------

struct Studio::Impl {
  explicit Impl(StudioOptions studioOptions);

  void Bind();
  void Routes();
  void Maintain(const std::atomic<bool>* stop, const std::atomic<bool>& done);
  void Watch(const std::atomic<bool>& done);
  void Yield() const;

  // Request handling.
  httplib::Server::HandlerResponse Guard(const httplib::Request& req, httplib::Response& res) const;
  std::shared_ptr<Session> FindSession(const std::string& id) const;
  json SessionJson(Session& session) const;
  void ApplySettings(Session& session, const json& body) const;
  std::shared_ptr<RenderJob> StartRender(Session& session, const json& body);
  void Upload(Session& session, const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& reader);
  std::string PreviewStrip(const std::string& templateId);

  StudioOptions options;
  std::string token = RandomHex(32);
  PrivateFolder folder{"studio"};
  PluginShelf shelf;
  MediaStore media;
  std::atomic<int> framesInFlight{0};
  RenderQueue renders;
  mutable std::mutex sessionsMutex;
  std::map<std::string, std::shared_ptr<Session>> sessions;
  std::mutex previewsMutex;
  std::map<std::string, std::shared_ptr<Preview>> previews;
  httplib::Server server;
  int port = 0;
  std::optional<HostCheck> hosts;
  std::string indexHtml;
};

Studio::Impl::Impl(StudioOptions studioOptions)
    : options(std::move(studioOptions)),
      shelf(options.pluginDirectories, options.scan, folder.Folder("plugins")),
      media(folder.Folder("uploads"), options.uploads),
      renders(folder.Folder("renders"), options.renderWorkers, [this] { Yield(); }) {
  const HostCheck check(options.listenAddress, 0);  // refuses a name before anything listens
  (void)check;
  Bind();
  hosts.emplace(options.listenAddress, port);
  for (const WebAsset& asset : WebAssets()) {
    if (asset.path != "/index.html") continue;
    indexHtml = asset.body;
    const std::string placeholder = "{{STUDIO_TOKEN}}";
    const std::size_t at = indexHtml.find(placeholder);
    if (at != std::string::npos) indexHtml.replace(at, placeholder.size(), token);
  }
  Routes();
}

void Studio::Impl::Bind() {
  // SO_REUSEADDR alone: httplib's default adds SO_REUSEPORT, with which a second studio
  // would share a port that is taken instead of moving on to the next.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  // Idle connections of a page close soon, so that stopping does not wait for them.
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(10);
  server.set_write_timeout(10);
  server.set_payload_max_length(static_cast<std::size_t>(kDrainFactor * options.uploads.perFile));
  const std::string& address = options.listenAddress;
  if (options.exactPort && options.port == 0) {
    port = server.bind_to_any_port(address);
  } else if (options.exactPort) {
    port = server.bind_to_port(address, options.port) ? options.port : -1;
  } else {
    port = -1;
    for (int candidate = options.port; candidate < options.port + 100 && candidate <= 65535; ++candidate) {
      if (server.bind_to_port(address, candidate)) {
        port = candidate;
        break;
      }
    }
  }
  if (port <= 0) {
    const std::string ports =
        options.exactPort ? std::to_string(options.port)
                          : std::to_string(options.port) + " to " + std::to_string(std::min(options.port + 99, 65535));
    throw HostError("cannot listen on " + address + " port " + ports +
                    ": the port is taken, or the address is not one of this machine's");
  }
}

void Studio::Impl::Yield() const {
  const auto until = std::chrono::steady_clock::now() + kMaxYield;
  while (framesInFlight.load() > 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

httplib::Server::HandlerResponse Studio::Impl::Guard(const httplib::Request& req, httplib::Response& res) const {
  using Result = httplib::Server::HandlerResponse;
  const std::string host = req.get_header_value("Host");
  if (!hosts->Allows(host)) {
    SendText(res, 403, "this studio answers only requests for " + hosts->Url() + " (Host: " + Utf8(host) + ")");
    return Result::Handled;
  }
  // Browsers say where a request comes from; another site gets nothing but the page.
  const std::string site = req.get_header_value("Sec-Fetch-Site");
  if (!site.empty() && site != "same-origin" && site != "none") {
    const bool navigation =
        req.method == "GET" && req.path == "/" && req.get_header_value("Sec-Fetch-Mode") == "navigate";
    if (!navigation) {
      SendText(res, 403, "requests from other sites are refused");
      return Result::Handled;
    }
  }
  const std::string_view target(req.target);
  const std::string_view rawPath = target.substr(0, target.find('?'));
  if (!IsCleanPath(req.path) || !IsCleanPath(rawPath)) {
    SendText(res, 400, "bad path: the studio's paths hold no '..', backslash or empty part");
    return Result::Handled;
  }
  if (IsStateChanging(req.method)) {
    if (!SameToken(token, req.get_header_value("X-Studio-Token"))) {
      SendText(res, 403, "missing or wrong X-Studio-Token: reload the studio's page");
      return Result::Handled;
    }
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && !hosts->AllowsOrigin(origin)) {
      SendText(res, 403, "requests from " + Utf8(origin) + " are refused");
      return Result::Handled;
    }
    // Only uploads are large; every other body is read whole before it is looked at.
    const bool upload = req.method == "POST" && req.path.ends_with("/media");
    if (!upload && req.get_header_value<std::uint64_t>("Content-Length") > kMaxRequestBody) {
      res.set_header("Connection", "close");
      SendText(res, 413, "a request body may hold at most " + SizeText(kMaxRequestBody));
      return Result::Handled;
    }
  }
  return Result::Unhandled;
}

std::shared_ptr<Session> Studio::Impl::FindSession(const std::string& id) const {
  std::shared_ptr<Session> session;
  {
    const std::lock_guard lock(sessionsMutex);
    const auto found = sessions.find(id);
    if (found != sessions.end()) session = found->second;
  }
  if (!session) throw RequestError(404, "this page's session has ended; reload the page");
  session->Touch(options.sessionLifetime);
  return session;
}

json Studio::Impl::SessionJson(Session& session) const {
  const SessionView view = session.View();
  const SessionSettings settings = session.Settings();
  const auto steps = std::max(1, static_cast<int>(std::lround(settings.fps * settings.seconds)));
  json state = {{"id", session.Id()},
                {"version", view.version},
                {"generation", shelf.State()->generation},
                {"error", view.error.empty() ? json(nullptr) : json(Utf8(view.error))},
                {"frameSteps", steps},
                {"limits",
                 {{"perFile", media.Limits().perFile},
                  {"total", media.Limits().total},
                  {"used", media.Used()},
                  {"perFileText", SizeText(media.Limits().perFile)},
                  {"totalText", SizeText(media.Limits().total)},
                  {"maxInputs", kPageMaxInputs},
                  {"minOutputSide", kMinOutputSide},
                  {"maxOutputSide", kMaxOutputSide}}}};
  json shown = {{"template", settings.library.empty() ? json(nullptr) : json(TemplateId(settings.library))},
                {"inputs", settings.inputs},
                {"seconds", settings.seconds},
                {"fps", settings.fps},
                {"fit", settings.fit == montage::Fit::kCover ? "cover" : "contain"},
                {"loopClips", settings.loopClips},
                {"width", settings.width},
                {"height", settings.height}};
  state["library"] = settings.library.empty() ? json(nullptr) : json(Utf8(settings.library.filename().string()));
  state["template"] = nullptr;
  if (view.entry) {
    state["template"] = TemplateJson(*view.entry);
    state["template"]["inputLimit"] = PageInputLimit(view.entry->info);
  }
  if (view.animation) {
    shown["inputs"] = view.animation->inputCount;
    const montage::TimelineLayout layout = montage::LayoutTimeline(*view.animation);
    state["timeline"] = {{"width", layout.width},         {"height", layout.height},   {"laneLeft", layout.laneLeft},
                         {"laneRight", layout.laneRight}, {"rowsTop", layout.rowsTop}, {"rowHeight", layout.rowHeight},
                         {"rowsShown", layout.rowsShown}, {"inputs", layout.inputs}};
    std::size_t keyFrames = 0;
    for (const auto& frames : view.animation->settings) keyFrames += frames.size();
    state["keyFrameCount"] = keyFrames;
  } else {
    state["timeline"] = nullptr;
  }
  state["settings"] = std::move(shown);
  json items = json::array();
  for (const auto& item : session.Media()) items.push_back(MediaJson(*item));
  state["media"] = std::move(items);
  json jobs = json::array();
  for (const auto& job : renders.OfSession(session.Id())) jobs.push_back(RenderJson(*job));
  state["renders"] = std::move(jobs);
  return state;
}

void Studio::Impl::ApplySettings(Session& session, const json& body) const {
  SessionSettings settings = session.Settings();
  if (body.contains("template")) {
    const json& value = body.at("template");
    if (!value.is_string()) throw RequestError(400, "template must be a template id");
    const std::string id = value.get<std::string>();
    const std::shared_ptr<const ShelfState> state = shelf.State();
    const TemplateEntry* entry = IsTemplateId(id) ? state->Find(id) : nullptr;
    if (entry == nullptr) throw RequestError(404, "no template " + Utf8(id) + " on the plug-in path");
    if (entry->info.library != settings.library) {
      settings.library = entry->info.library;
      settings.inputs = 0;  // the new template's default, unless given below
    }
  }
  if (body.contains("inputs")) {
    settings.inputs = body.at("inputs").is_null() ? 0 : IntegerField(body, "inputs", 1, montage::kMaxInputs);
  }
  if (body.contains("seconds")) settings.seconds = NumberField(body, "seconds", 0.1, 3600);
  if (body.contains("fps")) settings.fps = NumberField(body, "fps", 1, 120);
  if (body.contains("fit")) {
    const json& fit = body.at("fit");
    if (fit == "cover") {
      settings.fit = montage::Fit::kCover;
    } else if (fit == "contain") {
      settings.fit = montage::Fit::kContain;
    } else {
      throw RequestError(400, "fit must be \"cover\" or \"contain\"");
    }
  }
  if (body.contains("loopClips")) {
    if (!body.at("loopClips").is_boolean()) throw RequestError(400, "loopClips must be true or false");
    settings.loopClips = body.at("loopClips").get<bool>();
  }
  if (body.contains("width")) settings.width = IntegerField(body, "width", kMinOutputSide, kMaxOutputSide);
  if (body.contains("height")) settings.height = IntegerField(body, "height", kMinOutputSide, kMaxOutputSide);
  if (settings.width % 2 != 0 || settings.height % 2 != 0) {
    throw RequestError(400, "the output size must be even (MP4 and WebM need it), not " +
                                std::to_string(settings.width) + "x" + std::to_string(settings.height));
  }
  if (std::lround(settings.fps * settings.seconds) > montage::kMaxFrames) {
    throw RequestError(400, "fps times seconds gives more than " + std::to_string(montage::kMaxFrames) + " frames");
  }
  session.SetSettings(settings);
}

std::shared_ptr<RenderJob> Studio::Impl::StartRender(Session& session, const json& body) {
  const SessionView view = session.View();
  if (!view.animation) throw RequestError(409, "nothing to render: " + view.error);
  const SessionSettings settings = session.Settings();
  const std::string formatKey = body.value("format", "mp4");
  std::optional<montage::VideoFormat> format = montage::VideoFormatFor("video." + formatKey);
  if (!format || formatKey.find('.') != std::string::npos) {
    throw RequestError(400, "format must be mp4, webm, gif or webp, not '" + Utf8(formatKey) + "'");
  }
  RenderOrder order;
  order.session = session.Id();
  order.animation = view.animation;
  order.media = session.Media();
  order.drawing = montage::RenderSettings{settings.seconds, settings.fit};
  order.clips = montage::ClipOptions{settings.loopClips, 0};
  order.video.format = *format;
  order.video.width = settings.width;
  order.video.height = settings.height;
  order.video.fps = settings.fps;
  if (body.contains("quality") && !body.at("quality").is_null()) {
    order.video.quality = IntegerField(body, "quality", 1, 100);
  }
  if (*format == montage::VideoFormat::kGif && settings.fps > 50) {
    throw RequestError(400, "a GIF plays at most 50 frames per second; choose a lower frame rate");
  }
  order.video.frameCount = montage::VideoFrameCount(settings.fps, settings.seconds);
  if (order.video.frameCount < 1 || order.video.frameCount > montage::kMaxFrames) {
    throw RequestError(400, "fps times seconds must give 1 to " + std::to_string(montage::kMaxFrames) + " frames");
  }
  const double pixels = static_cast<double>(settings.width) * settings.height * order.video.frameCount;
  if (pixels > static_cast<double>(montage::kMaxRenderPixels)) {
    throw RequestError(400,
                       "this render would draw more pixels than a render may; choose a smaller size or fewer "
                       "frames");
  }
  order.fileName = montage::SafeFileName(view.animation->info.name) + "-" + std::to_string(settings.width) + "x" +
                   std::to_string(settings.height) + "." + formatKey;
  return renders.Submit(std::move(order));
}

void Studio::Impl::Upload(Session& session, const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) {
  const std::string name = req.has_param("name") ? req.get_param_value("name") : std::string("upload");
  if (!req.has_header("Content-Length")) {
    res.set_header("Connection", "close");
    throw RequestError(411, "an upload must say its length (Content-Length)");
  }
  const std::string lengthText = req.get_header_value("Content-Length");
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(lengthText.data(), lengthText.data() + lengthText.size(), length);
  if (error != std::errc() || end != lengthText.data() + lengthText.size()) {
    throw RequestError(400, "bad Content-Length");
  }
  std::optional<studio::Upload> upload;
  try {
    upload.emplace(media.Begin(name, length));
  } catch (const RequestError&) {
    // A client sees the answer only once it has sent its body: a body up to twice the
    // limit for a file is read and dropped; a larger one is cut off with the connection.
    if (length <= kDrainFactor * media.Limits().perFile) {
      reader([](const char* /*data*/, std::size_t /*size*/) { return true; });
    } else {
      res.set_header("Connection", "close");
    }
    throw;
  }
  const bool received = reader([&](const char* data, std::size_t size) { return upload->Write(data, size); });
  if (!received) {
    res.set_header("Connection", "close");
    if (!upload->Error().empty()) throw RequestError(upload->ErrorStatus(), upload->Error());
    throw RequestError(400, "the upload of " + DisplayName(name) + " was cut short");
  }
  std::shared_ptr<MediaItem> item = upload->Finish();
  session.AddMedia(item);
  SendJson(res, MediaJson(*item), 201);
}

std::string Studio::Impl::PreviewStrip(const std::string& templateId) {
  const std::shared_ptr<const ShelfState> state = shelf.State();
  const TemplateEntry* entry = state->Find(templateId);
  if (entry == nullptr) throw RequestError(404, "no template " + templateId + " on the plug-in path");
  std::shared_ptr<Preview> preview;
  {
    const std::lock_guard lock(previewsMutex);
    std::shared_ptr<Preview>& slot = previews[templateId];
    if (!slot) slot = std::make_shared<Preview>();
    preview = slot;
  }
  const fs::path& library = entry->info.library;
  std::error_code ignored;
  const std::uintmax_t size = fs::file_size(library, ignored);
  const fs::file_time_type modified = fs::last_write_time(library, ignored);
  const std::lock_guard lock(preview->mutex);
  if (preview->jpeg.empty() || preview->size != size || preview->modified != modified) {
    preview->size = size;
    preview->modified = modified;
    preview->jpeg.clear();
    preview->error.clear();
    try {
      montage::Renderer renderer(shelf.Build(library, DefaultInputs(entry->info)));
      montage::Image strip(kPreviewWidth * kPreviewFrames, kPreviewHeight);
      montage::Image frame(kPreviewWidth, kPreviewHeight);
      for (int k = 0; k < kPreviewFrames; ++k) {
        renderer.RenderInto(frame, static_cast<double>(k) / (kPreviewFrames - 1));
        for (int y = 0; y < kPreviewHeight; ++y) {
          std::copy_n(frame.Data() + static_cast<std::size_t>(y) * kPreviewWidth, kPreviewWidth,
                      strip.Data() + static_cast<std::size_t>(y) * kPreviewWidth * kPreviewFrames +
                          static_cast<std::size_t>(k) * kPreviewWidth);
        }
      }
      preview->jpeg = montage::EncodeJpeg(strip, 80);
    } catch (const HostError& error) {
      preview->error = error.what();
    }
  }
  if (preview->jpeg.empty()) throw RequestError(409, preview->error);
  return preview->jpeg;
}

void Studio::Impl::Routes() {
  using httplib::Request;
  using httplib::Response;
  server.set_default_headers({
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
      {"Cache-Control", "no-store"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; connect-src 'self'; "
       "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
  });
  server.set_pre_routing_handler([this](const Request& req, Response& res) { return Guard(req, res); });
  server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request& /*req*/, Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    SendText(res, res.status,
             res.status == 404 ? "not found" : "request refused (HTTP " + std::to_string(res.status) + ")");
    return httplib::Server::HandlerResponse::Handled;
  }));

  // The page.
  server.Get("/", [this](const Request&, Response& res) { res.set_content(indexHtml, "text/html; charset=utf-8"); });
  for (const WebAsset& asset : WebAssets()) {
    if (asset.path == "/index.html") continue;
    std::string pattern;
    for (const char c : asset.path) pattern += c == '.' ? std::string("\\.") : std::string(1, c);
    server.Get(pattern, [&asset](const Request&, Response& res) {
      res.set_content(std::string(asset.body), std::string(asset.type));
    });
  }

  // The catalog.
  server.Get("/api/templates", [this](const Request&, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<const ShelfState> state = shelf.State();
      json templates = json::array();
      for (const TemplateEntry& entry : state->templates) templates.push_back(TemplateJson(entry));
      json failures = json::array();
      for (const montage::PluginFailure& failure : state->failures) {
        failures.push_back({{"library", Utf8(failure.library.filename().string())},
                            {"path", Utf8(failure.library.string())},
                            {"reason", Utf8(failure.reason)}});
      }
      json directories = json::array();
      for (const fs::path& directory : shelf.Directories()) directories.push_back(Utf8(directory.string()));
      json warnings = json::array();
      for (const std::string& warning : state->warnings) warnings.push_back(Utf8(warning));
      SendJson(res, {{"generation", state->generation},
                     {"templates", std::move(templates)},
                     {"failures", std::move(failures)},
                     {"directories", std::move(directories)},
                     {"warnings", std::move(warnings)},
                     {"previewFrames", kPreviewFrames},
                     {"previewWidth", kPreviewWidth},
                     {"previewHeight", kPreviewHeight}});
    });
  });
  server.Get("/api/templates/" + kTemplatePattern + "/preview\\.jpg", [this](const Request& req, Response& res) {
    Answer(res, [&] { res.set_content(PreviewStrip(req.matches[1]), "image/jpeg"); });
  });

  // Sessions.
  server.Post("/api/sessions", [this](const Request&, Response& res) {
    Answer(res, [&] {
      auto session = std::make_shared<Session>(RandomHex(kIdBytes), shelf);
      session->Touch(options.sessionLifetime);
      {
        const std::lock_guard lock(sessionsMutex);
        if (sessions.size() >= kMaxSessions) {
          throw RequestError(503, "too many pages are open; close some or wait a few minutes");
        }
        sessions.emplace(session->Id(), session);
      }
      SendJson(res, SessionJson(*session), 201);
    });
  });
  server.Get(kSessionPrefix, [this](const Request& req, Response& res) {
    Answer(res, [&] { SendJson(res, SessionJson(*FindSession(req.matches[1]))); });
  });
  server.Put(kSessionPrefix + "/settings", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<Session> session = FindSession(req.matches[1]);
      ApplySettings(*session, ParseBody(req));
      SendJson(res, SessionJson(*session));
    });
  });
  server.Post(kSessionPrefix + "/leave", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<Session> session = FindSession(req.matches[1]);
      renders.CancelSession(session->Id(), false);
      session->Touch(options.closedLifetime);
      res.status = 204;
    });
  });

  // Media.
  server.Post(kSessionPrefix + "/media",
              [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
                Answer(res, [&] { Upload(*FindSession(req.matches[1]), req, res, reader); });
              });
  server.Put(kSessionPrefix + "/media", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<Session> session = FindSession(req.matches[1]);
      const json body = ParseBody(req);
      if (!body.contains("order") || !body.at("order").is_array()) {
        throw RequestError(400, "the body must be {\"order\": [media ids]}");
      }
      std::vector<std::string> ids;
      for (const json& id : body.at("order")) {
        if (!id.is_string() || !IsId(id.get<std::string>())) throw RequestError(400, "media ids are 32 hex digits");
        ids.push_back(id.get<std::string>());
      }
      session->ArrangeMedia(ids);
      SendJson(res, SessionJson(*session));
    });
  });
  server.Delete(kSessionPrefix + "/media/" + kIdPattern, [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<Session> session = FindSession(req.matches[1]);
      if (!session->RemoveMedia(req.matches[2])) throw RequestError(404, "this page has no such media");
      SendJson(res, SessionJson(*session));
    });
  });
  server.Get(kSessionPrefix + "/media/" + kIdPattern + "/thumb\\.jpg", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      for (const auto& item : FindSession(req.matches[1])->Media()) {
        if (item->Id() == req.matches[2]) return res.set_content(item->Thumbnail(), "image/jpeg");
      }
      throw RequestError(404, "this page has no such media");
    });
  });

  // What the page draws.
  server.Get(kSessionPrefix + "/frame", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<Session> session = FindSession(req.matches[1]);
      const double time = NumberParam(req, "t");
      const int width = IntegerParam(req, "w", 1, kMaxPreviewSide, std::nullopt);
      const int height = IntegerParam(req, "h", 1, kMaxPreviewSide, std::nullopt);
      const int quality = IntegerParam(req, "quality", 1, 100, 85);
      const std::string format = req.has_param("format") ? req.get_param_value("format") : "jpeg";
      if (format != "jpeg" && format != "png") throw RequestError(400, "format must be jpeg or png");
      struct InFlight {
        std::atomic<int>& count;
        explicit InFlight(std::atomic<int>& c) : count(c) { ++count; }
        ~InFlight() { --count; }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;
      } const inFlight(framesInFlight);
      std::string bytes =
          session->Frame(time, width, height, format == "png" ? FrameFormat::kPng : FrameFormat::kJpeg, quality);
      res.set_content(std::move(bytes), format == "png" ? "image/png" : "image/jpeg");
    });
  });
  server.Get(kSessionPrefix + "/timeline\\.png", [this](const Request& req, Response& res) {
    Answer(res, [&] { res.set_content(FindSession(req.matches[1])->TimelinePng(), "image/png"); });
  });
  server.Get(kSessionPrefix + "/keyframes\\.(json|csv)", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const SessionView view = FindSession(req.matches[1])->View();
      if (!view.animation) throw RequestError(409, view.error);
      std::ostringstream out;
      if (req.matches[2] == "json") {
        montage::WriteKeyFramesJson(out, *view.animation);
        res.set_content(out.str(), "application/json");
      } else {
        montage::WriteKeyFramesCsv(out, *view.animation);
        res.set_content(out.str(), "text/csv; charset=utf-8");
      }
    });
  });

  // Renders.
  server.Post(kSessionPrefix + "/renders", [this](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<Session> session = FindSession(req.matches[1]);
      SendJson(res, RenderJson(*StartRender(*session, ParseBody(req))), 201);
    });
  });
  const std::string job = kSessionPrefix + "/renders/" + kIdPattern;
  auto findJob = [this](const Request& req) {
    const std::shared_ptr<Session> session = FindSession(req.matches[1]);
    std::shared_ptr<RenderJob> found = renders.Find(session->Id(), req.matches[2]);
    if (!found) throw RequestError(404, "this page has no such render");
    return found;
  };
  server.Get(job, [findJob](const Request& req, Response& res) {
    Answer(res, [&] { SendJson(res, RenderJson(*findJob(req))); });
  });
  server.Post(job + "/cancel", [this, findJob](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<RenderJob> found = findJob(req);
      renders.Cancel(found->Order().session, found->Id());
      SendJson(res, RenderJson(*found));
    });
  });
  server.Delete(job, [this, findJob](const Request& req, Response& res) {
    Answer(res, [&] {
      const std::shared_ptr<RenderJob> found = findJob(req);
      renders.Forget(found->Order().session, found->Id());
      res.status = 204;
    });
  });
  server.Get(job + "/file", [findJob](const Request& req, Response& res) {
    Answer(res, [&] {
      std::shared_ptr<RenderJob> found = findJob(req);
      if (found->Status().state != RenderState::kDone) throw RequestError(409, "this render has not finished");
      const int fd = ::open(found->File().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat status {};
      if (fd < 0 || ::fstat(fd, &status) != 0) {
        if (fd >= 0) ::close(fd);
        throw RequestError(410, "the rendered file is gone");
      }
      const auto fileSize = static_cast<std::size_t>(status.st_size);
      res.set_header("Content-Disposition", "attachment; filename=\"" + found->Order().fileName + "\"");
      res.set_content_provider(
          fileSize, std::string(montage::VideoFormatMediaType(found->Order().video.format)),
          [fd, found](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            char buffer[1 << 16];
            const ssize_t got = ::pread(fd, buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
            if (got <= 0) return false;
            return sink.write(buffer, static_cast<std::size_t>(got));
          },
          [fd](bool /*success*/) { ::close(fd); });
    });
  });
}

void Studio::Impl::Watch(const std::atomic<bool>& done) {
  // On a thread of its own: a scan waits for slow plug-ins up to the scan's time limit,
  // which must not hold up stopping or ending sessions.
  while (!done.load()) {
    std::this_thread::sleep_for(options.pluginPoll);
    try {
      shelf.Poll();
    } catch (const std::exception&) {
      // A folder that cannot be read now is looked at again next time.
    }
  }
}

void Studio::Impl::Maintain(const std::atomic<bool>* stop, const std::atomic<bool>& done) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextReap = Clock::now() + std::chrono::seconds(1);
  while (!done.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (stop != nullptr && stop->load()) {
      server.stop();
      return;
    }
    const Clock::time_point now = Clock::now();
    if (now >= nextReap) {
      std::vector<std::string> ended;
      {
        const std::lock_guard lock(sessionsMutex);
        for (auto it = sessions.begin(); it != sessions.end();) {
          if (it->second->Expired(now)) {
            ended.push_back(it->first);
            it = sessions.erase(it);
          } else {
            ++it;
          }
        }
      }
      for (const std::string& id : ended) renders.CancelSession(id, true);
      nextReap = now + std::chrono::seconds(1);
    }
  }
}

// ---- Studio -----------------------------------------------------------------------------------

Studio::Studio(StudioOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Studio::~Studio() {
  impl_->server.stop();
  // Sessions go before the render queue: their renders are cancelled with the queue.
  const std::lock_guard lock(impl_->sessionsMutex);
  impl_->sessions.clear();
}

int Studio::Port() const { return impl_->port; }

std::string Studio::Url() const { return impl_->hosts->Url(); }

const std::string& Studio::Token() const { return impl_->token; }

const fs::path& Studio::PrivateFolderPath() const { return impl_->folder.Path(); }

void Studio::Run(const std::atomic<bool>* stop) {
  std::atomic<bool> done{false};
  std::thread maintenance([&] { impl_->Maintain(stop, done); });
  std::thread watcher([&] { impl_->Watch(done); });
  impl_->server.listen_after_bind();
  done.store(true);
  maintenance.join();
  watcher.join();
  const std::lock_guard lock(impl_->sessionsMutex);
  for (const auto& [id, session] : impl_->sessions) impl_->renders.CancelSession(id, false);
}

void Studio::Stop() { impl_->server.stop(); }

}  // namespace studio
