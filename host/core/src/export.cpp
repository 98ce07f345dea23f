// Keyframes as JSON and CSV, every double in its shortest round-trip form.
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "montage/host.h"

namespace montage {

std::string FormatDouble(double value) {
  if (value == 0.0 && std::signbit(value)) return "-0.0";  // "-0" would read back as the integer 0
  // The names JSON readers and strtod accept, as the JSON export writes them.
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return {text, result.ptr};
}

namespace {

using Json = nlohmann::ordered_json;

// JSON has no number for the non-finite values: they are strings.
Json JsonDouble(double value) {
  if (!std::isfinite(value)) return FormatDouble(value);
  return value;
}

bool AllScalars(const Json& value) {
  for (const Json& item : value) {
    if (item.is_structured()) return false;
  }
  return true;
}

// Like Json::dump with an indent of 2, but doubles go through FormatDouble and objects
// and arrays of scalars stay on one line.
void Write(std::ostream& out, const Json& value, int depth) {
  if (value.is_number_float()) {
    out << FormatDouble(value.get<double>());
    return;
  }
  if (!value.is_structured()) {
    // A plug-in's name need not be UTF-8; JSON must be: invalid bytes become U+FFFD.
    out << value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  const bool object = value.is_object();
  out << (object ? '{' : '[');
  if (value.empty()) {
    out << (object ? '}' : ']');
    return;
  }
  const bool inline_ = AllScalars(value);
  std::string indent;
  if (!inline_) indent.append(1, '\n').append(static_cast<std::size_t>(2 * (depth + 1)), ' ');
  bool first = true;
  for (auto it = value.begin(); it != value.end(); ++it) {
    out << (first ? "" : inline_ ? ", " : ",") << indent;
    first = false;
    if (object) out << Json(it.key()).dump() << ": ";
    Write(out, *it, depth + 1);
  }
  if (!inline_) out << '\n' << std::string(static_cast<std::size_t>(2 * depth), ' ');
  out << (object ? '}' : ']');
}

Json Header(const Animation& animation) {
  const TemplateInfo& info = animation.info;
  return {
      {"template", info.name},
      {"displayName", info.displayName},
      {"library", info.library.string()},
      {"minInputs", info.minInputs},
      {"maxInputs", info.maxInputs},
      {"defaultInputs", info.defaultInputs},
      {"templateCode", info.templateCode},
      {"inputCount", animation.inputCount},
  };
}

}  // namespace

void WriteKeyFramesJson(std::ostream& out, const Animation& animation) {
  Json document = Header(animation);
  Json inputs = Json::array();
  for (std::size_t index = 0; index < animation.settings.size(); ++index) {
    Json frames = Json::array();
    for (const KeyFrame& frame : animation.settings[index]) {
      frames.push_back({{"time", JsonDouble(frame.Time)},
                        {"posX", JsonDouble(frame.PosX)},
                        {"posY", JsonDouble(frame.PosY)},
                        {"scale", JsonDouble(frame.Scale)},
                        {"opacity", JsonDouble(frame.Opacity)},
                        {"rotation", JsonDouble(frame.Rotation)},
                        {"aux0", JsonDouble(frame.Aux0)},
                        {"aux1", frame.Aux1},
                        {"aux2", frame.Aux2}});
    }
    inputs.push_back({{"index", index}, {"keyFrames", std::move(frames)}});
  }
  document["inputs"] = std::move(inputs);
  Write(out, document, 0);
  out << '\n';
}

void WriteSamplesJson(std::ostream& out, const Animation& animation, const std::vector<double>& times) {
  Json document = Header(animation);
  Json samples = Json::array();
  for (const double time : times) {
    Json inputs = Json::array();
    for (std::size_t index = 0; index < animation.tracks.size(); ++index) {
      const Track& track = animation.tracks[index];
      const std::optional<Pose> pose = track.PoseAt(time);
      if (pose) {
        inputs.push_back({{"index", index},
                          {"shown", true},
                          {"posX", JsonDouble(pose->posX)},
                          {"posY", JsonDouble(pose->posY)},
                          {"scale", JsonDouble(pose->scale)},
                          {"opacity", JsonDouble(pose->opacity)},
                          {"rotation", JsonDouble(pose->rotation)}});
      } else if (track.Empty()) {
        inputs.push_back({{"index", index}, {"shown", false}});
      } else {
        inputs.push_back({{"index", index}, {"shown", false}, {"start", track.Start()}, {"end", track.End()}});
      }
    }
    samples.push_back({{"time", JsonDouble(time)}, {"inputs", std::move(inputs)}});
  }
  document["samples"] = std::move(samples);
  Write(out, document, 0);
  out << '\n';
}

void WriteKeyFramesCsv(std::ostream& out, const Animation& animation) {
  out << "input,keyframe,time,posX,posY,scale,opacity,rotation,aux0,aux1,aux2\n";
  for (std::size_t index = 0; index < animation.settings.size(); ++index) {
    const std::vector<KeyFrame>& frames = animation.settings[index];
    for (std::size_t k = 0; k < frames.size(); ++k) {
      const KeyFrame& f = frames[k];
      out << index << ',' << k;
      for (const double value : {f.Time, f.PosX, f.PosY, f.Scale, f.Opacity, f.Rotation, f.Aux0}) {
        out << ',' << FormatDouble(value);
      }
      out << ',' << f.Aux1 << ',' << f.Aux2 << '\n';
    }
  }
}

}  // namespace montage
