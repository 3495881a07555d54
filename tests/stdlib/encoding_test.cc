// Encodings, hashes and JSON through programs: known vectors, round trips
// of nested values and hostile JSON.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/stdlib/script_runner.h"

namespace lumostd_test {
namespace {

TEST(StdlibEncoding, CodecsAndHashes) {
  EXPECT_EQ(Printed(R"(
urlencode("a b&c=d/\xc3\xa9~")
urldecode("a+b%26c%3Dd%2F%C3%A9%7E%zz%4")
htmlencode("<a href=\"x\">(1 & 2)</a>")
htmldecode("&lt;p&gt;&#40;x&#41; &amp;amp; &quot;&apos;&#233;&copy;&#x41")
base64encode("Lumo")
base64decode("THVtbw")
base64decode("THVt\nbw==")
base64encode("")
hexencode("Hi\xff")
hexdecode("4869FF")
md5("")
sha1("abc")
sha256("abc")
hmacsha256("key", "The quick brown fox jumps over the lazy dog")
hmacsha256("", "")
)"),
            "a+b%26c%3Dd%2F%C3%A9%7E\na b&c=d/\xc3\xa9~%zz%4\n"
            "&lt;a href=&quot;x&quot;&gt;&#40;1 &amp; 2&#41;&lt;/a&gt;\n"
            "<p>(x) &amp; \"'\xc3\xa9&copy;&#x41\nTHVtbw==\nLumo\nLumo\n\n4869ff\nHi\xff\n"
            "d41d8cd98f00b204e9800998ecf8427e\na9993e364706816aba3e25717850c26c9cd0d89d\n"
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
            "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8\n"
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad\n");
}

TEST(StdlibEncoding, BadArguments) {
  const struct {
    const char* script;
    const char* message;
  } cases[] = {
      {"base64decode(\"Zm9v!\")", "base64decode: the text is not valid Base64"},
      {"base64decode(\"Z\")", "base64decode: the text is not valid Base64"},
      {"hexdecode(\"abc\")", "hexdecode: the text is not an even number of hexadecimal digits"},
      {"hexdecode(\"zz\")", "hexdecode: the text is not an even number of hexadecimal digits"},
      {"md5(jsondecode(\"[1]\"))", "md5: the text is an array or structure, not text"},
      {"hmacsha256(jsondecode(\"[1]\"), \"x\")", "hmacsha256: the key is an array or structure"},
      {"urlencode(jsondecode(\"{}\"))", "urlencode: the text is an array or structure"},
  };
  for (const auto& c : cases) {
    const std::string error = ErrorOf(c.script);
    EXPECT_NE(error.find(c.message), std::string::npos) << c.script << "\n" << error;
  }
}

TEST(StdlibJson, RoundTripOfNestedArraysAndStructures) {
  EXPECT_EQ(Printed(R"(
$v = jsondecode("{\"name\":\"Ada \\\"L\\\"\",\"tags\":[\"x\",[],{}],\"n\":{\"i\":-12,\"d\":1.50,\"e\":2e9,\"big\":12345678901234567890},\"t\":true,\"f\":false,\"z\":null,\"u\":\"\\u00e9\\ud83d\\ude00\\n\"}")
$j = jsonencode($v)
$j
jsonencode(jsondecode($j))
type($v)
type($v)
count($v)
join(members($v), ",")
jsonencode(jsondecode("[[[[1]]],[2,[3,[4]]]]"))
jsonencode(jsondecode(" \"just text\" "))
jsonencode(jsondecode("-0"))
jsonencode(jsondecode("{\"A\":1,\"a\":2}"))
jsonencode("007")
jsonencode("12")
jsonencode("Infinity")
jsonencode("")
jsonencode(split("a\tb", ""))
)"),
            "{\"f\":0,\"n\":{\"big\":12345678901234567890,\"d\":1.50,\"e\":2e9,\"i\":-12},"
            "\"name\":\"Ada \\\"L\\\"\",\"t\":1,\"tags\":[\"x\",[],{}],"
            "\"u\":\"\xC3\xA9\xF0\x9F\x98\x80\\n\",\"z\":\"\"}\n"
            "{\"f\":0,\"n\":{\"big\":12345678901234567890,\"d\":1.50,\"e\":2e9,\"i\":-12},"
            "\"name\":\"Ada \\\"L\\\"\",\"t\":1,\"tags\":[\"x\",[],{}],"
            "\"u\":\"\xC3\xA9\xF0\x9F\x98\x80\\n\",\"z\":\"\"}\n"
            "structure\nstructure\n7\nf,n,name,t,tags,u,z\n[[[[1]]],[2,[3,[4]]]]\n\"just text\"\n"
            "-0\n{\"A\":2}\n\"007\"\n12\n\"Infinity\"\n\"\"\n[\"a\",\"\\t\",\"b\"]\n");
}

TEST(StdlibJson, ValuesComeBackAsTheyWere) {
  // Decoded members are ordinary values: arithmetic, element access and
  // a second encode all see what the text said.
  EXPECT_EQ(Printed(R"(
$v = jsondecode("{\"list\":[10,\"20\",30.5],\"big\":1e400}")
jsonencode(slice(members($v), 1, 1))
count(sort($v, ""))
jsonencode(sort($v, ""))
isnum(jsonencode(jsondecode("1e400")))
)"),
            "[\"big\"]\n2\n[[10,20,30.5],1e400]\n1\n");
}

TEST(StdlibJson, HostileInputEndsWithAnError) {
  const std::string data = ScratchDirectory();
  auto write = [&](const char* name, const std::string& content) {
    std::ofstream(data + "/" + name, std::ios::binary) << content;
  };
  write("deep.json", std::string(100000, '['));
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  write("objects.json", objects);
  write("number.json", "-" + std::string(1 << 20, '9') + ".5e-3");
  write("escape.json", "[\"ok\",\"\\q\"]");
  write("surrogate.json", "\"\\ud83d\"");
  write("truncated.json", "{\"a\":[1,2,{\"b\":\"c");
  write("nested.json", std::string(512, '[') + std::string(512, ']'));
  const struct {
    const char* file;
    const char* message;
  } cases[] = {
      {"deep.json", "jsondecode: Invalid JSON at byte 512: arrays and objects nest too deep"},
      {"objects.json", "jsondecode: Invalid JSON at byte 2560: arrays and objects nest too deep"},
      {"escape.json", "jsondecode: Invalid JSON at byte 8: unknown escape in a string"},
      {"surrogate.json", "a high surrogate without its low half"},
      {"truncated.json", "jsondecode: Invalid JSON at byte 17: the text ends inside a string"},
  };
  for (const auto& c : cases) {
    const Outcome outcome =
        RunScript("$v = jsondecode(fileread(\"" + std::string(c.file) + "\"))\n\"not reached\"", data);
    EXPECT_NE(outcome.status, 0) << c.file;
    EXPECT_NE(outcome.output.find(c.message), std::string::npos) << c.file << ": " << outcome.output;
    EXPECT_EQ(outcome.output.find("not reached"), std::string::npos);
  }
  // A megabyte number is kept whole; 512 levels are the most that decode.
  const Outcome big = RunScript(R"(
len(jsonencode(jsondecode(fileread("number.json"))))
len(jsonencode(jsondecode(fileread("nested.json"))))
)", data);
  EXPECT_EQ(big.output, std::to_string((1 << 20) + 6) + "\n1024\n");
  // Encoding refuses what it could not read back.
  std::string deeper = "$a = jsondecode(\"" + std::string(512, '[') + std::string(512, ']') + "\")\n";
  deeper += "$b = jsondecode(\"[]\")\npush(&$b, $a)\njsonencode($b)";
  const Outcome encoded = RunScript(deeper, data);
  EXPECT_NE(encoded.output.find("jsonencode: the value nests deeper than 512 levels"),
            std::string::npos) << encoded.output;
}

}  // namespace
}  // namespace lumostd_test
