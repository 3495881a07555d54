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

// What the form fields of one request may cost. The query string and the
// body share one, so their fields count together.
struct FormLimits {
  // Selectors in one field name ("a:b[2]" has two).
  static constexpr int32_t kMaxSelectors = 32;
  // Variables and elements one request may make, per field it may store.
  static constexpr int32_t kNodesPerField = 16;
  static constexpr int32_t kDefaultFields = 2000;

  // max_fields: the most fields stored (0: no limit); the variables and
  // elements they may make are bounded either way.
  explicit FormLimits(int32_t most_fields = 0) : max_fields(most_fields < 0 ? 0 : most_fields) {
    paths.max_selectors = kMaxSelectors;
    paths.nodes_left = int64_t{kNodesPerField} * (max_fields > 0 ? max_fields : kDefaultFields);
  }

  int32_t max_fields;
  int32_t fields = 0;
  PathLimits paths;
  // Bytes of form fields held in memory (names and values; 0: no limit).
  int64_t max_form_bytes = 0;
  int64_t form_bytes = 0;
  // Bytes written to disk for one uploaded file, and for all of them
  // (0: no limit).
  int64_t max_upload = 0;
  int64_t max_upload_total = 0;
  int64_t upload_total = 0;
};

class HTTPContentParser {
 public:
  // The table receives the variables; it must outlive the parser. Limits
  // shared with other parsers of the request may be given; without them
  // the parser keeps its own.
  explicit HTTPContentParser(VariableHash* variables, FormLimits* limits = nullptr)
      : variables_(variables), limits_(limits != nullptr ? limits : &own_limits_) {}
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
  // Counts a field and stores name = value (repeats make arrays); false,
  // with the error set, past the limits. A name with a malformed index
  // stores nothing and is not an error.
  bool StoreField(const String& name, const String& value);
  // Takes `bytes` more of form data held in memory; false past the limit.
  bool TakeFormBytes(int64_t bytes);

  VariableHash* variables_;
  FormLimits own_limits_;
  FormLimits* limits_;
  String error_;
};

inline constexpr std::string_view kTooManyPostVariables = "Maximum number of POST variables exceeded";
inline constexpr std::string_view kPostOutOfMemory = "Out of memory";
inline constexpr std::string_view kPostFormTooLong = "POST form data exceeds configured maximum";

inline bool HTTPContentParser::StoreField(const String& name, const String& value) {
  ++limits_->fields;
  if ((limits_->max_fields > 0 && limits_->fields > limits_->max_fields) ||
      (!variables_->SetPathValue(name.Text(), name.Length(), value.Text(), value.Length(), true,
                                 &limits_->paths) &&
       limits_->paths.exceeded)) {
    SetError(kTooManyPostVariables);
    return false;
  }
  return true;
}

inline bool HTTPContentParser::TakeFormBytes(int64_t bytes) {
  limits_->form_bytes += bytes;
  if (limits_->max_form_bytes > 0 && limits_->form_bytes > limits_->max_form_bytes) {
    SetError(kPostFormTooLong);
    return false;
  }
  return true;
}

}  // namespace lumo

#endif  // LUMO_WEB_CONTENT_PARSER_H_
