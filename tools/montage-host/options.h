// Typed option values of montage-host and the CLI11 validators that check them. Each
// value is checked once, on its text, with a message that names the value; CLI11 then
// converts the text it checked.
#ifndef MONTAGE_HOST_TOOL_OPTIONS_H
#define MONTAGE_HOST_TOOL_OPTIONS_H

#include <CLI/CLI.hpp>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// A frame size in pixels, written WIDTHxHEIGHT on the command line.
struct Size {
  int width = 0;
  int height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};
// 1..kMaxFrameSide each; nothing for any other text.
std::optional<Size> ParseSize(std::string_view text);
std::istream& operator>>(std::istream& in, Size& size);
std::ostream& operator<<(std::ostream& out, const Size& size);

// A finite number written in full (no trailing text); nothing otherwise.
std::optional<double> ParseFiniteNumber(std::string_view text);

// A number read as the double nearest its decimal text, rounded once. CLI11's own
// conversion goes through long double and may round twice, which changes the last bit
// of a time that is compared with keyframe times bit for bit.
struct ExactNumber {
  double value = 0;
};
std::istream& operator>>(std::istream& in, ExactNumber& number);
std::ostream& operator<<(std::ostream& out, const ExactNumber& number);

// Validators: the messages montage-host prints for a value that does not do.
extern const CLI::Validator kInputCount;      // a whole number from 1 to kMaxInputs
extern const CLI::Validator kFiniteNumber;    // any finite number
extern const CLI::Validator kPositiveNumber;  // a finite number above 0
extern const CLI::Validator kFrameSize;       // WIDTHxHEIGHT, 1 to kMaxFrameSide each
// A file name that does not look like an option: an option that takes several values
// would otherwise swallow the next option ("--images --fps 1").
extern const CLI::Validator kNotAnOption;

// Turns one of `names` into its enum value, for an option bound to an enum; any other
// text is refused with a message that lists the names.
template <class Enum>
CLI::Validator Choice(std::map<std::string, Enum> names) {
  std::string list;
  for (const auto& entry : names) list += (list.empty() ? "" : ", ") + entry.first;
  return CLI::Validator(
      [names = std::move(names), list](std::string& text) -> std::string {
        const auto found = names.find(text);
        if (found == names.end()) return "must be one of " + list + ", not '" + text + "'";
        text = std::to_string(static_cast<int>(found->second));
        return {};
      },
      "");
}

// The template a command works on, and its input count.
struct TemplateChoice {
  std::string name;           // a template's name in any case, or a plug-in file
  std::optional<int> inputs;  // nothing: the template's default input count
};
// Adds TEMPLATE and --inputs N to `command`.
void AddTemplateOptions(CLI::App& command, TemplateChoice& choice);

#endif  // MONTAGE_HOST_TOOL_OPTIONS_H
