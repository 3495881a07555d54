// HTTPContentParser: turns a request body into script variables.
//
// The request context hands the body over in pieces as it arrives (at most
// 8192 bytes each, in any split: a token, an escape or a boundary may
// straddle two pieces), then calls Finish once the body is complete. A
// parser gives the same variables whatever the split.
//
// A failure sets the error text once (the first failure's text stays) and
// makes that Parse or Finish return false; every later Parse returns false
// too. The context then writes the text to the response instead of
// running the program.
#ifndef LUMO_WEB_CONTENT_PARSER_H_
#define LUMO_WEB_CONTENT_PARSER_H_

#include <cstdint>
#include <string_view>

#include "core/base/string.h"
#include "values/variable_hash.h"

namespace lumo {

class HTTPContentParser {
 public:
  // The table receives the variables; it must outlive the parser.
  explicit HTTPContentParser(VariableHash* variables) : variables_(variables) {}
  HTTPContentParser(const HTTPContentParser&) = delete;
  HTTPContentParser& operator=(const HTTPContentParser&) = delete;
  virtual ~HTTPContentParser() = default;

  // The next piece of the body.
  virtual bool Parse(const char* data, int32_t length) = 0;
  // The body is complete: stores what was still pending.
  virtual bool Finish() = 0;
  virtual const String& ErrorText() const { return error_; }
  // Keeps the first text: a later failure is a consequence of the first.
  virtual void SetError(std::string_view text) {
    if (error_.IsEmpty()) error_ = String(text);
  }

 protected:
  bool Failed() const { return !error_.IsEmpty(); }

  VariableHash* variables_;
  String error_;
};

inline constexpr std::string_view kTooManyPostVariables = "Maximum number of POST variables exceeded";
inline constexpr std::string_view kPostOutOfMemory = "Out of memory";

}  // namespace lumo

#endif  // LUMO_WEB_CONTENT_PARSER_H_
