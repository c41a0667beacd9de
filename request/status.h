// How the units this project adds report a result: a code of the unit's own
// enum and, when the step failed, the reason in words, as the log states it
// after the code's own text. The enum's first value (zero) means success, as 0
// does for libcurl and errno. A unit keeps one code list; what each code means
// to the front end (which status line it becomes) is decided where the line is
// written, not in the unit.
//
// Where the system fixes the convention it stays: request steps return libcurl
// codes (or codes of their own through the same path), collectors and the
// cipher return 0 or -1, the file writer returns 0 or a negative error number.
#pragma once

#include <string>
#include <utility>

namespace norvo {

template <typename Code>
struct [[nodiscard]] Status {
  Code code{};
  std::string reason;  // empty on success

  Status() = default;
  // Implicit, so that a unit can `return Code::kSomething` or `return {code, why}`.
  Status(Code c, std::string why = std::string()) : code(c), reason(std::move(why)) {}

  bool ok() const { return code == Code{}; }
};

}  // namespace norvo
