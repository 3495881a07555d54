// The code a machine runs: instructions that subsystems register, code
// written into segments between and during runs, and damaged program
// images of every kind, which must end in an error rather than a crash or
// a read outside the segment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/program/opcodes.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

// A subsystem's instruction with an integer operand: pushes twice it.
constexpr uint16_t kDoubleIt = 0x43f1;
// Two without operands that make a pushc name constant 1: the one after
// them, and the one at the segment's start.
constexpr uint16_t kPatchNext = 0x03f2;
constexpr uint16_t kPatchFirst = 0x03f3;

void DoubleIt(LumoVM& vm) { vm.CurrentStack()->PushInteger(vm.Operand1() * 2); }

void PatchNext(LumoVM& vm) {
  vm.Segments()->Segment(vm.SegmentNumber())->WriteDword(vm.Offset() + 2, 1);
}

void PatchFirst(LumoVM& vm) { vm.Segments()->Segment(vm.SegmentNumber())->WriteDword(2, 1); }

TEST(Code, RegisteredInstructions) {
  LumoVM::RegisterInstruction(kDoubleIt, DoubleIt);
  LumoVM::RegisterInstruction(kPatchNext, PatchNext);
  LumoVM::RegisterInstruction(kPatchFirst, PatchFirst);
  EXPECT_EQ(Printed(".word 0x43f1\n.dword 21\nout\n.word 0x43f1\n.dword -4\nout"), "42-8");
  EXPECT_EQ(Printed("pushi 1\n.word 0x43f1\n.byte 1, 2"), Fatal(6, "Illegal Instruction"));
  // Code changed while it runs is the code that runs next.
  EXPECT_EQ(Printed(".dict \"a\", \"b\"\n.word 0x03f2\npushc 0\nout"), "b");
  EXPECT_EQ(Printed(".dict \"a\", \"b\"\n.global i\nloop: pushc 0\nout\n.word 0x03f3\nincg i, 1\n"
                    "cmpgi i, 3\njmp_lt loop"),
            "abb");
}

TEST(Code, SegmentsWrittenBetweenRuns) {
  Machine m;
  ASSERT_TRUE(m.Assemble(".dict \"a\", \"b\"\n.segment\n  pushc 0\n  out\n.end"));
  LumoVM& vm = m.Vm();
  EXPECT_EQ(vm.RunAt(1), 1);
  Segment* segment = m.segments.Segment(1);
  segment->WriteDword(2, 1);
  EXPECT_EQ(vm.RunAt(1), 1);
  // Grown past its old end.
  int32_t at = segment->WriteWord(segment->Size(), kOpPushi);
  at = segment->WriteDword(at, 7);
  segment->WriteWord(at, kOpOut);
  EXPECT_EQ(vm.RunAt(1), 1);
  // A segment made at run time, as the expression compiler makes them.
  Segment* fresh = m.segments.NewSegment();
  EXPECT_EQ(fresh->Size(), 0);
  EXPECT_EQ(vm.RunAt(fresh->Number()), 1);
  fresh->WriteWord(fresh->WriteWord(fresh->WriteDword(fresh->WriteWord(0, kOpPushc), 0), kOpOut),
                   kOpNoop);
  EXPECT_EQ(vm.RunAt(fresh->Number()), 1);
  EXPECT_EQ(m.context.output, "abb7a");
}

// Sequences the machine may run as one step give what their instructions
// give one by one, whatever the variables involved hold.
TEST(Code, SequencesAsTheirInstructions) {
  const struct {
    const char* source;
    const char* printed;
  } cases[] = {
      // Appending a variable to itself, directly and through a reference.
      {".global s\npushc \"ab\"\npopg s\npushg s\npushg s\ncat\npopg s\npushg s\nout", "abab"},
      {".global s, i\npushc \"ab\"\npopg s\nstoregi i, 0\nloop: pushg s\npushg s\ncat\npopg s\n"
       "incg i, 1\ncmpgi i, 3\njmp_lt loop\npushg s\nout",
       "abababababababab"},
      {".global s, al\npushc \"ab\"\npopg s\npushg s\npushg al\nrefer\npushg al\npushg s\ncat\n"
       "popg al\npushg s\nout",
       "abab"},
      {".function f\n.local s\npushc \"ab\"\npopl s\npushl s\npushl s\ncat\npopl s\npushl s\nout\n"
       "retn\n.end\ncall f\ncall f",
       "abababab"},
      {".global s\npushi 12\npopg s\npushg s\npushi 5\ncat\npopg s\npushg s\nout", "125"},
      {".global s\npushc \"v\"\npushg s\npushi 1\nelem\nstore\npushg s\npushc \"x\"\ncat\npopg s\n"
       "pushc \"s\"\nhide",
       "<input type=\"hidden\" name=\"s\" value=\"vx\">"},
      // Arithmetic into variables holding texts, references, doubles.
      {".global x\npushc \"abc\"\npopg x\npushg x\npushi 1\nadd\npopg x\npushg x\nout", "1"},
      {".global x, t\npushc \"5\"\npopg t\npushg t\npushg x\nrefer\npushg x\npushi 1\nadd\npopg x\n"
       "pushg t\nout",
       "6"},
      {".global x, i\nstoregi i, 0\nloop: pushg x\npushf 0.5\nadd\npopg x\nincg i, 1\ncmpgi i, 4\n"
       "jmp_lt loop\npushg x\nout",
       "2"},
      {".global x\npushi 1\npushi 0\ndiv\npopg x\npushg x\nout\npushi 0\npushi 0\ndiv\npopg x\n"
       "pushg x\nout",
       "Infinity0"},
      // mod of two pushes: variables holding texts, doubles and references
      // read as the instruction reads them; into a variable or onto the
      // stack; the value beside it keeps its own push.
      {".global x, t\npushc \" 17\"\npopg t\npushg t\npushi 5\nmod\npopg x\npushg x\nout",
       "2"},
      {".global x\npushf -7.9\npopg x\npushg x\npushf 2.5\nmod\nout", "-1"},
      {".global x, t\nstoregi t, 9\npushg t\npushg x\nrefer\npushg x\npushi 4\nmod\npopg x\n"
       "pushg t\nout",
       "1"},
      {".global x\npushc \"abc\"\npopg x\npushi 7\npushg x\nmod\nout", "0"},
      {".global s, i\npushc \"ab\"\npopg s\nstoregi i, 23\npushg s\npushg i\npushi 20\nmod\n"
       "cat\nout",
       "ab3"},
      {".global s, i\nstoregi s, 1\nstoregi i, 7\npushg s\npushg i\npushi 2\nsub\nadd\nout",
       "6"},
      // Counted loops over a text, a reference, an array; wrapping; steps.
      {".global i\npushc \"2\"\npopg i\nloop: incg i, 1\ncmpgi i, 5\njmp_lt loop\npushg i\n"
       "out", "5"},
      {".global i, t\nstoregi t, 1\npushg t\npushg i\nrefer\nloop: incg i, 1\ncmpgi i, 5\n"
       "jmp_lt loop\n"
       "pushg t\nout",
       "5"},
      {".global i\npushc \"v\"\npushg i\npushi 1\nelem\nstore\nloop: incg i, 1\ncmpgi i, 3\n"
       "jmp_lt loop\npushc \"i\"\nhide",
       "<input type=\"hidden\" name=\"i\" value=\"3\">"},
      {".global i\nstoregi i, 2147483647\nincg i, 1\npushg i\nout", "-2147483648"},
      {".global i\nstoregi i, 10\nloop: incg i, -3\ncmpgi i, 0\njmp_gt loop\npushg i\nout", "-2"},
      {".global i\nstoregi i, 0\nloop: incg i, 2\ncmpgi i, 7\njmp_le loop\npushg i\nout", "8"},
      {".global i\npushc \"abc\"\npopg i\ncmpgi i, 3\njmp_gt yes\npushc \"no\"\nout\n"
       "yes: pushc \"y\"\n"
       "out",
       "y"},
      // Two arguments pushed right before a call: the first call takes the
      // general way, later ones reuse its frame; a text, a double, an
      // aggregate and a variable the callee also sees as a global.
      {".global g, r\n.function f(a, b)\npushl a\npushl b\ncat\nret\n.end\npushc \"x\"\n"
       "popg g\npushg g\npushi 1\ncall f\nout\npushc \"y\"\npushf 2.5\ncall f\nout\n"
       "pushg g\npushg g\ncall f\nout",
       "x1y2.5xx"},
      {".global g\n.function f(a, b)\npushl b\npushi 1\nelemr\nout\npushc \"v\"\npopg g\n"
       "pushl a\nout\nretn\n.end\npushc \"e\"\npushg g\npushi 1\nelem\nstore\n"
       "pushc \"p\"\npushg g\ncall f\npushc \"q\"\npushg g\ncall f",
       "epq"},
      // A by-reference parameter, and a function of another arity, take
      // the general call.
      {".global g\n.function f(a, &b)\npushl a\npopl b\nretn\n.end\npushi 7\npushg g\n"
       "call f\npushi 8\npushg g\ncall f\npushg g\nout",
       "8"},
      {".function f(a)\npushl a\nret\n.end\npushi 1\npushi 2\ncall f\nout\nout", "21"},
  };
  for (const auto& c : cases) EXPECT_EQ(Printed(c.source), c.printed) << c.source;
  // A step that cannot finish names the instruction that fails.
  EXPECT_EQ(Printed("pushi 1\npushg 99"), Fatal(6, "Invalid variable reference"));
  EXPECT_EQ(Printed(".global x\npushg x\npushg 99\nadd\npopg x"),
            Fatal(6, "Invalid variable reference"));
  EXPECT_EQ(Printed(".global x\npushg x\npushi 3\nmod\npopg 99"),
            Fatal(6 + 6 + 2, "Invalid variable reference"));
  // Arguments that would not fit on the stack: the second push overflows.
  std::string full = ".function f(a, b)\nretn\n.end\n";
  for (int i = 0; i < 511; ++i) full += "pushi 0\n";
  EXPECT_EQ(Printed(full + "pushi 1\npushi 2\ncall f"), Fatal(511 * 6 + 6, "Stack overflow"));
}

// The byte ranges of a section of a program image: its directory entry
// gives offset and size.
struct Section {
  size_t offset = 0;
  size_t size = 0;
};

uint32_t Get32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return v;
}

Section Find(const std::string& image, std::string_view tag) {
  const uint32_t directory = Get32(image, 24);
  for (uint32_t i = 0; i < Get32(image, 28); ++i) {
    const size_t entry = directory + 12 * i;
    if (image.compare(entry, 4, tag) == 0) {
      return {Get32(image, entry + 4), Get32(image, entry + 8)};
    }
  }
  ADD_FAILURE() << "no section " << tag;
  return {};
}

// The fuzzer's seed programs: a loop, calls, texts and names, errors.
std::vector<std::string> SeedSources() {
  std::vector<std::string> sources;
  const auto folder = std::filesystem::path(__FILE__).parent_path() / "../../fuzz/seeds";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path());
    sources.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return sources;
}

// Every damaged variant of the programs loads and runs to an end: the
// sanitizers are the judge. Runs that loop are stopped by the watchdog.
TEST(Code, DamagedImagesNeverCrash) {
  Watchdog watchdog(std::chrono::milliseconds(25));
  std::mt19937 random(20240611);
  int loaded = 0;
  const std::vector<std::string> sources = SeedSources();
  ASSERT_GE(sources.size(), 4u);
  for (const std::string& source : sources) {
    String image_text, error;
    ASSERT_TRUE(Assemble(source, "t", &image_text, &error)) << error.View();
    const std::string image(image_text.View());
    {
      Machine m;
      ASSERT_TRUE(m.Load(image));
      ASSERT_EQ(m.Run(), 1) << m.context.output;
    }
    for (size_t n = 0; n < image.size(); ++n) loaded += LoadAndRun(image.substr(0, n), watchdog);
    // Each segment cut short at every length.
    const Section segs = Find(image, "segs");
    const uint32_t count = Get32(image, segs.offset);
    for (uint32_t s = 0; s < count; ++s) {
      const size_t size_field = segs.offset + 8 + 8 * s + 4;
      for (uint32_t size = 0; size < Get32(image, size_field); ++size) {
        std::string cut = image;
        for (int i = 0; i < 4; ++i) cut[size_field + i] = static_cast<char>(size >> (8 * i));
        loaded += LoadAndRun(cut, watchdog);
      }
    }
    // Random damage, half of it inside the code.
    for (int round = 0; round < 1200; ++round) {
      std::string damaged = image;
      const bool in_code = round % 2 == 0;
      const size_t from = in_code ? segs.offset : 0;
      const size_t span = in_code ? segs.size : image.size();
      for (int k = 1 + static_cast<int>(random() % 4); k > 0; --k) {
        const size_t at = from + random() % span;
        switch (random() % 4) {
          case 0: damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8))); break;
          case 1: damaged[at] = static_cast<char>(random()); break;
          case 2: damaged[at] = static_cast<char>("\x00\xff\x7f\x80\x40"[random() % 5]); break;
          default: damaged[at] = static_cast<char>(damaged[at] + 1); break;
        }
      }
      loaded += LoadAndRun(damaged, watchdog);
    }
  }
  // The damage must reach the machine, not only the loader.
  EXPECT_GT(loaded, 2000);
}

}  // namespace
}  // namespace lumo
