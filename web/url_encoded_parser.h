// URLEncodedParser: "application/x-www-form-urlencoded" bodies and query
// strings ("a=1&b=x+y&c=%41").
//
// "+" is a space and "%" takes the next two bytes as hexadecimal digits
// without checking them ("%zz" still gives one byte), so no input is ever
// refused for its encoding. A name without "=" gives an empty value; a name
// that comes again turns its variable into an array (elements 1, 2, ...).
// Names are paths: "a[2]" stores element 2 of a, "a:b" member b of a (see
// VariableHash::FindPath); a name with a malformed index ("a[x]") stores
// no value (only the variable before the selector is made, empty).
#ifndef LUMO_WEB_URL_ENCODED_PARSER_H_
#define LUMO_WEB_URL_ENCODED_PARSER_H_

#include <cstdint>

#include "web/content_parser.h"

namespace lumo {

class URLEncodedParser : public HTTPContentParser {
 public:
  // limit: the most fields one body may store (0: no limit); one more
  // fails with "Maximum number of POST variables exceeded", as does a name
  // past the selector or node bounds of FormLimits. With `shared`, its
  // limits apply instead (limit is then ignored).
  URLEncodedParser(VariableHash* variables, int32_t limit, FormLimits* shared = nullptr);

  bool Parse(const char* data, int32_t length) override;
  bool Finish() override;

 private:
  enum State { kName, kValue, kNameEscape, kValueEscape };

  // Appends a decoded byte to the name or the value.
  bool Add(String& buffer, char c);
  // Counts the field and stores name = value; empties both buffers.
  bool Store();

  String name_;
  String value_;
  State state_ = kName;
  char escape_[2] = {0, 0};
  int escape_count_ = 0;
};

// The byte of a "%" escape: each character is taken as a hexadecimal digit
// whatever it is, and the sum keeps its low eight bits.
char EscapedByte(char first, char second);

}  // namespace lumo

#endif  // LUMO_WEB_URL_ENCODED_PARSER_H_
