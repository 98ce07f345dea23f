// Typed option values and their validators.
#include "options.h"

#include <charconv>
#include <cmath>
#include <istream>
#include <ostream>

#include "montage/host.h"

namespace {

std::optional<int> ParseInt(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A validator from a function that returns an error message, or nothing.
template <class Check>
CLI::Validator Validating(Check check) {
  return CLI::Validator([check](std::string& text) -> std::string { return check(text); }, "");
}

}  // namespace

std::optional<Size> ParseSize(std::string_view text) {
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const std::optional<int> width = ParseInt(text.substr(0, x));
  const std::optional<int> height = ParseInt(text.substr(x + 1));
  auto fits = [](const std::optional<int>& side) { return side && *side >= 1 && *side <= montage::kMaxFrameSide; };
  if (!fits(width) || !fits(height)) return std::nullopt;
  return Size{*width, *height};
}

std::istream& operator>>(std::istream& in, Size& size) {
  std::string text;
  in >> text;
  if (const std::optional<Size> parsed = ParseSize(text)) {
    size = *parsed;
  } else {
    in.setstate(std::ios::failbit);
  }
  return in;
}

std::ostream& operator<<(std::ostream& out, const Size& size) { return out << size.width << 'x' << size.height; }

std::optional<double> ParseFiniteNumber(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::istream& operator>>(std::istream& in, ExactNumber& number) {
  std::string text;
  in >> text;
  if (const std::optional<double> value = ParseFiniteNumber(text)) {
    number.value = *value;
  } else {
    in.setstate(std::ios::failbit);
  }
  return in;
}

std::ostream& operator<<(std::ostream& out, const ExactNumber& number) {
  return out << montage::FormatDouble(number.value);
}

const CLI::Validator kInputCount = Validating([](const std::string& text) -> std::string {
  const std::optional<int> value = ParseInt(text);
  if (value && *value >= 1 && *value <= montage::kMaxInputs) return {};
  return "must be a whole number from 1 to " + std::to_string(montage::kMaxInputs) + ", not '" + text + "'";
});

const CLI::Validator kFiniteNumber = Validating([](const std::string& text) -> std::string {
  return ParseFiniteNumber(text) ? std::string() : "must be a finite number, not '" + text + "'";
});

const CLI::Validator kPositiveNumber = Validating([](const std::string& text) -> std::string {
  const std::optional<double> value = ParseFiniteNumber(text);
  return value && *value > 0 ? std::string() : "must be a number above 0, not '" + text + "'";
});

const CLI::Validator kFrameSize = Validating([](const std::string& text) -> std::string {
  if (ParseSize(text)) return {};
  return "must be WIDTHxHEIGHT with 1 to " + std::to_string(montage::kMaxFrameSide) + " pixels each, not '" + text +
         "'";
});

const CLI::Validator kNotAnOption = Validating([](const std::string& text) -> std::string {
  if (!text.starts_with('-')) return {};
  return "'" + text + "' is an option, not a file (a file whose name starts with '-' is given as ./" + text + ")";
});

void AddTemplateOptions(CLI::App& command, TemplateChoice& choice) {
  command.add_option("template", choice.name, "Template name (any case) or plug-in library file")
      ->required()
      ->type_name("TEMPLATE");
  command.add_option("--inputs", choice.inputs, "Number of inputs (default: the template's default input count)")
      ->check(kInputCount)
      ->type_name("N");
}
