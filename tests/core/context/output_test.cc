#include "core/context/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/context/console_application.h"

namespace lumo {
namespace {

// Keeps each piece its buffer hands on.
class Pieces : public BufferedOutput {
 public:
  explicit Pieces(int32_t size, std::vector<std::string>* sink) : BufferedOutput(size), sink_(sink) {}

 protected:
  bool WriteThrough(const char* data, int32_t count) override {
    sink_->emplace_back(data, static_cast<size_t>(count));
    return true;
  }

 private:
  std::vector<std::string>* sink_;
};

std::string Joined(const std::vector<std::string>& pieces) {
  std::string all;
  for (const std::string& p : pieces) all += p;
  return all;
}

// What WriteText makes of `texts` in `mode`, written after `before`.
std::string Shaped(int mode, const std::string& before, const std::vector<std::string>& texts) {
  std::vector<std::string> pieces;
  Pieces out(64, &pieces);
  out.Write(before);
  out.SetWhitespaceMode(mode);
  for (const std::string& t : texts) {
    EXPECT_EQ(out.WriteText(t.data(), static_cast<int32_t>(t.size())), static_cast<int32_t>(t.size()));
  }
  out.Flush();
  return Joined(pieces).substr(before.size());
}

TEST(OutputWhitespace, ModesShapeOnlyTheTextWrite) {
  // Collapse: after whitespace the leading run goes, inner and trailing
  // runs keep their first byte, and a run split across texts stays one.
  EXPECT_EQ(Shaped(2, "x ", {"  a   b "}), "a b ");
  EXPECT_EQ(Shaped(2, "x", {"  a\t\n b"}), " a\tb");
  EXPECT_EQ(Shaped(2, "x", {"a ", "  b"}), "a b");
  EXPECT_EQ(Shaped(2, "x ", {" \n\t "}), "");
  // Nothing written yet counts as following whitespace.
  EXPECT_EQ(Shaped(2, "", {"  a"}), "a");
  // Trim one: only the first byte, and only after whitespace.
  EXPECT_EQ(Shaped(1, "x\n", {"  a  "}), " a  ");
  EXPECT_EQ(Shaped(1, "x", {"  a"}), "  a");
  EXPECT_EQ(Shaped(1, "x\n", {" "}), "");
  // Bit 1 wins over bit 2; mode 0 leaves the text alone.
  EXPECT_EQ(Shaped(3, "x ", {"  a  b"}), " a  b");
  EXPECT_EQ(Shaped(0, "x ", {"  a  b"}), "  a  b");

  std::vector<std::string> pieces;
  Pieces out(64, &pieces);
  out.SetWhitespaceMode(2);
  out.Write("  a  ");
  out.Flush();
  EXPECT_EQ(Joined(pieces), "  a  ");
  EXPECT_TRUE(out.EndedInWhitespace());
}

TEST(BufferedOutput, HandsOnFullBuffersInOrderAndDropsTheRestWhenDestroyed) {
  std::vector<std::string> pieces;
  {
    Pieces out(4, &pieces);
    out.Write("ab");
    out.Write("cd");  // exactly full: kept until more comes
    EXPECT_TRUE(pieces.empty());
    out.Write("e");
    out.Write("fghijklmn");  // longer than the buffer: filled piece by piece
    EXPECT_EQ(pieces, (std::vector<std::string>{"abcd", "efgh", "ijkl"}));
    EXPECT_EQ(out.Write("x", 0), 0);
    EXPECT_EQ(out.Write("x", -1), 0);
    EXPECT_TRUE(out.Flush());
    EXPECT_TRUE(out.Flush());  // empty: nothing handed on
    EXPECT_EQ(pieces.back(), "mn");
    EXPECT_EQ(pieces.size(), 4u);
    EXPECT_FALSE(out.EndedInWhitespace());
    out.Write("held");
    EXPECT_FALSE(out.AddHeader("X", "y"));
    EXPECT_EQ(out.Send(true), 0);
  }
  EXPECT_EQ(pieces.size(), 4u);

  Pieces defaulted(0, &pieces);
  EXPECT_EQ(defaulted.BufferSize(), BufferedOutput::kDefaultBufferSize);
}

TEST(NullOutput, PassesStraightToItsCallback) {
  std::string seen;
  NullOutput out([&seen](const char* data, int32_t length) {
    seen.append(data, static_cast<size_t>(length));
    return length - 1;
  });
  out.SetWhitespaceMode(2);
  EXPECT_EQ(out.WriteText("  a  b", 6), 5);
  EXPECT_EQ(seen, "  a  b");
  EXPECT_TRUE(out.Flush());

  NullOutput swallow;
  EXPECT_EQ(swallow.Write("abc", 3), 3);
  EXPECT_EQ(swallow.Write("abc", -1), 0);
}

// A stdio stream in memory.
class MemoryFile {
 public:
  MemoryFile() : file(open_memstream(&data, &size)) {}
  ~MemoryFile() {
    if (file != nullptr) fclose(file);
    free(data);
  }
  std::string Text() {
    fflush(file);
    return std::string(data, size);
  }
  char* data = nullptr;
  size_t size = 0;
  FILE* file;
};

TEST(StdioOutput, ReachesTheStreamOnFlushAndWhenDestroyed) {
  MemoryFile memory;
  {
    StdioOutput out(memory.file, 8);
    out.Write("abc");
    EXPECT_EQ(memory.Text(), "");
    EXPECT_TRUE(out.Flush());
    EXPECT_EQ(memory.Text(), "abc");
    out.Write("def");
  }
  EXPECT_EQ(memory.Text(), "abcdef");
}

TEST(ConsoleOutput, LevelsAndReplacementReachTheCurrentStream) {
  MemoryFile memory;
  std::string captured;
  {
    ConsoleApplication context(memory.file);
    context.SetOutputLevel(2);
    EXPECT_EQ(context.OutputStream()->WhitespaceMode(), 2);
    context.Write("a ");
    context.WriteCompressed("  b  c", 6);

    NullOutput capture([&captured](const char* data, int32_t length) {
      captured.append(data, static_cast<size_t>(length));
      return length;
    });
    Output* own = context.ReplaceOutput(&capture);
    EXPECT_EQ(capture.WhitespaceMode(), 2);
    context.Write("inside");
    context.SetOutputLevel(1);
    EXPECT_EQ(context.ReplaceOutput(own), &capture);
    EXPECT_EQ(own->WhitespaceMode(), 1);
    context.Write("!");
    EXPECT_EQ(context.ReplaceOutput(nullptr), own);
    EXPECT_EQ(context.OutputStream(), own);
  }
  EXPECT_EQ(memory.Text(), "a b c!");
  EXPECT_EQ(captured, "inside");
}

}  // namespace
}  // namespace lumo
