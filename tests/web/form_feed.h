// Helpers for the content parser tests: feeding a body in every split, and
// the variables a parse made as one comparable text.
#ifndef LUMO_TESTS_WEB_FORM_FEED_H_
#define LUMO_TESTS_WEB_FORM_FEED_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "values/variable_hash.h"
#include "web/content_parser.h"

namespace lumo {

using Pieces = std::vector<std::string_view>;

// Feeds the pieces as the request context does (stopping at the first
// failure, then Finish); "" on success, else "!" + the error text.
inline std::string Feed(HTTPContentParser& parser, const Pieces& pieces) {
  bool ok = true;
  for (std::string_view p : pieces) {
    ok = parser.Parse(p.data(), static_cast<int32_t>(p.size()));
    if (!ok) break;
  }
  if (ok) ok = parser.Finish();
  return ok ? std::string() : std::string("!").append(parser.ErrorText().View());
}

// The outcome of the body fed whole; every other split (two pieces at each
// position, and byte by byte) must give the same. Bodies longer than 4 KiB
// skip the two-piece splits, which would cost the square of the length.
inline std::string SameForEverySplit(std::string_view body,
                                     const std::function<std::string(const Pieces&)>& outcome) {
  const std::string whole = outcome({body});
  std::vector<Pieces> splits;
  if (body.size() <= 4096) {
    for (size_t at = 0; at <= body.size(); ++at) splits.push_back({body.substr(0, at), body.substr(at)});
  }
  Pieces bytes;
  for (size_t i = 0; i < body.size(); ++i) bytes.push_back(body.substr(i, 1));
  splits.push_back(bytes);
  for (const Pieces& split : splits) {
    const std::string got = outcome(split);
    if (got != whole) {
      ADD_FAILURE() << "split into " << split.size() << " pieces, first " << split[0].size()
                    << " bytes:\n  " << got << "\nwhole:\n  " << whole;
      break;
    }
  }
  return whole;
}

// "name=value" for every variable from entry `first` on, separated by
// blanks; an aggregate shows as name[]=elements.
inline std::string Variables(VariableHash& hash, int32_t first = 0) {
  std::string out;
  for (int32_t e = first; e < hash.EntryCount(); ++e) {
    Variable* v = hash.PeekVariable(e);
    if (v == nullptr) continue;
    if (!out.empty()) out += ' ';
    out += hash.EntryName(e);
    if (v->Aggregate_Type() != kAggregateScalar) out += "[]";
    out += '=';
    out += v->Value().View();
  }
  return out;
}

}  // namespace lumo

#endif  // LUMO_TESTS_WEB_FORM_FEED_H_
