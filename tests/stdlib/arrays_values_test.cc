// Arrays, structures, values, files, sleep and identifiers through
// programs, with their bad arguments.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "tests/stdlib/script_runner.h"

namespace lumostd_test {
namespace {

struct BadCase {
  const char* script;
  const char* message;
};

void ExpectErrors(const BadCase* cases, size_t count, const std::string& data = "") {
  for (size_t i = 0; i < count; ++i) {
    const Outcome outcome = RunScript(cases[i].script, data);
    const std::string first = outcome.output.substr(0, outcome.output.find('\n'));
    EXPECT_NE(outcome.status, 0) << cases[i].script;
    EXPECT_NE(first.find(cases[i].message), std::string::npos) << cases[i].script << "\n" << first;
  }
}

TEST(StdlibArrays, CountMembersSortReverseSearchSlice) {
  EXPECT_EQ(Printed(R"(
$a = split("pear,Apple,fig,apple,10,9,100", ",")
$s = jsondecode("{\"b\":\"x\",\"A\":\"y\",\"c\":\"x\"}")
count($a)
count($s)
count("")
jsonencode(members($a))
jsonencode(members($s))
jsonencode(sort($a, ""))
jsonencode(sort($a, "i"))
jsonencode(sort($a, "id"))
jsonencode(sort(split("10,9,100,-1.5,x", ","), "n"))
jsonencode(sort(split("10,9,100", ","), "nd"))
jsonencode(sort($s, ""))
jsonencode(reverse($a))
jsonencode(reverse(""))
search($a, "fig")
search($a, "nope")
search($s, "x")
search($s, "nope")
jsonencode(slice($a, 2, 3))
jsonencode(slice($a, 6, 99))
jsonencode(slice($a, 99, 1))
jsonencode(slice($a, 1, 0))
jsonencode($a)
)"),
            "7\n3\n0\n[1,2,3,4,5,6,7]\n[\"A\",\"b\",\"c\"]\n"
            "[10,100,9,\"Apple\",\"apple\",\"fig\",\"pear\"]\n"
            "[10,100,9,\"Apple\",\"apple\",\"fig\",\"pear\"]\n"
            "[\"pear\",\"fig\",\"Apple\",\"apple\",9,100,10]\n"
            "[-1.5,\"x\",9,10,100]\n[100,10,9]\n"
            "[\"x\",\"x\",\"y\"]\n"
            "[100,9,10,\"apple\",\"fig\",\"Apple\",\"pear\"]\n[]\n"
            "3\n-1\nb\n\n[\"Apple\",\"fig\",\"apple\"]\n[9,100]\n[]\n[]\n"
            "[\"pear\",\"Apple\",\"fig\",\"apple\",10,9,100]\n");
}

TEST(StdlibArrays, ResultsAreCopiesAndPushPopChangeTheVariable) {
  EXPECT_EQ(Printed(R"(
$a = jsondecode("[[1],2]")
$b = reverse($a)
push(&$b, "new")
jsonencode($a)
jsonencode($b)
$e = ""
push(&$e, 1)
push(&$e, jsondecode("{\"k\":[1]}"))
jsonencode($e)
jsonencode(pop(&$e))
pop(&$e)
pop(&$e)
count($e)
type($e)
)"),
            "3\n[[1],2]\n[2,[1],\"new\"]\n1\n2\n[1,{\"k\":[1]}]\n{\"k\":[1]}\n1\n\n0\narray\n");
}

TEST(StdlibArrays, BadArguments) {
  const BadCase cases[] = {
      {"count(\"abc\")", "count: the array is not an array or structure"},
      {"members(12)", "members: the array is not an array or structure"},
      {"sort(split(\"a\", \",\"), \"x\")", "sort: the mode has an unknown letter 'x' (n, d and i are known)"},
      {"sort(\"abc\", \"\")", "sort: the array is not an array or structure"},
      {"reverse(\"abc\")", "reverse: the array is not an array or structure"},
      {"search(\"abc\", \"a\")", "search: the array is not an array or structure"},
      {"slice(split(\"a\", \",\"), 0, 1)", "slice: the start must be 1 or more"},
      {"slice(split(\"a\", \",\"), 1, -1)", "slice: the count must not be negative"},
      {"$s = \"text\"\npush(&$s, 1)", "push: the array is not an array"},
      {"$s = jsondecode(\"{}\")\npush(&$s, 1)", "push: the array is not an array"},
      {"$s = \"text\"\npop(&$s)", "pop: the array is not an array"},
  };
  ExpectErrors(cases, sizeof cases / sizeof cases[0]);
}

TEST(StdlibValues, TypeDefinedCoalesce) {
  EXPECT_EQ(Printed(R"(
$x = "set"
$n = 12
$s = jsondecode("{\"inner\":{\"k\":1}}")
type($x)
type($n)
type(" 1.5")
type("")
type(split("a", ","))
type($s)
defined("x")
defined("nothing_here")
defined("s:inner:k")
defined("s:inner:nope")
defined("s[1]")
defined("a[x]")
defined("")
defined("nothing_here")
coalesce("", "fallback")
coalesce($x, "fallback")
coalesce(jsondecode("[]"), "empty array")
jsonencode(coalesce($s, ""))
)"),
            "text\nnumber\nnumber\nempty\narray\nstructure\n1\n0\n1\n0\n0\n0\n0\n0\nfallback\nset\nempty array\n"
            "{\"inner\":{\"k\":1}}\n");
  const BadCase cases[] = {
      {"defined(split(\"a\", \",\"))", "defined: the name is an array or structure"},
  };
  ExpectErrors(cases, 1);
}

TEST(StdlibFiles, ReadWriteAppendListDeleteInsideTheDataDirectory) {
  const std::string data = ScratchDirectory();
  std::filesystem::create_directory(data + "/sub");
  std::ofstream(data + "/sub/b.txt") << "B";
  std::ofstream(data + "/sub/a.txt") << "A";
  const Outcome outcome = RunScript(R"(
fileexists("notes.txt")
filewrite("notes.txt", "first\n")
fileappend("notes.txt", "second\n")
fileread("notes.txt")
fileexists("notes.txt")
fileappend("fresh.txt", "made")
fileread("fresh.txt")
filewrite("notes.txt", "")
len(fileread("notes.txt"))
jsonencode(dirlist("sub"))
filedelete("notes.txt")
fileexists("notes.txt")
fileexists("../outside.txt")
)", data);
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_EQ(outcome.output, "0\n1\n1\nfirst\nsecond\n\n1\n1\nmade\n1\n0\n[\"a.txt\",\"b.txt\"]\n1\n0\n0\n");
  EXPECT_TRUE(std::filesystem::exists(data + "/fresh.txt"));
}

TEST(StdlibFiles, TheSandboxHolds) {
  // Two levels down in a directory of the test's own, so that what a
  // refused write would have made ("../x.txt", "../../x.txt") could only
  // land where nothing else writes.
  const std::string outside = ScratchDirectory();
  const std::string data = outside + "/data/inner";
  std::filesystem::create_directories(data);
  const BadCase cases[] = {
      {"fileread(\"../etc/passwd\")", "fileread: The specified path references a path outside the configured data directory"},
      {"filewrite(\"../x.txt\", \"no\")", "filewrite: The specified path references a path outside"},
      {"fileappend(\"../../x.txt\", \"no\")", "fileappend: The specified path references a path outside"},
      {"filedelete(\"../x.txt\")", "filedelete: The specified path references a path outside"},
      {"dirlist(\"..\")", "dirlist: The specified path references a path outside"},
      {"fileread(\"missing.txt\")", "fileread: "},
      {"filedelete(\"missing.txt\")", "filedelete: "},
      {"fileread(\"\")", "fileread: the path is empty"},
      {"fileread(jsondecode(\"[1]\"))", "fileread: the path is an array or structure"},
  };
  ExpectErrors(cases, sizeof cases / sizeof cases[0], data);
  EXPECT_FALSE(std::filesystem::exists(outside + "/data/x.txt"));
  EXPECT_FALSE(std::filesystem::exists(outside + "/x.txt"));
}

TEST(StdlibMisc, SleepAndUuid) {
  const auto start = std::chrono::steady_clock::now();
  const std::string out = Printed("sleep(0.2)\nsleep(0)\nuuid()\nuuid()");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  const std::regex shape(
      "1\n1\n([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})\n"
      "([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(out, match, shape)) << out;
  EXPECT_NE(match[1].str(), match[2].str());
  const BadCase cases[] = {
      {"sleep(-1)", "sleep: the number of seconds must not be negative"},
      {"sleep(\"long\")", "sleep: the number of seconds 'long' is not a number"},
  };
  ExpectErrors(cases, 2);
}

TEST(StdlibMisc, SleepEndsWithTheRun) {
  // A sleep far past the run's time-out ends at the time-out, says it was
  // cut short, and the run stops right after.
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = RunScript("sleep(3600)\n\"after\"", "", 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_NE(outcome.output.find("timed out"), std::string::npos) << outcome.output;
  EXPECT_EQ(outcome.output.rfind("0\n", 0), 0u) << outcome.output;
}

}  // namespace
}  // namespace lumostd_test
