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

// Names are paths, and a request's names come from its client: selectors
// per name and the variables and elements all names make are bounded, so
// a few megabytes of body cannot build gigabytes of nested levels.
TEST(URLEncodedParser, NestedNamesAreBounded) {
  const std::string too_many = " !Maximum number of POST variables exceeded";
  auto nested = [](const std::string& step, int levels) {
    std::string name = "a";
    for (int i = 0; i < levels; ++i) name += step;
    return name;
  };
  // At the bound a name still stores; one selector more stores nothing.
  EXPECT_EQ(Parsed(nested(":m", 32) + "=v"), "a[]=v");
  EXPECT_EQ(Parsed(nested(":m", 33) + "=v"), too_many);
  EXPECT_EQ(Parsed(nested("[1]", 33) + "=v"), too_many);
  // A million levels are refused before anything is built.
  for (const std::string step : {"[1]", ":m"}) {
    Dictionary dictionary;
    VariableHash variables(&dictionary);
    URLEncodedParser parser(&variables, 0);
    const std::string body = "x=1&" + nested(step, 1'000'000) + "=v";
    EXPECT_EQ(Feed(parser, {body}), too_many.substr(1));
    EXPECT_EQ(Variables(variables), "x=1");
  }
  // Each field may make 16 variables and elements on average: one field of
  // 15 selectors makes 16, one more level is past the bound.
  EXPECT_EQ(Parsed(nested(":m", 15) + "=v", 1), "a[]=v");
  EXPECT_EQ(Parsed(nested(":m", 16) + "=v", 1), "a[]=" + too_many);
}

// The query string and the body of a request share one set of limits.
TEST(URLEncodedParser, SharedLimitsCountQueryAndBodyTogether) {
  Dictionary dictionary;
  VariableHash variables(&dictionary);
  FormLimits limits(2);
  limits.max_form_bytes = 12;
  URLEncodedParser query(&variables, 0, &limits);
  EXPECT_EQ(Feed(query, {"a=1"}), "");
  URLEncodedParser body(&variables, 0, &limits);
  EXPECT_EQ(Feed(body, {"b=2&c=3"}), "!Maximum number of POST variables exceeded");
  EXPECT_EQ(Variables(variables), "a=1 b=2");

  FormLimits small(0);
  small.max_form_bytes = 8;
  URLEncodedParser bytes(&variables, 0, &small);
  EXPECT_EQ(Feed(bytes, {"n=123&m=4567"}), "!POST form data exceeds configured maximum");
}

}  // namespace
}  // namespace lumo
