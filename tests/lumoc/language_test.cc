// Pages compiled, loaded from their image and run: what they print.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/lumoc/page_host.h"

namespace lumo {
namespace {

struct PageCase {
  const char* source;
  const char* printed;
};

void ExpectPages(std::initializer_list<PageCase> cases) {
  for (const PageCase& c : cases) EXPECT_EQ(RunPage(c.source), c.printed) << c.source;
}

TEST(LumocLanguage, Printing) {
  ExpectPages({
      // Quotes of both kinds, bytes above 0x7F untouched.
      {"{{ \"a'b\" $ '\"c \xC3\xA9<>&()' }}", "a&#39;b&quot;c \xC3\xA9&lt;&gt;&amp;&#40;&#41;"},
      {"{{{ \"a'b\" $ '\"c \xC3\xA9<>&()' }}}", "a'b\"c \xC3\xA9<>&()"},
      {"{{{ '<i>' $ (1 + 2) }}}", "<i>3"},
      {"a \\{{ b }} c", "a {{ b }} c"},
      {"{{ 'x}}y' }}", "x}}y"},
      {"{{1}}{{2}}", "12"},
      // A print spanning lines.
      {"{{ 1 +\n 2 }}.", "3."},
  });
}

TEST(LumocLanguage, TagOnlyLinesSendNothing) {
  ExpectPages({
      {"<ul>\n<LmFOR var=\"i\" from=\"1\" to=\"2\">\n  <li>{{ i }}</li>\n</LmFOR>\n</ul>\n",
       "<ul>\n  <li>1</li>\n  <li>2</li>\n</ul>\n"},
      // Blanks around tags on their own line go with it; CR LF too.
      {"a\n   <LmASSIGN var=\"x\" value=\"1\">  \r\nb{{x}}\n", "a\nb1\n"},
      // Two tags on one line, and a comment line.
      {"<LmASSIGN var=\"x\" value=\"1\"><LmASSIGN var=\"y\" value=\"2\">\n"
       "<LmCOMMENT> <LmIF broken </LmCOMMENT>\n{{x}}{{y}}",
       "12"},
      // A line with text or a print keeps all of its bytes.
      {"  <LmASSIGN var=\"x\" value=\"1\"> x \n", "   x \n"},
      {" <LmIF test=\"1\">{{ 5 }}</LmIF> \n", " 5 \n"},
      // The last line needs no line end.
      {"a\n<LmEXIT>", "a\n"},
      {"", ""},
  });
}

TEST(LumocLanguage, Conditions) {
  ExpectPages({
      {"<LmIF test=\"1\">yes<LmELSE>no</LmIF>", "yes"},
      {"<LmIF test=\"0\">yes<LmELSE>no</LmIF>", "no"},
      // Truth of texts: empty and zeros are false.
      {"<LmIF test=\"''\">a</LmIF><LmIF test=\"'0.0'\">b</LmIF><LmIF test=\"'x'\">c</LmIF>", "c"},
      {"<LmFOR var=\"g.n\" from=\"1\" to=\"4\">"
       "<LmIF test=\"g.n EQ 1\">one<LmELSEIF test=\"g.n LT 3\">two"
       "<LmELSEIF test=\"g.n EQ 3\">three<LmELSE>more</LmIF>,</LmFOR>",
       "one,two,three,more,"},
      // The same tests on a name the compiler cannot place.
      {"<LmFOR var=\"n\" from=\"1\" to=\"4\">"
       "<LmIF test=\"n EQ 1\">one<LmELSEIF test=\"n LT 3\">two<LmELSE>more</LmIF>,</LmFOR>",
       "one,two,more,more,"},
      {"<LmIF test=\"2 GT 1 AND NOT 0\">t</LmIF><LmIF test=\"'b' IN 'abc'\">in</LmIF>", "tin"},
      {"<LmASSIGN var=\"g.a\" value=\"3\"><LmASSIGN var=\"g.b\" value=\"5\">"
       "<LmIF test=\"g.a LT g.b\">lt</LmIF><LmIF test=\"g.a GE g.b\">ge</LmIF>",
       "lt"},
  });
}

TEST(LumocLanguage, Loops) {
  ExpectPages({
      {"<LmASSIGN var=\"n\" value=\"1\"><LmWHILE test=\"n LT 100\">"
       "<LmASSIGN var=\"n\" value=\"n * 2\"></LmWHILE>{{n}}",
       "128"},
      {"<LmWHILE test=\"0\">never</LmWHILE>done", "done"},
      {"<LmASSIGN var=\"g.i\" value=\"0\"><LmWHILE test=\"g.i LT 10\">"
       "<LmASSIGN var=\"g.i\" value=\"g.i + 1\">"
       "<LmIF test=\"g.i MOD 2\"><LmWHILECONTINUE></LmIF>"
       "<LmIF test=\"g.i GT 6\"><LmWHILESTOP></LmIF>{{g.i}} </LmWHILE>.",
       "2 4 6 ."},
      {"<LmFOR var=\"i\" from=\"10\" to=\"1\" step=\"-3\">{{ i }} </LmFOR>", "10 7 4 1 "},
      {"<LmFOR var=\"i\" from=\"1\" to=\"0\">x</LmFOR>none", "none"},
      {"<LmFOR var=\"g.i\" from=\"1\" to=\"9\" step=\"2\">"
       "<LmIF test=\"g.i EQ 3\"><LmFORCONTINUE></LmIF>"
       "<LmIF test=\"g.i EQ 7\"><LmFORSTOP></LmIF>{{g.i}}</LmFOR>|{{g.i}}",
       "15|7"},
      // 'to' is evaluated before each pass.
      {"<LmASSIGN var=\"top\" value=\"3\"><LmFOR var=\"i\" from=\"1\" to=\"top\">"
       "<LmASSIGN var=\"top\" value=\"2\">{{i}}</LmFOR>",
       "12"},
  });
}

TEST(LumocLanguage, Foreach) {
  ExpectPages({
      {"<LmASSIGNARRAY var=\"f\" values=\"'apple', 'pear'\">"
       "<LmFOREACH var=\"x\" in=\"f\" index=\"k\">{{ k }}={{ x }} </LmFOREACH>",
       "1=apple 2=pear "},
      // Holes are skipped; a scalar runs the body zero times.
      {"<LmASSIGN var=\"a[2]\" value=\"'b'\"><LmASSIGN var=\"a[5]\" value=\"'e'\">"
       "<LmFOREACH var=\"x\" in=\"a\" index=\"k\">{{k}}{{x}}</LmFOREACH>"
       "<LmASSIGN var=\"s\" value=\"'text'\"><LmFOREACH var=\"x\" in=\"s\">no</LmFOREACH>.",
       "2b5e."},
      {"<LmASSIGNARRAY var=\"a\" values=\"1, 2, 3, 4\">"
       "<LmFOREACH var=\"x\" in=\"a\"><LmIF test=\"x EQ 2\"><LmFOREACHCONTINUE></LmIF>"
       "<LmIF test=\"x EQ 4\"><LmFOREACHSTOP></LmIF>{{x}}</LmFOREACH>",
       "13"},
      // Stop and continue of an LmWHILE from inside an LmFOREACH.
      {"<LmASSIGNARRAY var=\"a\" values=\"1, 2, 3\"><LmASSIGN var=\"n\" value=\"0\">"
       "<LmWHILE test=\"n LT 5\"><LmASSIGN var=\"n\" value=\"n + 1\">"
       "<LmFOREACH var=\"x\" in=\"a\"><LmIF test=\"x EQ n\"><LmWHILECONTINUE></LmIF>"
       "<LmIF test=\"n EQ 4\"><LmWHILESTOP></LmIF>{{n}}{{x}} </LmFOREACH>|</LmWHILE>end",
       "21 31 32 end"},
      // Nested loops over rows of an array of structures.
      {"<LmASSIGN var=\"r[1]:n\" value=\"'a'\"><LmASSIGN var=\"r[2]:n\" value=\"'b'\">"
       "<LmFOREACH var=\"row\" in=\"r\">{{ row:n }}</LmFOREACH>",
       "ab"},
  });
}

TEST(LumocLanguage, VariablesArraysStructures) {
  ExpectPages({
      {"<LmASSIGN var=\"p:name\" value=\"'Ann'\"><LmASSIGN var=\"p:age\" value=\"30\">"
       "{{ p:name }} {{ p:age + 1 }}",
       "Ann 31"},
      {"<LmASSIGNARRAY var=\"d\" values=\"'Mon', 'T' $ 'ue', 1 + 1\">{{d[1]}}{{d[2]}}{{d[3]}}",
       "MonTue2"},
      {"<LmDIMENSION var=\"g\" size=\"3\"><LmFOREACH var=\"x\" in=\"g\" index=\"k\">[{{k}}{{x}}]"
       "</LmFOREACH>",
       "[1][2][3]"},
      {"<LmASSIGN var=\"f\" value=\"'color'\"><LmMEMBER var=\"p\" name=\"{{ f }}2\" value=\"'red'\">"
       "{{ p:color2 }}",
       "red"},
      {"<LmASSIGN var=\"x\" value=\"1\"><LmREFERENCE var=\"r\" to=\"x\">"
       "<LmASSIGN var=\"r\" value=\"5\">{{x}}",
       "5"},
      {"<LmASSIGN var=\"a\" value=\"1\"><LmASSIGN var=\"b\" value=\"2\">"
       "<LmREFERENCEARRAY var=\"all\" to=\"a, b\"><LmASSIGN var=\"all[2]\" value=\"9\">"
       "{{a}}{{b}}{{all[1]}}",
       "191"},
      // Prefixes: g. and a plain name reach the same global; l. outside a
      // function is the globals too.
      {"<LmASSIGN var=\"g.v\" value=\"1\"><LmASSIGN var=\"l.v\" value=\"l.v + 1\">"
       "{{ v }}{{ global.v }}",
       "22"},
      {"<LmEVAL expr=\"g.i++\"><LmEVAL expr=\"g.i++\">{{ g.i }}", "2"},
      {"<LmASSIGN var=\"x\" value=\"'a'\"><LmASSIGN var=\"x\" value=\"x $ 'b'\">{{x}}", "ab"},
  });
}

TEST(LumocLanguage, Functions) {
  ExpectPages({
      // Called before its definition; recursion.
      {"{{ fact(6) }}\n<LmFUNCTION name=\"fact(n)\">\n"
       "<LmIF test=\"n LE 1\"><LmFUNCTIONRETURN value=\"1\"></LmIF>\n"
       "<LmFUNCTIONRETURN value=\"n * fact(n - 1)\">\n</LmFUNCTION>\n",
       "720\n"},
      // By value and by reference.
      {"<LmFUNCTION name=\"bump(a, &b)\"><LmASSIGN var=\"a\" value=\"a + 1\">"
       "<LmASSIGN var=\"b\" value=\"b + 1\"></LmFUNCTION>"
       "<LmASSIGN var=\"x\" value=\"1\"><LmASSIGN var=\"y\" value=\"1\">"
       "<LmEVAL expr=\"bump(x, y)\">{{x}}{{y}}",
       "12"},
      // Text in a body is sent when it runs; no return value is an empty text.
      {"<LmFUNCTION name=\"hello\">hi </LmFUNCTION>[{{ hello() }}]", "[hi ]"},
      {"<LmFUNCTION name=\"early(x)\"><LmIF test=\"x\"><LmFUNCRETURN></LmIF>late</LmFUNCTION>"
       "{{ early(1) }}.{{ early(0) }}",
       ".late"},
      // Locals made with l. hide the globals of that name.
      {"<LmASSIGN var=\"t\" value=\"'global'\">"
       "<LmFUNCTION name=\"f()\"><LmASSIGN var=\"l.t\" value=\"'local'\">{{ t }} </LmFUNCTION>"
       "<LmEVAL expr=\"f()\">{{ t }}",
       "local global"},
      // A loop inside a function keeps its counter in the function's frame.
      {"<LmFUNCTION name=\"sum(n)\"><LmASSIGN var=\"l.s\" value=\"0\">"
       "<LmFOR var=\"l.i\" from=\"1\" to=\"n\"><LmASSIGN var=\"s\" value=\"s + i\"></LmFOR>"
       "<LmFUNCTIONRETURN value=\"s\"></LmFUNCTION>{{ sum(4) }} {{ sum(10) }}",
       "10 55"},
      // Leaving a capture by returning discards it.
      {"<LmFUNCTION name=\"f\"><LmCAPTURE var=\"c\">lost<LmFUNCTIONRETURN value=\"1\">"
       "</LmCAPTURE></LmFUNCTION>{{ f() }}[{{ c }}]",
       "1[]"},
  });
}

TEST(LumocLanguage, OtherTags) {
  ExpectPages({
      {"<LmASSIGN var=\"x\" value=\"'v'\"><LmIFDEF var=\"x\">def<LmELSE>undef</LmIFDEF>"
       "<LmIFDEF var=\"missing\">def<LmELSE>undef</LmIFDEF>"
       "<LmIFNDEF var=\"missing2\">nd</LmIFNDEF><LmIFNDEF var=\"x\">no</LmIFNDEF>",
       "defundefnd"},
      {"a<LmCAPTURE var=\"o\">b<LmCAPTURE var=\"i\">c</LmCAPTURE>d</LmCAPTURE>e[{{o}}][{{i}}]",
       "ae[bd][c]"},
      {"<LmASSIGN var=\"n\" value=\"'a&b'\"><LmHIDE names=\"n\">",
       "<input type=\"hidden\" name=\"n\" value=\"a&amp;b\">"},
      {"one<LmEXIT>two", "one"},
      {"x<LmCOMMENT>{{ 'gone' }}</LmCOMMENT>y", "xy"},
      // Error settings: a tag made silent keeps its message in its variable.
      {"<LmDO file=\"missing.lmc\" errors=\"none\">still here", "still here"},
      {"<LmLOCALIZED token=\"none\">.", "."},
      // Localized texts defined in the page, used in the run's language.
      {"<LmLOCALIZED-TEXT language=\"en-US\" token=\"hi\">\n"
       "Hello, <LmLOCALIZED-TOKEN name=\"who\">!\n</LmLOCALIZED-TEXT>\n"
       "<LmLOCALIZED-TEXT language=\"de-DE\" token=\"hi\">Hallo</LmLOCALIZED-TEXT>\n"
       "<LmLOCALIZED token=\"hi\" who=\"{{ 'Ann' }}\">|"
       "<LmLOCALIZED token=\"hi\" who=\"Bo\" var=\"t\">{{ t }}",
       "Hello, Ann!|Hello, Bo!"},
      // Instructions in place, with labels of their own and the page's
      // globals and the function's locals by name.
      {"<LmASSIGN var=\"g.n\" value=\"3\">a<LmASSEMBLY>\n"
       "again:  pushg n\n        out\n        incg n, -1\n        cmpgi n, 0\n"
       "        jmp_gt again\n</LmASSEMBLY>b",
       "a321b"},
      {"<LmFUNCTION name=\"f(x)\"><LmASSEMBLY>pushl x\nret</LmASSEMBLY></LmFUNCTION>{{ f(7) }}",
       "7"},
  });
}

TEST(LumocLanguage, Includes) {
  TableReader reader;
  reader.files["head.lum"] = "<LmASSIGN var=\"title\" value=\"'T'\">\n<h1>{{ title }}</h1>\n";
  reader.files["lib/f.lum"] = "<LmFUNCTION name=\"twice(x)\"><LmFUNCTIONRETURN value=\"x*2\">"
                              "</LmFUNCTION>\n";
  reader.files["a.lum"] = "<LmINCLUDE file=\"b.lum\">";
  reader.files["b.lum"] = "<LmINCLUDE file=\"a.lum\">";
  reader.files["self.lum"] = "<LmINCLUDE file=\"self.lum\">";
  EXPECT_EQ(RunPage("<LmINCLUDE file=\"head.lum\">\n<LmINCLUDE file=\"lib/f.lum\">\n"
                    "{{ twice(21) }}",
                    &reader),
            "<h1>T</h1>\n42");
  EXPECT_EQ(FirstFault("<LmINCLUDE file=\"a.lum\">", &reader),
            "b.lum:1:18: include cycle: 'a.lum' is already being included");
  EXPECT_EQ(FirstFault("x <LmINCLUDE file=\"self.lum\">", &reader),
            "self.lum:1:18: include cycle: 'self.lum' is already being included");
  EXPECT_EQ(FirstFault("\n <LmINCLUDE file=\"nope.lum\">", &reader),
            "page.lum:2:19: cannot find the included file 'nope.lum'");
}

// Every block kind nested 100 deep still compiles and runs.
TEST(LumocLanguage, DeepNesting) {
  struct Kind {
    const char* open;
    const char* close;
  };
  const Kind kinds[] = {
      {"<LmIF test=\"1\">", "</LmIF>"},
      {"<LmIFDEF var=\"x\">", "</LmIFDEF>"},
      {"<LmIFNDEF var=\"nothing\">", "</LmIFNDEF>"},
      {"<LmWHILE test=\"1\">", "<LmWHILESTOP></LmWHILE>"},
      {"<LmFOR var=\"i\" from=\"1\" to=\"1\">", "</LmFOR>"},
      {"<LmFOREACH var=\"e\" in=\"x\">", "</LmFOREACH>"},
      {"<LmCAPTURE var=\"c\">", "</LmCAPTURE>{{{ c }}}"},
  };
  for (const Kind& k : kinds) {
    std::string page = "<LmASSIGNARRAY var=\"x\" values=\"1\">";
    for (int i = 0; i < 100; ++i) page += k.open;
    page += "deep";
    for (int i = 0; i < 100; ++i) page += k.close;
    EXPECT_EQ(RunPage(page), "deep") << k.open;
  }
}

TEST(LumocLanguage, RuntimeErrorsNameThePageAndLine) {
  const std::string printed = RunPage("ok\n<LmASSIGN var=\"a\" value=\"1\">\n\n{{ a[0] }}\nafter");
  EXPECT_NE(printed.find("page.lum: Line 4: (in expression): Array index must be positive"),
            std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("after"), std::string::npos);
  // In an included part: that part's name and line.
  TableReader reader;
  reader.files["part.lum"] = "\n\n{{ a[0] }}";
  const std::string in_part = RunPage("<LmINCLUDE file=\"part.lum\">", &reader);
  EXPECT_NE(in_part.find("part.lum: Line 3:"), std::string::npos) << in_part;
}

}  // namespace
}  // namespace lumo
