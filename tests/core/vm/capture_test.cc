// LmCAPTURE: output collected into variables, nesting, and what happens to
// a capture that is never ended.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/vm/capture.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

TEST(Capture, CollectsIntoTheVariableAndNests) {
  // The inner text reaches only the inner variable; the outer one has what
  // was written before and after the inner block.
  EXPECT_EQ(Printed(".global a, b\n"
                    "pushc \"<\"\nout\n"
                    "pushg a\ncapture\npushc \"1\"\nout\n"
                    "pushg b\ncapture\npushc \"2\"\nout\ncapture_end\n"
                    "pushc \"3\"\nout\ncapture_end\n"
                    "pushc \">\"\nout\n"
                    "pushg a\nout\npushc \"|\"\nout\npushg b\nout\n"),
            "<>13|2");
  // Into an array element (an owned stack entry), across several chunks.
  const std::string piece(5000, 'x');
  Machine m;
  ASSERT_TRUE(m.Assemble(".global arr, n\npushg arr\npushi 2\nelem\ncapture\n"
                         "again: pushc \"" + piece + "\"\nout\nincg n, 1\ncmpgi n, 5\n"
                         "jmp_lt again\ncapture_end\npushc \"done\"\nout\n"))
      << m.error.View();
  EXPECT_EQ(m.RunPrinted(), "done");
  Variable* arr = nullptr;
  m.globals.Find(&arr, "arr", 3, false);
  ASSERT_NE(arr, nullptr);
  Variable* element = arr->Element(AggregateIndex(2), false);
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(element->Value().View(), std::string(5 * 5000, 'x'));
}

TEST(Capture, FollowsTheOutputLevel) {
  // Collapsed whitespace inside the capture as outside it; the output
  // taken back keeps the level too.
  Machine m;
  ASSERT_TRUE(m.Assemble(".global v\nstdoutput 2\npushg v\ncapture\n"
                         "pushc \"  a   b \"\nout_comp\ncapture_end\n"
                         "pushg v\nout\npushc \"c   d\"\nout_comp\n"));
  EXPECT_EQ(m.RunPrinted(), "a b ");
  EXPECT_EQ(m.context.compressed, "c   d");  // the recorder keeps what it was given
  EXPECT_EQ(m.context.OutputStream()->WhitespaceMode(), 2);
}

TEST(Capture, EndedTwiceOrNeverOpenedIsInvalid) {
  EXPECT_EQ(Printed("capture_end"), Fatal(0, "Invalid instruction"));
  EXPECT_EQ(Printed(".global a\npushg a\ncapture\ncapture_end\npushc \"x\"\nout\ncapture_end"),
            std::string("x") + Fatal(18, "Invalid instruction"));
  // capture needs a variable.
  EXPECT_EQ(Printed("pushc \"a\"\ncapture"), Fatal(6, "Expected variable, found constant"));
}

TEST(Capture, ReturnWithOpenCaptureDiscardsAndRestores) {
  // f opens a capture and returns: its text is dropped, the variable keeps
  // its old value and output reaches the page again. The caller's own
  // capture, opened before the call, stays open.
  EXPECT_EQ(Printed(".global v, w\n"
                    "pushc \"old\"\npopg v\n"
                    "pushg w\ncapture\n"
                    "call f\n"
                    "pushc \"in w\"\nout\ncapture_end\n"
                    "pushc \"after:\"\nout\npushg v\nout\npushc \":\"\nout\npushg w\nout\n"
                    ".function f\n  pushg v\n  capture\n  pushc \"lost\"\n  out\n  retn\n.end\n"),
            "after:old:in w");
  // A capture opened in a function that calls another survives the inner
  // function's return.
  EXPECT_EQ(Printed(".global v\n"
                    "call f\npushc \"|\"\nout\npushg v\nout\n"
                    ".function f\n  pushg v\n  capture\n  call g\n  pushc \"b\"\n  out\n"
                    "  capture_end\n  retn\n.end\n"
                    ".function g\n  pushc \"a\"\n  out\n  retn\n.end\n"),
            "|ab");
}

TEST(Capture, OpenAtFatalErrorOrEndOfRunIsDropped) {
  // The fatal message went into the capture and goes with it; the run
  // stops with the error all the same.
  Machine m;
  ASSERT_TRUE(m.Assemble(".global v\npushc \"a\"\nout\npushg v\ncapture\npushc \"b\"\nout\npop"));
  EXPECT_EQ(m.RunPrinted(), "a => 0");
  EXPECT_NE(m.LastError().find("Stack underflow"), std::string::npos);
  // Once the machine goes, the context writes to its own output again.
  m.vm.reset();
  m.context.Write("c");
  EXPECT_EQ(m.context.output, "ac");
  EXPECT_EQ(m.Global("v"), "");
}

TEST(Capture, TooManyOpenBlocksStopTheRun) {
  // A loop that opens captures and never ends them.
  Machine m;
  ASSERT_TRUE(m.Assemble(".global v\nagain: pushg v\ncapture\njmp again"));
  EXPECT_EQ(m.Run(), 0);
  EXPECT_NE(m.LastError().find("Too many open blocks"), std::string::npos);
  EXPECT_EQ(m.Vm().FeatureCount(), LumoVM::kMaxFeatures);
}

// Records the headers and sends that reach it.
class HeaderSink : public NullOutput {
 public:
  bool AddHeader(std::string_view name, std::string_view value) override {
    headers.push_back(std::string(name) + ": " + std::string(value));
    return true;
  }
  int32_t Send(bool final) override {
    sends.push_back(final);
    return 0;
  }
  std::vector<std::string> headers;
  std::vector<bool> sends;
};

TEST(CaptureOutput, KeepsTheBodyAndForwardsTheConnection) {
  HeaderSink sink;
  CaptureOutput capture(&sink);
  EXPECT_TRUE(capture.AddHeader("Set-Cookie", "a=1"));
  capture.Send(false);
  const std::string big(CaptureOutput::kChunkSize * 2 + 17, 'q');
  capture.Write("x", 1);
  capture.Write(big.data(), static_cast<int32_t>(big.size()));
  capture.Flush();
  capture.Write("y", 1);
  EXPECT_EQ(capture.Text(), "x" + big + "y");
  int32_t length = 0;
  int32_t capacity = 0;
  char* text = capture.TakeText(&length, &capacity);
  EXPECT_EQ(std::string(text, static_cast<size_t>(length)), "x" + big + "y");
  EXPECT_EQ(text[length], '\0');
  EXPECT_GT(capacity, length);
  free(text);
  // Empty afterwards, and an empty capture still hands over a text.
  text = capture.TakeText(&length, &capacity);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(text[0], '\0');
  free(text);
  EXPECT_EQ(sink.headers, std::vector<std::string>{"Set-Cookie: a=1"});
  EXPECT_EQ(sink.sends, std::vector<bool>{false});
}

}  // namespace
}  // namespace lumo
