#include "web/url_encoded_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "core/base/dictionary.h"
#include "tests/web/form_feed.h"

namespace lumo {
namespace {

// The variables a body makes, or "!" + the error, the same for every split.
std::string Parsed(std::string_view body, int32_t limit = 0) {
  return SameForEverySplit(body, [&](const Pieces& pieces) {
    Dictionary dictionary;
    VariableHash variables(&dictionary);
    URLEncodedParser parser(&variables, limit);
    const std::string error = Feed(parser, pieces);
    return error.empty() ? Variables(variables) : Variables(variables) + " " + error;
  });
}

TEST(URLEncodedParser, DecodesNamesAndValues) {
  const struct { const char* body; const char* variables; } cases[] = {
      {"", ""},
      {"a=1&b=x+y", "a=1 b=x y"},
      {"a=1&a=2&A=3", "a[]=1,2,3"},  // repeats build an array; names ignore case
      {"a+b=%41%42", "a b=AB"},
      {"%61=%2b%2B&c=%7e", "a=++ c=~"},
      {"x=%zz", "x=S"},  // not hexadecimal, decoded all the same: 35 * 16 + 35
      {"x=%%41", "x=T1"},  // ('%' - '0') * 16 + 4, low eight bits
      {"x", "x="},
      {"x&y=", "x= y="},
      {"a=b=c", "a=b=c"},
      {"a=1&", "a=1"},
      {"a=%4", "a="},  // an escape cut short by the end is dropped
      {"a=1&b%4", "a=1 b="},
      {"=v", "=v"},
      {"&", "="},
      {"a[2]=x&s:k=v&s:j=w", "a[]=x s[]=w,v"},  // names are paths
      {"a[x]=1&b=2", "a= b=2"},                 // a malformed index stores no value
  };
  for (const auto& c : cases) EXPECT_EQ(Parsed(c.body), c.variables) << c.body;
}

TEST(URLEncodedParser, LimitCountsEveryField) {
  EXPECT_EQ(Parsed("a=1&", 1), "a=1");
  EXPECT_EQ(Parsed("a=1&b=2", 1), "a=1 !Maximum number of POST variables exceeded");
  EXPECT_EQ(Parsed("a=1&b", 1), "a=1 !Maximum number of POST variables exceeded");
  EXPECT_EQ(Parsed("a&b", 1), "a= !Maximum number of POST variables exceeded");
  EXPECT_EQ(Parsed("a=1&b=2&c=3&d=4", 4), "a=1 b=2 c=3 d=4");
  // After a failure every later piece fails too.
  Dictionary dictionary;
  VariableHash variables(&dictionary);
  URLEncodedParser parser(&variables, 1);
  EXPECT_FALSE(parser.Parse("a&b&", 4));
  EXPECT_FALSE(parser.Parse("c=1", 3));
  EXPECT_FALSE(parser.Finish());
  EXPECT_EQ(Variables(variables), "a=");
}

}  // namespace
}  // namespace lumo
