// UnknownContentHandler: a body of a content type no parser knows, kept
// as it came in the system variable "content_data" (text/xml, JSON, ...).
#ifndef LUMO_WEB_UNKNOWN_CONTENT_HANDLER_H_
#define LUMO_WEB_UNKNOWN_CONTENT_HANDLER_H_

#include <cstdint>

#include "web/content_parser.h"

namespace lumo {

class UnknownContentHandler : public HTTPContentParser {
 public:
  // content_length is the client's Content-Length. It only caps what is
  // kept (bytes past it are dropped); memory grows with the bytes that
  // actually arrive. A negative length counts as 0; one above the longest
  // text a script can hold makes Parse and Finish fail with "Out of
  // memory".
  UnknownContentHandler(VariableHash* system_variables, int64_t content_length);

  bool Parse(const char* data, int32_t length) override;
  // Stores the body, every byte of it, as "content_data".
  bool Finish() override;

 private:
  int64_t declared_;
  String body_;
};

}  // namespace lumo

#endif  // LUMO_WEB_UNKNOWN_CONTENT_HANDLER_H_
