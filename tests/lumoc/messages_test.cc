// What lumoc says about faulty pages, where it says it, and the code it
// writes for the tags whose engines come later (checked in the listing).
#include <gtest/gtest.h>

#include <string>

#include "core/program/listing.h"
#include "tests/lumoc/page_host.h"

namespace lumo {
namespace {

struct Fault {
  const char* source;
  const char* message;  // "page.lum:LINE:COLUMN: text"
};

TEST(LumocMessages, EveryFaultWithItsPosition) {
  const Fault faults[] = {
      // Reading the page.
      {"a {{ 1 + 2", "page.lum:1:3: '{{' has no closing '}}'"},
      {"\n{{{ x }}", "page.lum:2:1: '{{{' has no closing '}}}'"},
      {"{{ 'a}} }}", "page.lum:1:1: '{{' has no closing '}}'"},
      {"x{{  }}", "page.lum:1:2: nothing to print in '{{ }}'"},
      {"{{{ }}}", "page.lum:1:1: nothing to print in '{{{ }}}'"},
      {"<LmIF test=\"1\"", "page.lum:1:1: '<LmIF' has no closing '>'"},
      {"<LmIF ! test=\"1\">", "page.lum:1:7: unexpected '!' in '<LmIF'"},
      {"<LmIF test>", "page.lum:1:7: attribute 'test' has no value"},
      {"<LmIF test=1>", "page.lum:1:12: the value of attribute 'test' must stand in quotes"},
      {"<LmIF test=\"1>", "page.lum:1:12: the value of attribute 'test' has no closing quote"},
      {"<LmIF test=\"1\" TEST=\"2\"></LmIF>", "page.lum:1:16: attribute 'test' is given twice"},
      {"a<LmCOMMENT>b", "page.lum:1:2: '<LmCOMMENT>' has no closing '</LmCOMMENT>'"},
      {"<LmASSEMBLY> noop", "page.lum:1:1: '<LmASSEMBLY>' has no closing '</LmASSEMBLY>'"},
      {"<LmINCLUDE>", "page.lum:1:1: 'LmINCLUDE' needs the attribute 'file'"},
      {"<LmINCLUDE file=\"x\" as=\"y\">", "page.lum:1:25: 'LmINCLUDE' has no attribute 'as'"},
      // Tags and attributes.
      {"<p>\n  <LmASIGN var=\"x\">", "page.lum:2:3: unknown tag 'LmASIGN'"},
      {"<LmIF test=\"1\" tset=\"2\"></LmIF>", "page.lum:1:22: 'LmIF' has no attribute 'tset'"},
      {"<lmwhile>", "page.lum:1:1: 'lmwhile' needs the attribute 'test'"},
      {"<LmEXIT errors=\"loud\">",
       "page.lum:1:17: 'errors' takes 'display', 'fatal' or 'none', not 'loud'"},
      {"<LmEXIT errors=\"none fatal\">", "page.lum:1:17: 'errors' cannot be 'none' and more"},
      {"<LmELSE>", "page.lum:1:1: 'LmELSE' stands outside any 'LmIF', 'LmIFDEF' or 'LmIFNDEF'"},
      {"<LmIFDEF var=\"x\"><LmELSEIF test=\"1\"></LmIFDEF>",
       "page.lum:1:18: 'LmELSEIF' stands outside any 'LmIF'"},
      {"<LmIF test=\"1\"><LmELSE><LmELSE></LmIF>",
       "page.lum:1:24: 'LmELSE' follows the 'LmELSE' of its block"},
      {"<LmIF test=\"1\"><LmWHILESTOP></LmIF>",
       "page.lum:1:16: 'LmWHILESTOP' stands outside any 'LmWHILE'"},
      {"<LmWHILE test=\"1\"><LmFUNCTION name=\"f\"><LmWHILECONTINUE></LmFUNCTION></LmWHILE>",
       "page.lum:1:19: 'LmFUNCTION' must stand outside other blocks"},
      {"<LmFORSTOP>", "page.lum:1:1: 'LmFORSTOP' stands outside any 'LmFOR'"},
      {"<LmIMPORTCONTINUE>", "page.lum:1:1: 'LmIMPORTCONTINUE' stands outside any 'LmIMPORT'"},
      {"<LmFUNCTIONRETURN>", "page.lum:1:1: 'LmFUNCTIONRETURN' stands outside any 'LmFUNCTION'"},
      {"<LmPOPDELETE>", "page.lum:1:1: 'LmPOPDELETE' stands outside any 'LmPOP'"},
      {"<LmDO file=\"a.lmc\" var=\"x\">", "page.lum:1:25: 'var' of 'LmDO' needs 'call'"},
      {"<LmREVEALSTRUCTURE alias=\"a\">",
       "page.lum:1:1: 'LmREVEALSTRUCTURE' needs either 'into' or 'var'"},
      {"<LmLOCALIZED token=\"\">", "page.lum:1:21: 'token' of 'LmLOCALIZED' is empty"},
      {"<LmLOCALIZED-TOKEN name=\"x\">",
       "page.lum:1:1: 'LmLOCALIZED-TOKEN' stands outside any 'LmLOCALIZED-TEXT'"},
      {"<LmLOCALIZED-TEXT language=\"en\" token=\"t\">a{{ b }}</LmLOCALIZED-TEXT>",
       "page.lum:1:44: only text and 'LmLOCALIZED-TOKEN' belong inside 'LmLOCALIZED-TEXT'"},
      {"<LmLOCALIZED-TEXT language=\"en\" token=\"t\"><LmLOCALIZED-TOKEN name=\"a b\">"
       "</LmLOCALIZED-TEXT>",
       "page.lum:1:43: 'LmLOCALIZED-TOKEN' takes one attribute, 'name', naming a variable"},
      {"<LmLOCALIZED-TEXT language=\"en\" token=\"t\">a</LmLOCALIZED-TEXT>"
       "<LmLOCALIZED-TEXT language=\"en\" token=\"t\">b</LmLOCALIZED-TEXT>",
       "page.lum:1:102: token 't' is already in language 'en'"},
      {"<LmLOCALIZED-TEXT language=\" \" token=\"t\">a</LmLOCALIZED-TEXT>",
       "page.lum:1:1: 'LmLOCALIZED-TEXT' needs a language and a token"},
      {"<LmASSIGN var=\"1x\" value=\"1\">", "page.lum:1:16: 'var' must name a variable, not '1x'"},
      {"<LmASSIGN var=\"a[]\" value=\"1\">", "page.lum:1:16: 'var' must name a variable, not 'a[]'"},
      {"<LmREFERENCE var=\"r\" to=\"1 + 2\">", "page.lum:1:26: '1 + 2' is not a variable"},
      {"<LmFOR var=\"a[1]\" from=\"1\" to=\"2\"></LmFOR>",
       "page.lum:1:13: the 'var' of 'LmFOR' must be a plain name"},
      {"<LmFOR var=\"i\" from=\"1\" to=\"2\" step=\"0\"></LmFOR>",
       "page.lum:1:38: 'step' must be a whole number other than 0"},
      {"<LmFOR var=\"i\" from=\"1\" to=\"2\" step=\"n\"></LmFOR>",
       "page.lum:1:38: 'step' must be a whole number other than 0"},
      {"<LmFOREACH var=\"x\" in=\"a\" index=\"k:m\"></LmFOREACH>",
       "page.lum:1:34: the 'index' of 'LmFOREACH' must be a plain name"},
      {"<LmFUNCTION name=\"f(a,)\"></LmFUNCTION>",
       "page.lum:1:19: 'name' of 'LmFUNCTION' must be NAME or NAME(PARAMETER, &PARAMETER, ...), "
       "not 'f(a,)'"},
      {"<LmFUNCTION name=\"f(a, A)\"></LmFUNCTION>",
       "page.lum:1:19: 'name' of 'LmFUNCTION' must be NAME or NAME(PARAMETER, &PARAMETER, ...), "
       "not 'f(a, A)'"},
      {"<LmFUNCTION name=\"f\"></LmFUNCTION>\n<LmFUNCTION name=\"F(x)\"></LmFUNCTION>",
       "page.lum:2:19: function 'F' is defined twice"},
      {"</LmELSE>", "page.lum:1:1: '</LmELSE>' closes no block"},
      {"</LmNOTHING>", "page.lum:1:1: '</LmNOTHING>' closes no block"},
      {"x</LmIF>", "page.lum:1:2: '</LmIF>' has no opening '<LmIF>'"},
      {"<LmWHILE test=\"1\">\n<LmIF test=\"1\"></LmWHILE>",
       "page.lum:2:16: '</LmWHILE>' where 'LmIF' of line 2 must be closed first"},
      {"<p>\n<LmFOREACH var=\"x\" in=\"y\">", "page.lum:2:1: '<LmFOREACH>' is not closed"},
      {"<LmIF test=\" \"></LmIF>", "page.lum:1:13: an expression is missing here"},
      {"<p>\n<LmASSEMBLY>\n  pushc \"x\"\n  jmp nowhere\n</LmASSEMBLY>",
       "page.lum:4:1: undefined label 'nowhere'"},
      {"<LmASSEMBLY>\n.function f\n</LmASSEMBLY>",
       "page.lum:2:1: '.function' has no place in code inside a page"},
      {"<LmASSEMBLY>pushg nothing</LmASSEMBLY>",
       "page.lum:1:1: unknown global variable 'nothing'"},
      {"<LmHIDE names=\"{{ a\">", "page.lum:1:16: '{{' has no closing '}}'"},
      // The expression compiler's own messages, at the expression's start.
      {"\n\n  <LmIF test=\"a EQ 'b\"></LmIF>", "page.lum:3:15: Mismatched Quotes found in Expression"},
      {"{{ nope(1) }}", "page.lum:1:3: Unable to find function 'nope'"},
      {"<LmFUNCTION name=\"f(a)\"></LmFUNCTION>{{ f(1, 2) }}",
       "page.lum:1:40: Function 'f' is defined with 1 parameters and was called with 2"},
      {"{{ 1 + }}", "page.lum:1:3: Argument expected in Expression"},
  };
  for (const Fault& f : faults) EXPECT_EQ(FirstFault(f.source), f.message) << f.source;
}

TEST(LumocMessages, ManyFaultsInOneRunWithSourceAndCaret) {
  LumoCompiler compiler;
  String image;
  EXPECT_FALSE(compiler.CompileSource("<LmFOO>\n\t<LmIF tset=\"1\">{{ ( }}\n</LmIF>", "dir/p.lum",
                                      &image));
  EXPECT_EQ(compiler.FormattedMessages(),
            "p.lum:1:1: unknown tag 'LmFOO'\n"
            "  <LmFOO>\n"
            "  ^\n"
            "p.lum:2:14: 'LmIF' has no attribute 'tset'\n"
            "  \t<LmIF tset=\"1\">{{ ( }}\n"
            "  \t            ^\n"
            "p.lum:2:2: 'LmIF' needs the attribute 'test'\n"
            "  \t<LmIF tset=\"1\">{{ ( }}\n"
            "  \t^\n"
            "p.lum:2:19: Mismatched Parenetheses in Expression\n"
            "  \t<LmIF tset=\"1\">{{ ( }}\n"
            "  \t                 ^\n");
}

TEST(LumocMessages, StopsCountingAfterTheLimit) {
  std::string page;
  for (int i = 0; i < 200; ++i) page += "<LmNOPE>\n";
  LumoCompiler compiler;
  String image;
  EXPECT_FALSE(compiler.CompileSource(page, "p.lum", &image));
  ASSERT_EQ(compiler.Messages().size(), 51u);
  EXPECT_EQ(compiler.Messages().back().text, "too many faults; the rest are not shown");
}

TEST(LumocMessages, IncludesNestedTooDeep) {
  TableReader reader;
  for (int i = 0; i < 70; ++i) {
    reader.files["p" + std::to_string(i) + ".lum"] =
        "<LmINCLUDE file=\"p" + std::to_string(i + 1) + ".lum\">";
  }
  EXPECT_EQ(FirstFault("<LmINCLUDE file=\"p0.lum\">", &reader),
            "p62.lum:1:1: includes nested deeper than 64 files");
}

TEST(LumocMessages, BlocksNestedTooDeep) {
  std::string page;
  for (int i = 0; i <= LumoCompiler::kMaxBlockDepth; ++i) page += "<LmIF test=\"1\">";
  const std::string fault = FirstFault(page);
  EXPECT_EQ(fault, "page.lum:1:" + std::to_string(15 * LumoCompiler::kMaxBlockDepth + 1) +
                       ": blocks nested deeper than 10000");
}

// A part that is there but cannot be read.
class UnreadableReader : public TableReader {
 public:
  bool Read(const std::string& path, std::string* text, std::string* error) override {
    if (path == "locked.lum") {
      *error = "Permission denied";
      return false;
    }
    return TableReader::Read(path, text, error);
  }
};

TEST(LumocMessages, UnreadablePart) {
  UnreadableReader reader;
  reader.files["locked.lum"] = "x";
  EXPECT_EQ(FirstFault("<LmINCLUDE file=\"locked.lum\">", &reader),
            "page.lum:1:18: cannot read 'locked.lum': Permission denied");
}

// The listing of the entry segment: mnemonics, with the distance of the
// instructions that jump ("jmp:12"); no line and file markers.
std::string Mnemonics(std::string_view source) {
  LumoCompiler compiler;
  Machine m;
  if (!compiler.CompileInto(source, "page.lum", m.Parts())) return compiler.FormattedMessages();
  String listing;
  ListSegment(*m.segments.Segment(0), "", listing);
  std::string out;
  std::string_view rest = listing.View();
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    std::string_view rest_of_line = line.substr(tab + 1);
    const std::string op(rest_of_line.substr(0, rest_of_line.find('\t')));
    if (op == "lineno" || op == "sourcefile") continue;
    if (!out.empty()) out += ' ';
    out += op;
    const bool jumps = op.rfind("jmp", 0) == 0 || op.rfind("import", 0) == 0 ||
                       op.rfind("pop3", 0) == 0 || op.rfind("op_", 0) == 0;
    const size_t dword = line.find("dword:");
    if (jumps && dword != std::string_view::npos) {
      const std::string_view number = line.substr(dword + 6);
      out += ":" + std::string(number.substr(0, number.find(',')));
    }
  }
  return out;
}

TEST(LumocMessages, EngineTagsCompileToTheirInstructions) {
  struct Listing {
    const char* source;
    const char* mnemonics;
  };
  const Listing cases[] = {
      {"<LmOPEN alias=\"a\" name=\"n\">", "pushc pushc pushc dbopen"},
      {"<LmOPEN alias=\"a\" name=\"n\" indexes=\"i\" type=\"xbase3\">",
       "pushc pushc pushc pushc Illegal Instruction"},  // dbopent has no listing name
      {"<LmCREATE alias=\"a\" name=\"n\" fields=\"f\">", "pushc pushc pushc pushc dbcreate"},
      {"<LmCLOSE alias=\"a\"><LmPACK alias=\"a\"><LmREINDEX alias=\"a\">",
       "pushc dbclose pushc dbpack pushc dbreindex"},
      {"<LmSKIP alias=\"a\">", "pushc pushc pushc dbskip"},
      {"<LmSKIP alias=\"a\" view=\"v\" count=\"-1\">", "pushc pushc pushc dbskip"},
      {"<LmGO alias=\"a\" record=\"top\"><LmFIND alias=\"a\" key=\"{{ k }}\">",
       "pushc pushc pushc dbgo pushc pushc pushnc dbfind"},
      {"<LmADD alias=\"a\"><LmUPDATE alias=\"a\"><LmDELETE alias=\"a\"><LmUNDELETE alias=\"a\">",
       "pushc pushc dbadd pushc pushc dbupdate pushc pushc dbdelete pushc pushc dbundelete"},
      {"<LmPRIMARY alias=\"a\"><LmSETINDEX alias=\"a\" indexes=\"i\">",
       "pushc pushc pushc dbprimary pushc pushc pushc dbsetindex"},
      {"<LmMAKEINDEX alias=\"a\" index=\"i\" key=\"k\">", "pushc pushc pushc dbmakeindex"},
      {"<LmREVEALSTRUCTURE alias=\"a\" into=\"b\">", "pushc pushc pushc dbrevealstructuredb"},
      {"<LmREVEALSTRUCTURE alias=\"a\" var=\"s\">", "pushc pushc pushnc dbrevealstructureagg"},
      {"<LmOPENVIEW alias=\"a\" view=\"v\" source=\"s\"><LmCLOSEVIEW alias=\"a\" view=\"v\">",
       "pushc pushc pushc pushc dbopenview pushc pushc dbcloseview"},
      {"<LmQUERY alias=\"a\" query=\"q\"><LmFILTER alias=\"a\" filter=\"x GT 1\">",
       "pushc pushc pushc dbquery pushc pushc pushc dbfilter"},
      {"<LmCOMMIT alias=\"a\">", "pushc Illegal Instruction"},
      {"<LmEXPORT file=\"f\" delimiter=\"|\" fields=\"a\">", "pushc pushc pushc export"},
      {"<LmIMPORT file=\"f\" delimiter=\"|\" fields=\"a\">x</LmIMPORT>",
       "pushc pushc pushc import:14 pushc out import_loop:-14"},
      {"<LmIMPORT file=\"f\" delimiter=\"|\" fields=\"a\" filter=\"a\"><LmIMPORTSTOP></LmIMPORT>",
       "pushc pushc pushc pushc importf:18 import_stop:6 import_loop:-18"},
      {"<LmLOCKFILE file=\"f\">x</LmLOCKFILE>", "pushc lockfile pushc out lockfile_end"},
      {"<LmPOP server=\"s\" user=\"u\" password=\"p\" directory=\"d\"><LmPOPDELETE></LmPOP>",
       "pushc pushc pushc pushc pop3:14 pop3delete pop3loop:-14"},
      {"<LmCALL url=\"u\"><LmCALLSTOP></LmCALL>",
       "pushc pushc pushc pushc pushc op_http:18 op_http_stop:6 op_http_loop:-18"},
      {"<LmCALL url=\"u\" certificate=\"c\"></LmCALL>",
       "pushc pushc pushc pushc pushc pushc pushc pushc Illegal Instruction op_http_loop:-6"},
      {"<LmSMTP to=\"t\" from=\"f\" server=\"s\">body</LmSMTP>",
       "pushc pushc pushc pushc pushc op_smtp:10 pushc out op_smtp_end"},
      {"<LmCOMMERCE method=\"m\"><LmCOMMERCECONTINUE></LmCOMMERCE>",
       "pushc pushc pushc op_commerce:18 jmp:0 op_commerce_loop:-18"},
  };
  for (const Listing& c : cases) EXPECT_EQ(Mnemonics(c.source), c.mnemonics) << c.source;
}

// The blocks of the engines nest as deep as the others: compiled 100 deep,
// the program loads (the engines that run them come later).
TEST(LumocMessages, EngineBlocksNestDeep) {
  const char* const opens[] = {
      "<LmIMPORT file=\"f\" delimiter=\",\" fields=\"a\">", "<LmCALL url=\"u\">",
      "<LmPOP server=\"s\" user=\"u\" password=\"p\" directory=\"d\">",
      "<LmCOMMERCE method=\"m\">", "<LmLOCKFILE file=\"f\">",
      "<LmSMTP to=\"t\" from=\"f\" server=\"s\">"};
  const char* const closes[] = {"</LmIMPORT>", "</LmCALL>", "</LmPOP>", "</LmCOMMERCE>",
                                "</LmLOCKFILE>", "</LmSMTP>"};
  for (size_t k = 0; k < 6; ++k) {
    std::string page;
    for (int i = 0; i < 100; ++i) page += opens[k];
    page += "x";
    for (int i = 0; i < 100; ++i) page += closes[k];
    LumoCompiler compiler;
    String image;
    ASSERT_TRUE(compiler.CompileSource(page, "page.lum", &image)) << compiler.FormattedMessages();
    Machine m;
    EXPECT_TRUE(m.Load(image.View())) << opens[k];
  }
}

// Leaving an import loop from inside it closes the import first.
TEST(LumocMessages, StopAcrossAFeatureClosesIt) {
  EXPECT_EQ(Mnemonics("<LmWHILE test=\"1\"><LmIMPORT file=\"f\" delimiter=\"|\" fields=\"a\">"
                      "<LmWHILESTOP></LmIMPORT></LmWHILE>"),
            "jmp:54 pushc pushc pushc import:24 import_stop:0 jmp:12 import_loop:-24 jmp:-60");
}

}  // namespace
}  // namespace lumo
