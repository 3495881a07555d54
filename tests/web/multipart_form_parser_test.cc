#include "web/multipart_form_parser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "files/fault_injecting_file_manager.h"
#include "tests/core/vm/run_program.h"
#include "tests/files/scratch.h"
#include "tests/web/form_feed.h"

namespace lumo {
namespace {

// Notes each deleted file as "[content]" before it goes.
class RecordingFiles : public PosixFileManager {
 public:
  bool DeletePath(const String& full) override {
    std::ifstream in(full.Text(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    deleted += "[" + content.str() + "]";
    return PosixFileManager::DeletePath(full);
  }
  std::string deleted;
};

// A function that appends "Letter(arg,arg,...) " to the global log and
// returns the global max.
std::string Recorder(const char* name, char letter, int parameters) {
  std::string source = std::string(".function ") + name + "(";
  for (int i = 0; i < parameters; ++i) source += (i ? ", p" : "p") + std::to_string(i);
  source += ")\n  pushg log\n  pushc \"" + std::string(1, letter) + "(\"\n  cat\n";
  for (int i = 0; i < parameters; ++i) {
    if (i) source += "  pushc \",\"\n  cat\n";
    source += "  pushl p" + std::to_string(i) + "\n  cat\n";
  }
  return source + "  pushc \") \"\n  cat\n  popg log\n  pushg max\n  ret\n.end\n";
}

enum Program { kNoFunctions, kBoth, kValidateOnly, kBadValidate, kBadProcess };

std::string Source(Program program) {
  std::string source = ".global log, max\n";
  if (program == kNoFunctions) return source;
  source += Recorder("Lumo_ValidateFileUpload", 'V', program == kBadValidate ? 2 : 3);
  if (program == kValidateOnly) return source;
  return source + Recorder("Lumo_ProcessFileUpload", 'P', program == kBadProcess ? 5 : 6);
}

constexpr const char* kType = "multipart/form-data; boundary=XyZ";

struct FormCase {
  std::string body;
  std::string expected;
  Program program = kBoth;
  const char* max = "0";
  int32_t limit = 0;
  std::string type = kType;
  bool temporary_directory = true;
  // The server's limits (0: none): one file, all files, fields in memory.
  int64_t max_upload = 0;
  int64_t max_upload_total = 0;
  int64_t max_form = 0;
};

// "form variables | log of the upload calls | deleted files", then
// " !error" after a failure; the same for every split of the body, and the
// temporary directory empty once the parser is gone.
std::string Parsed(const FormCase& c) {
  // One program and one directory serve every split: each run starts from
  // emptied globals and must leave the directory empty.
  Machine m;
  if (!m.Assemble(Source(c.program))) return "assembly: " + std::string(m.error.View());
  Scratch scratch;
  return SameForEverySplit(c.body, [&](const Pieces& pieces) {
    RecordingFiles files;
    if (c.temporary_directory) {
      EXPECT_TRUE(files.SetTemporaryDirectory(scratch.Root()));
    }
    m.globals.Dump();
    m.globals.SetVariable("max", -1, c.max, -1);
    std::string outcome;
    {
      FormLimits limits(c.limit);
      limits.max_upload = c.max_upload;
      limits.max_upload_total = c.max_upload_total;
      limits.max_form_bytes = c.max_form;
      MultipartFormParser parser(&m.Vm(), &files, &m.globals, c.type, 0, &limits);
      const std::string error = Feed(parser, pieces);
      const std::string log = m.Global("log");
      outcome = Variables(m.globals, 2) + " | " + (log == "<none>" ? "" : log) + "| " + files.deleted;
      if (!error.empty()) outcome += " " + error;
    }
    if (!std::filesystem::is_empty(scratch.Root())) outcome += " (files left)";
    return outcome;
  });
}

std::string Field(std::string_view name, std::string_view value) {
  return "Content-Disposition: form-data; name=\"" + std::string(name) + "\"\r\n\r\n" +
         std::string(value);
}
std::string Upload(std::string_view name, std::string_view file, std::string_view data,
                   std::string_view type = "text/plain") {
  return "Content-Disposition: form-data; name=\"" + std::string(name) + "\"; filename=\"" +
         std::string(file) + "\"\r\nContent-Type: " + std::string(type) + "\r\n\r\n" +
         std::string(data);
}
// The parts between "--XyZ" lines, then "--XyZ" + end.
std::string Form(std::initializer_list<std::string> parts, std::string_view end = "--\r\n") {
  std::string body;
  for (const std::string& part : parts) body += "--XyZ\r\n" + part + "\r\n";
  return body + "--XyZ" + std::string(end);
}

TEST(MultipartFormParser, FieldsWhateverTheirData) {
  const FormCase cases[] = {
      {Form({Field("a", "1"), Field("A", "2"), Field("c", "")}), "a[]=1,2 c= | | "},
      // Near-matches of the separator are data; a CR just before it too.
      {Form({Field("b", "x\r\n--XyY\r\n--Xy\r\r\n-"), Field("d", "x\r")}),
       "b=x\r\n--XyY\r\n--Xy\r\r\n- d=x\r | | "},
      {Form({Field("e", "v")}, "--trailing\r\n--XyZ junk"), "e=v | | "},
      // The body may stop early: fields whose separator was followed by
      // nothing yet, or that never ended, are dropped.
      {Form({Field("a", "1"), Field("b", "2")}, ""), "a=1 | | "},
      {"--XyZ\r\n" + Field("a", "partial"), " | | "},
      // Names: quotes stripped as a pair, too short for quotes gives "",
      // and a name is a path.
      {Form({"Content-Disposition: form-data; name=abc\r\n\r\n1",
             "Content-Disposition: form-data;name=\"\"; x=y\r\n\r\n2",
             "Content-Disposition: form-data; name=x\r\n\r\n3", Field("s:k", "4"),
             Field("t[2]", "5")}),
       "b=1 []=2,3 s[]=4 t[]=5 | | "},
      {Form({Field("a", "1"), Field("b", "2")}), "a=1 b=2 | | ", kBoth, "0", 2},
      {Form({Field("a", "1"), Field("b", "2")}),
       "a=1 | |  !Maximum number of POST variables exceeded", kBoth, "0", 1},
      // Without a boundary parameter the first line is the separator.
      {"--abc\r\n" + Field("a", "1") + "\r\n--abc--", "a=1 | | ", kBoth, "0", 0,
       "multipart/form-data"},
      {"sep\r\n" + Field("a", "1") + "\r\nsep--", "a=1 | | ", kBoth, "0", 0,
       "multipart/form-data; charset=utf-8"},
  };
  for (const FormCase& c : cases) EXPECT_EQ(Parsed(c), c.expected) << c.body;
}

TEST(MultipartFormParser, EveryMalformedBodyFails) {
  const FormCase cases[] = {
      {"preamble\r\n" + Form({Field("a", "1")}), " | |  !Failed to find boundary separator"},
      {"--XyZZ\r\n" + Field("a", "1"), " | |  !Failed to find boundary separator"},
      {"--XyZ\rx", " | |  !Found x when expected LF"},
      {"--XyZ\r\nContent-Type: t\r\n\rx", " | |  !Found x when expected LF"},
      {"--XyZ\r\n: x\r\n", " | |  !Found : when expecting file header type"},
      {Form({"Content-Transfer-Encoding: binary\r\n" + Field("a", "1")}),
       " | |  !Premature end of line when expecting file header type"},
      {Form({Field("a", "1")}, "x"), "a=1 | |  !Found x when expected CR or '-'"},
      {Form({Field("a", "1")}, "-x"), "a=1 | |  !Found x when expected '-'"},
  };
  for (const FormCase& c : cases) EXPECT_EQ(Parsed(c), c.expected) << c.body;
}

TEST(MultipartFormParser, FilesGoToTheProgram) {
  const std::string data = std::string("bin\0\r\n--XyY\r\r\n", 14);
  const std::string v = "V(up,a.txt,text/plain) ";
  const FormCase cases[] = {
      {Form({Upload("up", "a.txt", data), Field("b", "2")}),
       "b=2 | " + v + "P(up,a.txt,COMPLETE,LUMO_FUP.0,text/plain,14) | [" + data + "]"},
      {Form({Upload("up", "a.txt", std::string(150, 'x'))}),
       " | " + v + "P(up,a.txt,PARTIAL,LUMO_FUP.0,text/plain,150) | [" + std::string(100, 'x') + "]",
       kBoth, "100"},
      {Form({Upload("up", "a.txt", std::string(100, 'x'))}),
       " | " + v + "P(up,a.txt,COMPLETE,LUMO_FUP.0,text/plain,100) | [" + std::string(100, 'x') + "]",
       kBoth, "100"},
      {Form({Upload("up", "a.txt", "1"), Upload("up", "b", "22", "image/ png")}),
       " | " + v + "P(up,a.txt,COMPLETE,LUMO_FUP.0,text/plain,1) V(up,b,image/png) " +
           "P(up,b,COMPLETE,LUMO_FUP.0,image/png,2) | [1][22]"},
      // Skipped by the program, or no program function at all: read and
      // dropped, no variable either way.
      {Form({Field("a", "1"), Upload("up", "a.txt", "data"), Field("b", "2")}),
       "a=1 b=2 | " + v + "| ", kBoth, "-1"},
      {Form({Field("a", "1"), Upload("up", "a.txt", "data"), Field("b", "2")}), "a=1 b=2 | | ",
       kNoFunctions},
      {Form({Upload("up", "a.txt", "data")}), " | " + v + "| [data]", kValidateOnly},
      // An empty file name is a normal field.
      {Form({Upload("up", "", "data")}), "up=data | | "},
      // Files do not count against the limit.
      {Form({Upload("up", "a.txt", "1"), Field("a", "1")}),
       "a=1 | " + v + "P(up,a.txt,COMPLETE,LUMO_FUP.0,text/plain,1) | [1]", kBoth, "0", 1},
      // A body that stops inside a file: never reported, still deleted.
      {"--XyZ\r\n" + Upload("up", "a.txt", "half"), " | " + v + "| [half]"},
      {Form({Upload("up", "a.txt", "data")}), " | |  !Failed call to ValidateFileUpload",
       kBadValidate},
      {Form({Upload("up", "a.txt", "data")}), " | " + v + "| [data] !Failed call to ProcessFileUpload",
       kBadProcess},
      {Form({Upload("up", "a.txt", "data")}), " | " + v + "|  !Failed to create temporary file",
       kBoth, "0", 0, kType, false},
  };
  for (const FormCase& c : cases) EXPECT_EQ(Parsed(c), c.expected) << c.body;
}

// The server's caps cut a file exactly as the program's own maximum does,
// whichever is smaller; the cap on all files of a request spans its parts.
TEST(MultipartFormParser, ServerCapsCutUploadsLikeTheProgramsMaximum) {
  const std::string v = "V(up,a.txt,text/plain) ";
  const std::string x100(100, 'x'), x150(150, 'x');
  FormCase cases[] = {
      {Form({Upload("up", "a.txt", x150)}),
       " | " + v + "P(up,a.txt,PARTIAL,LUMO_FUP.0,text/plain,150) | [" + x100 + "]"},
      {Form({Upload("up", "a.txt", x150)}),
       " | " + v + "P(up,a.txt,PARTIAL,LUMO_FUP.0,text/plain,150) | [" + x100.substr(50) + "]",
       kBoth, "50"},
      {Form({Upload("up", "a.txt", x100), Upload("up", "a.txt", x100), Upload("up", "a.txt", "1")}),
       " | " + v + "P(up,a.txt,COMPLETE,LUMO_FUP.0,text/plain,100) " + v +
           "P(up,a.txt,PARTIAL,LUMO_FUP.0,text/plain,100) " + v +
           "P(up,a.txt,PARTIAL,LUMO_FUP.0,text/plain,1) | [" + x100 + "][" + x100.substr(80) + "][]"},
  };
  cases[0].max_upload = 100;
  cases[1].max_upload = 100;
  cases[2].max_upload_total = 120;
  for (const FormCase& c : cases) EXPECT_EQ(Parsed(c), c.expected) << c.body.substr(0, 60);
}

// A file system that fails at any call while an upload is made or written:
// the program hears of a file cut short (or of none at all), and the
// temporary file never outlives the request. (The delete that ends the
// request is the clean-up itself; a file system that refuses it keeps the
// file whatever the server does.)
TEST(MultipartFormParser, UploadsSurviveAFailingFileSystem) {
  Machine m;
  ASSERT_TRUE(m.Assemble(Source(kBoth))) << m.error.View();
  Scratch scratch;
  const std::string body = Form({Upload("up", "a.txt", std::string(300, 'x'))});
  const Pieces pieces = {std::string_view(body).substr(0, 150), std::string_view(body).substr(150, 100),
                         std::string_view(body).substr(250)};
  for (int64_t n = 1;; ++n) {
    FaultInjectingFileManager files;
    ASSERT_TRUE(files.SetTemporaryDirectory(scratch.Root()));
    files.FailAt(n, FaultInjectingFileManager::kFaultOpen | FaultInjectingFileManager::kFaultWrite);
    m.globals.Dump();
    m.globals.SetVariable("max", -1, "0", -1);
    std::string error;
    {
      FormLimits limits(0);
      MultipartFormParser parser(&m.Vm(), &files, &m.globals, kType, 0, &limits);
      error = Feed(parser, pieces);
    }
    const std::string log = m.Global("log");
    EXPECT_TRUE(std::filesystem::is_empty(scratch.Root())) << "call " << n;
    if (!files.Failed()) {
      EXPECT_EQ(error, "");
      EXPECT_NE(log.find("COMPLETE"), std::string::npos) << log;
      break;
    }
    if (n == 1) {
      EXPECT_EQ(error, "!Failed to create temporary file");
    } else {
      EXPECT_NE(log.find("PARTIAL"), std::string::npos) << "call " << n << ": " << log;
    }
    ASSERT_LT(n, 20);
  }
}

// The upload hook receives the size as a number, as a script would pass it.
TEST(MultipartFormParser, ProcessHookGetsTheSizeAsAnInteger) {
  Machine m;
  ASSERT_TRUE(m.Assemble(".global size\n"
                         ".function Lumo_ValidateFileUpload(a, b, c)\n  pushc 0\n  ret\n.end\n"
                         ".function Lumo_ProcessFileUpload(a, b, c, d, e, n)\n"
                         "  pushl n\n  popg size\n  pushc 0\n  ret\n.end\n"))
      << m.error.View();
  Scratch scratch;
  PosixFileManager files;
  ASSERT_TRUE(files.SetTemporaryDirectory(scratch.Root()));
  FormLimits limits(0);
  const std::string body = Form({Upload("up", "a.txt", "12345")});
  {
    MultipartFormParser parser(&m.Vm(), &files, &m.globals, kType, 0, &limits);
    EXPECT_EQ(Feed(parser, {body}), "");
  }
  Variable* size = nullptr;
  m.globals.Find(&size, "size", 4, false);
  ASSERT_NE(size, nullptr);
  EXPECT_EQ(size->ValueType(), kValueInteger);
  EXPECT_EQ(size->Value_Integer(), 5);
}

// Fields held in memory count their names and values against the form
// limit; nested names are bounded as in URL-encoded bodies.
TEST(MultipartFormParser, FieldsInMemoryAndNestedNamesAreBounded) {
  std::string deep = "a";
  for (int i = 0; i < 33; ++i) deep += "[1]";
  FormCase cases[] = {
      {Form({Field("a", "12345"), Field("b", "6789")}), "a=12345 b=6789 | | "},
      {Form({Field("a", "12345"), Field("b", "67890")}),
       "a=12345 | |  !POST form data exceeds configured maximum"},
      {Form({Field(std::string(20, 'n'), "")}), " | |  !POST form data exceeds configured maximum"},
      {Form({Field(deep, "v")}), " | |  !Maximum number of POST variables exceeded"},
      {Form({Field(deep.substr(0, deep.size() - 3), "v")}), "a[]=v | | "},
  };
  for (int i = 0; i < 3; ++i) cases[i].max_form = 11;
  for (const FormCase& c : cases) EXPECT_EQ(Parsed(c), c.expected) << c.body.substr(0, 60);
}

// A hostile body cannot make a header buffer, or a separator learned from
// the body, grow without bound.
TEST(MultipartFormParser, LongHeaderPartsAreRefused) {
  const std::string too_long = " | |  !Multipart header line too long";
  const std::string limit(MultipartFormParser::kMaxHeaderPart, 'h');
  const std::string separator(MultipartFormParser::kMaxLearnedSeparator, 's');
  const FormCase cases[] = {
      {"--XyZ\r\n" + limit + "\r\n", " | |  !Premature end of line when expecting file header type"},
      {"--XyZ\r\n" + limit + "h", too_long},
      {"--XyZ\r\nContent-Type: " + limit + "t", too_long},
      {"--XyZ\r\nContent-Disposition: form-data; " + limit + "n", too_long},
      {"--XyZ\r\nContent-Disposition: form-data; name=" + limit + "v", too_long},
      {separator + "\r\n" + Field("a", "1") + "\r\n" + separator + "--", "a=1 | | ", kBoth, "0", 0,
       "multipart/form-data"},
      {separator + "s\r\n", " | |  !Failed to find boundary separator", kBoth, "0", 0,
       "multipart/form-data"},
  };
  for (const FormCase& c : cases) EXPECT_EQ(Parsed(c), c.expected) << c.body.substr(0, 60);
}

// The upload functions run under the program's own time-out, armed for
// them; a body without a file to hand over arms nothing.
TEST(MultipartFormParser, UploadCallsArmTheProgramTimeOut) {
  for (const bool with_file : {false, true}) {
    Scratch scratch;
    RecordingFiles files;
    ASSERT_TRUE(files.SetTemporaryDirectory(scratch.Root()));
    Machine m;
    ASSERT_TRUE(m.Assemble(Source(kBoth)));
    const std::string body = Form({with_file ? Upload("up", "a.txt", "1") : Field("a", "1")});
    MultipartFormParser parser(&m.Vm(), &files, &m.globals, kType, 0);
    EXPECT_EQ(Feed(parser, {body}), "");
    EXPECT_EQ(m.context.TimeRemaining() >= 0, with_file);
  }
}

TEST(MultipartFormParser, FindBoundary) {
  const struct {
    const char* type;
    const char* boundary;  // null: none
  } cases[] = {
      {"multipart/form-data; boundary=abc", "abc"},
      {"multipart/form-data;BOUNDARY=abc;charset=x", "abc"},
      {"multipart/form-data; charset=x;\t boundary=\"a\\\"b;c\" ; x", "a\"b;c"},
      {"multipart/form-data; xboundary=1; boundary=2", "2"},
      {"multipart/form-data; boundary=", ""},
      {"multipart/form-data; boundary=a b ", "a b "},
      {"multipart/form-data", nullptr},
      {"multipart/form-data; boundary", nullptr},
      {"multipart/form-data; boundary =x", nullptr},
      {"boundary=x", nullptr},
  };
  for (const auto& c : cases) {
    String boundary("unchanged");
    EXPECT_EQ(MultipartFormParser::FindBoundary(c.type, &boundary), c.boundary != nullptr) << c.type;
    EXPECT_EQ(S(boundary), c.boundary ? c.boundary : "unchanged") << c.type;
  }
}

}  // namespace
}  // namespace lumo
