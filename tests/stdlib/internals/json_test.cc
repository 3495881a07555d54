#include "stdlib/json.h"

#include <gtest/gtest.h>

#include <string>

namespace lumostd {
namespace {

// Writes the events back as compact JSON-like text, so a test reads what
// the decoder saw: texts in quotes, numbers bare, t/f/n.
class Recorder : public JsonSink {
 public:
  void BeginArray() override { Separate(); out += '['; first_ = true; }
  void BeginObject() override { Separate(); out += '{'; first_ = true; }
  void Key(std::string_view name) override {
    Separate();
    out += '<';
    out.append(name);
    out += ">:";
    after_key_ = true;
  }
  void End() override { out += ')'; first_ = false; }
  void Text(std::string_view text) override { Separate(); out += '"'; out.append(text); out += '"'; }
  void Number(std::string_view literal) override { Separate(); out.append(literal); }
  void Boolean(bool value) override { Separate(); out += value ? 't' : 'f'; }
  void Null() override { Separate(); out += 'n'; }

  std::string out;

 private:
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (!first_) out += ',';
    first_ = false;
  }
  bool first_ = true;
  bool after_key_ = false;
};

std::string Events(std::string_view json, std::string* error = nullptr) {
  Recorder recorder;
  std::string message;
  if (!JsonDecode(json, recorder, &message)) {
    if (error != nullptr) *error = message;
    return "ERROR";
  }
  return recorder.out;
}

TEST(JsonDecode, ValuesAndNesting) {
  EXPECT_EQ(Events(" 12 "), "12");
  EXPECT_EQ(Events("\"a\""), "\"a\"");
  EXPECT_EQ(Events("[true,false,null]"), "[t,f,n)");
  EXPECT_EQ(Events("[]"), "[)");
  EXPECT_EQ(Events("{}"), "{)");
  EXPECT_EQ(Events("{\"a\":[1,{\"b\":-2.5e+3}],\"c\":\"\"}"), "{<a>:[1,{<b>:-2.5e+3)),<c>:\"\")");
  EXPECT_EQ(Events(" [ 1 , [ ] , { } ] "), "[1,[),{))");
}

TEST(JsonDecode, Escapes) {
  EXPECT_EQ(Events(R"("\"\\\/\b\f\n\r\t")"), "\"\"\\/\b\f\n\r\t\"");
  EXPECT_EQ(Events(R"("\u0041\u00e9\u20ac")"), "\"A\xC3\xA9\xE2\x82\xAC\"");
  EXPECT_EQ(Events(R"("\ud83d\ude00")"), "\"\xF0\x9F\x98\x80\"");
  // Bytes above 127 pass through whatever they are.
  EXPECT_EQ(Events("\"\xff\xfe\""), "\"\xff\xfe\"");
}

TEST(JsonDecode, RefusesBadInputWithTheOffset) {
  std::string error;
  EXPECT_EQ(Events("[1,]", &error), "ERROR");
  EXPECT_EQ(error, "Invalid JSON at byte 3: unexpected character");
  const char* bad[] = {"",        "   ",      "[",         "{\"a\"}",   "{\"a\":1,}", "{1:2}",
                       "[1 2]",   "01",       "1.",        ".5",        "+1",         "1e",
                       "-",       "tru",      "nul",       "[1]]",      "1 2",        "\"abc",
                       "\"\\x\"", "\"\\u12\"", "\"\\ud800\"", "\"\\udc00x\"", "\"a\nb\"", "NaN",
                       "[\"\\ud800\\u0041\"]", "{\"a\" 1}", "\"\\"};
  for (const char* text : bad) EXPECT_EQ(Events(text), "ERROR") << text;
}

TEST(JsonDecode, HostileInputEndsQuickly) {
  // Nesting far past the limit is refused at the limit, not followed.
  const std::string deep(100000, '[');
  std::string error;
  EXPECT_EQ(Events(deep, &error), "ERROR");
  EXPECT_NE(error.find("nest too deep"), std::string::npos);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_EQ(Events(objects), "ERROR");
  // Exactly the limit is fine.
  std::string limit(kJsonMaxDepth, '[');
  limit.append(kJsonMaxDepth, ']');
  EXPECT_NE(Events(limit), "ERROR");
  std::string over(kJsonMaxDepth + 1, '[');
  over.append(kJsonMaxDepth + 1, ']');
  EXPECT_EQ(Events(over), "ERROR");
  // A megabyte of digits is one number, handed on as written.
  const std::string big = "-" + std::string(1 << 20, '7') + ".5e-99999";
  Recorder recorder;
  ASSERT_TRUE(JsonDecode(big, recorder, nullptr));
  EXPECT_EQ(recorder.out.size(), big.size());
  // A megabyte of backslashes in a string.
  std::string slashes = "\"";
  for (int i = 0; i < (1 << 19); ++i) slashes += "\\\\";
  slashes += '"';
  EXPECT_NE(Events(slashes), "ERROR");
}

TEST(JsonDecode, EveryTruncationIsRefused) {
  const std::string whole =
      R"({"name":"A\u00e9\"b","list":[1,-2.5e3,true,false,null,[],{}],"nested":{"x":[{"y":"z"}]}})";
  ASSERT_NE(Events(whole), "ERROR");
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(Events(whole.substr(0, n)), "ERROR") << n;
  }
}

TEST(JsonEncode, StringsEscapeWhatJsonNeeds) {
  std::string out;
  JsonAppendString(std::string("a\"\\/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", 14), out);
  EXPECT_EQ(out, "\"a\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\"");
  // And the decoder takes them back unchanged.
  Recorder recorder;
  ASSERT_TRUE(JsonDecode(out, recorder, nullptr));
  EXPECT_EQ(recorder.out, "\"" + std::string("a\"\\/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", 14) + "\"");
}

TEST(JsonEncode, NumbersByTheGrammar) {
  for (const char* yes : {"0", "-0", "12", "1.50", "2e9", "-1.5E-3", "1e+2"}) {
    EXPECT_TRUE(IsJsonNumber(yes)) << yes;
  }
  for (const char* no : {"", "+1", "01", ".5", "1.", "Infinity", "NaN", " 1", "1 ", "0x10", "-"}) {
    EXPECT_FALSE(IsJsonNumber(no)) << no;
  }
}

}  // namespace
}  // namespace lumostd
