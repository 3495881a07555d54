// The assembler's encodings and error messages, and the code listing.
#include <gtest/gtest.h>

#include <string>

#include "core/program/listing.h"
#include "core/program/opcodes.h"
#include "tests/core/program/loaded.h"

namespace lumo {
namespace {

std::string SegmentHex(Loaded& p, int32_t n) {
  std::string out;
  const Segment* segment = p.segments.Segment(n);
  for (int32_t i = 0; i < segment->Size(); ++i) {
    out += "0123456789abcdef"[segment->Bytes()[i] >> 4];
    out += "0123456789abcdef"[segment->Bytes()[i] & 15];
  }
  return out;
}

TEST(Assembler, Encodings) {
  const struct {
    const char* source;
    const char* hex;  // of the entry segment
  } cases[] = {
      {"pushi -2147483648", "024000000080"},
      {"PushI 0xFFFFFFFF ; comment, \"quote\" # more", "0240ffffffff"},
      {"pushf -0.25\npushf inf", "0380000000000000d0bf" "0380000000000000f07f"},
      {"pushf 1e300", "03809c7500883ce4377e"},
      {"pushc -1\ncall 99\npushg 5000", "0140ffffffff" "3d4063000000" "054088130000"},
      {"a: jmp a\njmp b\nb:", "2540faffffff" "254000000000"},
      {"x: y: jmp_eq 12\njmp_ne y", "26400c000000" "2b40f4ffffff"},
      {".global a, b\nincg b, -1\ncmpgg b, a", "035301000000ffffffff" "01530100000000000000"},
      {"storegi late, 7\n.global early, late", "05530100000007000000"},
      {".system x, y\npushs y\nrefers x", "044001000000" "534000000000"},
      {".function f\n.end\n.function g\n.end\ncall g\ncall F", "3d4001000000" "3d4000000000"},
      {".word 0x5c00, -1\n.byte 255\n.dword -2\n.double 1",
       "005cffff" "ff" "feffffff" "000000000000f03f"},
      // Constants are shared; .dict always adds an entry.
      {"pushc \"a\"\npushnc \"b\"\npushc \"a\"\n.dict \"a\"\npushdc \"a\", \"c\"",
       "014000000000" "0a4001000000" "014000000000" "085000000000" "03000000"},
  };
  for (const auto& c : cases) {
    Loaded p;
    ASSERT_TRUE(p.Assemble(c.source)) << c.source << "\n" << p.error;
    EXPECT_EQ(SegmentHex(p, 0), c.hex) << c.source;
  }
}

TEST(Assembler, FunctionBodiesAndStrings) {
  Loaded p;
  ASSERT_TRUE(p.Assemble(".function f(p, &q)\n.local r\n  pushl r\n  referl q\n"
                         "  poplvnc \"q\\\"\\\\\\n\\t\\r\\x80\\x00z\"\n.end\n"
                         "pushc \"\xC3\xA9\"\n.function g flags 8\n  retn\n.end"))
      << p.error;
  // The names f, p, q and r are entries 0 to 3.
  EXPECT_EQ(SegmentHex(p, 1), "064002000000" "544001000000" "4d4004000000");
  EXPECT_EQ(p.dictionary.EntryView(4), std::string("q\"\\\n\t\r\x80\0z", 9));
  EXPECT_EQ(p.dictionary.EntryView(5), "\xC3\xA9");
  EXPECT_EQ(SegmentHex(p, 2), "3c00");
  EXPECT_EQ(p.functions.Find("g")->Flags(), 8u);
}

// Every word assembles under its name with operands of the kinds its bits
// announce.
TEST(Assembler, EveryInstruction) {
  int count = 0;
  const OpcodeInfo* table = OpcodeTable(&count);
  ASSERT_EQ(count, 147);
  for (int i = 0; i < count; ++i) {
    const uint16_t word = table[i].word;
    std::string line = table[i].name;
    const char* separator = " ";
    for (int kind : {FirstOperandKind(word), SecondOperandKind(word)}) {
      if (kind == kOperandNone) continue;
      line = line + separator + (kind == kOperandDouble ? "2.5" : "3");
      separator = ", ";
    }
    Loaded p;
    ASSERT_TRUE(p.Assemble(line)) << line << "\n" << p.error;
    uint16_t assembled = 0;
    p.segments.Segment(0)->ReadWord(0, &assembled);
    EXPECT_EQ(assembled, word) << line;
    EXPECT_EQ(p.segments.Segment(0)->Size(), InstructionSize(word)) << line;
  }
}

TEST(Assembler, Errors) {
  const struct {
    const char* source;
    const char* error;
  } cases[] = {
      {"bogus", "t:1: unknown instruction 'bogus'"},
      {"\nadd 1", "t:2: 'add' takes no operands, 1 given"},
      {"cmpgi 1", "t:1: 'cmpgi' takes 2 operands, 1 given"},
      {"add\njmp nowhere", "t:2: undefined label 'nowhere'"},
      {"a:\na: add", "t:2: duplicate label 'a'"},
      {"a:\n.function f\njmp a\n.end", "t:3: undefined label 'a'"},
      {"pushs x", "t:1: unknown system variable 'x'"},
      {"call f", "t:1: undefined function 'f'"},
      {"pushl x", "t:1: local variable 'x' outside a function body"},
      {".function f(a)\npushl b\n.end", "t:2: unknown local variable 'b' in function 'f'"},
      {".function f\nret", "t:1: function 'f' has no '.end'"},
      {".function f\n.end\n.function F\n.end", "t:3: function 'F' is already defined"},
      {".global a, A", "t:1: global variable 'A' is already declared"},
      {"pushc abc", "t:1: 'pushc' expects a quoted string or a number, not 'abc'"},
      {"pushg \"x\"", "t:1: 'pushg' expects a global variable name or a number, not a string"},
      {"pushi 2147483648", "t:1: invalid number '2147483648'"},
      {"pushf 1e400", "t:1: 'pushf' expects a number, not '1e400'"},
      {"pushc \"abc", "t:1: unterminated string"},
      {"pushc \"\\q\"", "t:1: unknown escape '\\q' in string"},
      {".end", "t:1: '.end' without '.function' or '.segment'"},
      {".word 65536", "t:1: invalid operand '65536' for '.word'"},
  };
  for (const auto& c : cases) {
    Loaded p;
    EXPECT_FALSE(p.Assemble(c.source)) << c.source;
    EXPECT_EQ(p.error, c.error) << c.source;
  }
}

TEST(Listing, PrintsEachInstruction) {
  Loaded p;
  ASSERT_TRUE(p.Assemble("pushi 7\npushf 1.5\nswap\ncmpgi 2, -3\nadd\n"
                         ".word 0x4fff\n.dword 9\n"            // no such word: stepped over
                         ".word 0x5301\n.dword 1\n.byte 2"));  // cut short
  String out("x");
  ListSegment(*p.segments.Segment(0), "demo", out);
  EXPECT_EQ(out,
            "x\n\nExpression: demo\n"
            "0\tpushi\tdword:7\n"
            "6\tpushf\tdouble:1.500000\n"
            "16\tIllegal Instruction\n"
            "18\tcmpgi\tdword:2, dword:-3\n"
            "28\tadd\t\n"
            "30\tIllegal Instruction\n"
            "36\tIllegal Instruction\n");
}

// The listing for people names what the numbers stand for and gives
// offsets in the base run-time errors use.
TEST(Listing, NamedListingShowsTextsNamesAndTargets) {
  Loaded p;
  ASSERT_TRUE(p.Assemble(".global g\n.system s\n"
                         "top:\npushc \"say \\\"hi\\\"\\n\\x01\"\npushg g\npushs s\ncall f\n"
                         "jmp_eq top\npushf 0.1\nstoregi g, 7\npushg 99\nelemr\n.word 0x0fff\n"
                         ".function f(a, &b)\npushl b\npopl a\nretn\n.end\n"))
      << p.error;
  ListingNames names{&p.dictionary, &p.system, &p.globals, &p.functions, nullptr};
  String out;
  ListSegmentNamed(*p.segments.Segment(0), "main", names, out);
  EXPECT_EQ(out,
            "; main\n"
            "00000000\tpushc\t\"say \\\"hi\\\"\\n\\x01\"\n"
            "00000006\tpushg\tg\n"
            "0000000c\tpushs\ts\n"
            "00000012\tcall\tf\n"
            "00000018\tjmp_eq\t-30 (00000000)\n"
            "0000001e\tpushf\t0.10000000000000001\n"
            "00000028\tstoregi\tg, 7\n"
            "00000032\tpushg\t#99\n"
            "00000038\telemr\n"
            "0000003a\t(unknown word 0x0fff)\n");
  names.function = p.functions.Function(0);
  out.Clear();
  ListSegmentNamed(*p.segments.Segment(1), "f", names, out);
  EXPECT_EQ(out, "; f\n00000000\tpushl\tb\n00000006\tpopl\ta\n0000000c\tretn\n");
}

}  // namespace
}  // namespace lumo
