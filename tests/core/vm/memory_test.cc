// A run's memory budget: a program that grows without end stops with "Out
// of memory" wherever it runs (top level, a called program, a function
// called from native code, an expression), the machine and what it ran over
// go cleanly afterwards, and a run that fits is not disturbed.
//
// Every test installs its budget before the machine is made and takes its
// measure after the machine is gone: whatever was charged must have been
// released again, on the failure paths too (the leak checker of the test
// build sees the rest).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "core/base/memory_budget.h"
#include "core/vm/lmdo.h"
#include "tests/core/vm/run_program.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * 1024;

// Makes g `text` a text of 64 KiB (by doubling a 1 KiB constant).
std::string Sixty4KiB(const char* text) {
  return std::string("pushc \"") + std::string(1024, 'x') + "\"\npopg " + text +
         "\nstoregi i, 0\n"
         "double: pushg " + text + "\npushg " + text + "\ncat\npopg " + text +
         "\nincg i, 1\ncmpgi i, 6\njmp_lt double\nstoregi i, 0\n";
}

// A program that puts copies of a 64 KiB text into an array, `rounds`
// times or (0) without end, then prints how many it made.
std::string Grow(int rounds) {
  std::string source = ".global a, s, i\n" + Sixty4KiB("s") +
                       "grow: incg i, 1\n"
                       "pushg s\npushg a\npushg i\nelem\nstore\n";
  source += rounds > 0 ? "cmpgi i, " + std::to_string(rounds) + "\njmp_lt grow\npushg i\nout\n"
                       : "jmp grow\n";
  return source;
}

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(MemoryBudget, ProgramThatGrowsWithoutEndStopsAndTheNextRunIsFine) {
  MemoryBudget budget(2 * kMiB);
  {
    const MemoryBudgetScope scope(&budget);
    Machine m;
    ASSERT_TRUE(m.Assemble(Grow(0))) << m.error.View();
    const std::string printed = m.RunPrinted();
    EXPECT_TRUE(printed.starts_with("Fatal error in test.lmc @ [")) << printed;
    EXPECT_TRUE(EndsWith(printed, "]: Out of memory\n => 0")) << printed;
    EXPECT_TRUE(EndsWith(m.LastError(), "Out of memory\n")) << m.LastError();
    EXPECT_TRUE(m.Vm().StoppedForMemory());
    EXPECT_TRUE(m.Vm().MemoryErrorReported());
    EXPECT_TRUE(budget.Exhausted());
    // It got close to the limit before it stopped (some thirty texts).
    EXPECT_GT(budget.Peak(), 2 * kMiB - 128 * kKiB);
    EXPECT_LE(budget.Peak(), 2 * kMiB);
    // The stopped run's variables are still there, whole.
    const std::string made = m.Global("i");
    EXPECT_GE(std::stoi(made), 25) << made;
  }
  EXPECT_EQ(budget.Used(), 0);

  // A fresh budget and machine on the same thread: a run that fits is
  // untouched by the one that failed.
  MemoryBudget next(4 * kMiB);
  {
    const MemoryBudgetScope scope(&next);
    Machine m;
    ASSERT_TRUE(m.Assemble(Grow(20))) << m.error.View();
    EXPECT_EQ(m.RunPrinted(), "20");
    EXPECT_FALSE(m.Vm().StoppedForMemory());
    EXPECT_FALSE(next.Exhausted());
    EXPECT_GT(next.Peak(), 20 * 64 * kKiB);
  }
  EXPECT_EQ(next.Used(), 0);
}

TEST(MemoryBudget, NoLimitCountsButNeverRefuses) {
  MemoryBudget budget(0);
  {
    const MemoryBudgetScope scope(&budget);
    Machine m;
    ASSERT_TRUE(m.Assemble(Grow(40))) << m.error.View();
    EXPECT_EQ(m.RunPrinted(), "40");
  }
  EXPECT_EQ(budget.Limit(), 0);
  EXPECT_FALSE(budget.Exhausted());
  EXPECT_GT(budget.Peak(), 40 * 64 * kKiB);
  EXPECT_EQ(budget.Used(), 0);
}

TEST(MemoryBudget, OnlyItsOwnThreadAndScopeAreCharged) {
  MemoryBudget budget(1 * kMiB);
  auto run = [] {
    Machine m;
    ASSERT_TRUE(m.Assemble(Grow(20))) << m.error.View();
    EXPECT_EQ(m.RunPrinted(), "20");
  };
  {
    const MemoryBudgetScope scope(&budget);
    EXPECT_EQ(CurrentMemoryBudget(), &budget);
    std::thread other(run);
    other.join();
    {
      const MemoryBudgetScope none(nullptr);
      run();
    }
    EXPECT_EQ(CurrentMemoryBudget(), &budget);
  }
  EXPECT_EQ(CurrentMemoryBudget(), nullptr);
  EXPECT_EQ(budget.Peak(), 0);
  EXPECT_FALSE(budget.Exhausted());
}

// A script directory with programs in it and a main program over it.
class CalledRun {
 public:
  CalledRun() : scratch_({"www"}) {
    EXPECT_TRUE(m.context.Files()->SetScriptDirectory(scratch_.Path("www")));
  }
  void Program(std::string_view name, std::string_view source) {
    String image;
    String error;
    ASSERT_TRUE(Assemble(source, name, &image, &error)) << error.View();
    scratch_.Put("www/" + std::string(name), image.View());
  }
  bool Prepare(std::string_view source) {
    uint32_t version = 0;
    if (!AssembleInto(source, "main", m.Parts(), &version, &m.error)) return false;
    m.vm = std::make_unique<LumoVM>("/main.lmc", &m.context, m.Parts());
    return true;
  }

  Machine m;

 private:
  Scratch scratch_;
};

TEST(MemoryBudget, CalledProgramStopsItsCallers) {
  MemoryBudget budget(2 * kMiB);
  {
    const MemoryBudgetScope scope(&budget);
    CalledRun run;
    run.Program("b.lmc", Grow(0));
    ASSERT_TRUE(run.Prepare("pushc \"b.lmc\"\nop_do_file\npushc \"after\"\nout\n"))
        << run.m.error.View();
    const int result = run.m.vm->Run();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(run.m.context.output.starts_with("Fatal error in /b.lmc @ ["))
        << run.m.context.output;
    EXPECT_TRUE(EndsWith(run.m.context.output, "]: Out of memory\n")) << run.m.context.output;
    EXPECT_EQ(run.m.context.output.find("after"), std::string::npos);
    EXPECT_TRUE(run.m.vm->StoppedForMemory());
    EXPECT_TRUE(run.m.vm->MemoryErrorReported());
    EXPECT_TRUE(EndsWith(run.m.LastError(), "Out of memory\n"));
    EXPECT_EQ(run.m.vm->DoContexts().depth, 0);
  }
  EXPECT_EQ(budget.Used(), 0);
}

TEST(MemoryBudget, CalledFunctionStopsItsCaller) {
  MemoryBudget budget(2 * kMiB);
  {
    const MemoryBudgetScope scope(&budget);
    CalledRun run;
    // Segment 1 stands for a compiled call expression that grows.
    run.Program("b.lmc", ".global a, s, i\n.segment\n" + Sixty4KiB("s") +
                             "grow: incg i, 1\npushg s\npushg a\npushg i\nelem\nstore\n"
                             "jmp grow\n.end\n");
    ASSERT_TRUE(run.Prepare("pushi 5\npushc \"b.lmc\"\npushc \"grow()\"\nop_do_function\n"
                            "pushc \"after\"\nout\n"))
        << run.m.error.View();
    DoContext* b = run.m.vm->GetDoContext("b.lmc");
    ASSERT_NE(b, nullptr);
    b->AddExpression("grow()", 1);
    EXPECT_EQ(run.m.vm->Run(), 0);
    EXPECT_TRUE(EndsWith(run.m.context.output, "]: Out of memory\n")) << run.m.context.output;
    EXPECT_EQ(run.m.context.output.find("after"), std::string::npos);
    EXPECT_TRUE(run.m.vm->StoppedForMemory());
    // The caller's 5 and the null result are still on its stack: released
    // with the machine.
  }
  EXPECT_EQ(budget.Used(), 0);
}

TEST(MemoryBudget, ScriptFunctionsAndExpressionsCalledFromNativeCodeStopCleanly) {
  const std::string source = ".global a, s, i\n"
                             ".function grow(n)\n" + Sixty4KiB("s") +
                             "again: incg i, 1\npushg s\npushg a\npushg i\nelem\nstore\n"
                             "jmp again\n.end\n"
                             ".segment\n  pushi 1\n  call grow\n.end\n";
  MemoryBudget budget(2 * kMiB);
  {
    const MemoryBudgetScope scope(&budget);
    Machine m;
    ASSERT_TRUE(m.Assemble(source)) << m.error.View();
    const LumoVM::Argument argument{false, {}, 7};
    EXPECT_FALSE(m.Vm().CallScriptFunction("grow", &argument, 1));
    EXPECT_TRUE(EndsWith(m.LastError(), "Out of memory\n")) << m.LastError();
    EXPECT_TRUE(m.Vm().StoppedForMemory());
    EXPECT_EQ(m.Vm().CurrentFrame()->kind, kPlainFrame);  // the call's frame is gone
    // The machine stays stopped: nothing more runs on it.
    EXPECT_EQ(m.Vm().ExecuteDynamicExpression(2), nullptr);
  }
  EXPECT_EQ(budget.Used(), 0);

  MemoryBudget second(2 * kMiB);
  {
    const MemoryBudgetScope scope(&second);
    Machine m;
    ASSERT_TRUE(m.Assemble(source)) << m.error.View();
    // The expression's segment calls the function that grows.
    EXPECT_EQ(m.Vm().ExecuteDynamicExpression(2), nullptr);
    EXPECT_TRUE(m.Vm().StoppedForMemory());
    EXPECT_EQ(m.Vm().CurrentFrame()->kind, kPlainFrame);
  }
  EXPECT_EQ(second.Used(), 0);
}

// Runs a program image under budgets from nothing up to what it needs, so
// that memory runs out at every step where its use reaches a new height:
// loading, calls, arrays, structures large enough to be indexed, deep
// copies, captures, joined texts. Each run either completes or stops with
// "Out of memory"; nothing leaks and every charge is released.
TEST(MemoryBudget, RunningOutAnywhereLeavesNothingBehind) {
  const std::string source =
      ".global a, s, t, c, r, i, text\n"
      "        pushc \"0123456789abcdef\"\n"
      "        popg text\n"
      "fill:   incg i, 1\n"
      "        pushg text\n"
      "        pushg i\n"
      "        cat\n"
      "        pushg a\n"
      "        pushg i\n"
      "        elem\n"
      "        store\n"
      "        pushg i\n"
      "        pushg s\n"
      "        pushc \"k\"\n"
      "        pushg i\n"
      "        cat\n"
      "        memb\n"
      "        store\n"
      "        pushg i\n"
      "        call f\n"
      "        popg r\n"
      "        cmpgi i, 40\n"
      "        jmp_lt fill\n"
      "        pushg s\n"
      "        popg t\n"
      "        pushg c\n"
      "        capture\n"
      "        pushg t\n"
      "        out\n"
      "        pushg a\n"
      "        out\n"
      "        capture_end\n"
      "        pushg r\n"
      "        out\n"
      "        pushg c\n"
      "        pushc \"x\"\n"
      "        memb\n"
      "        refernc \"n\"\n"
      "        pushg t\n"
      "        pushc \"k7\"\n"
      "        membr\n"
      "        pushnc \"n\"\n"
      "        store\n"
      ".function f(x)\n"
      "        .local y\n"
      "        pushl x\n"
      "        pushc \"!\"\n"
      "        cat\n"
      "        popl y\n"
      "        pushl y\n"
      "        ret\n"
      ".end\n";
  String image;
  String error;
  ASSERT_TRUE(Assemble(source, "sweep", &image, &error)) << error.View();

  enum class Outcome { kNotLoaded, kStopped, kCompleted };
  auto attempt = [&image](int64_t limit) {
    Outcome outcome = Outcome::kNotLoaded;
    MemoryBudget budget(limit);
    {
      const MemoryBudgetScope scope(&budget);
      std::unique_ptr<Machine> m;
      bool loaded = false;
      try {
        m = std::make_unique<Machine>();
        loaded = m->Load(image.View());
      } catch (const std::bad_alloc&) {
      }
      if (loaded) {
        const std::string printed = m->RunPrinted();
        if (printed == "40!") {
          outcome = Outcome::kCompleted;
        } else {
          // (Inside the capture the message goes where the capture's text
          // goes, as any fatal error's does.)
          EXPECT_TRUE(EndsWith(printed, " => 0")) << limit << ": " << printed;
          EXPECT_TRUE(EndsWith(m->LastError(), "Out of memory\n")) << limit << ": " << printed;
          EXPECT_TRUE(m->Vm().StoppedForMemory());
          outcome = Outcome::kStopped;
        }
      }
    }
    EXPECT_EQ(budget.Used(), 0) << "at a limit of " << limit;
    return outcome;
  };

  // The least budget the run completes in.
  int64_t low = 1;
  int64_t needed = 64 * kMiB;
  ASSERT_EQ(attempt(needed), Outcome::kCompleted);
  while (low < needed) {
    const int64_t middle = low + (needed - low) / 2;
    if (attempt(middle) == Outcome::kCompleted) {
      needed = middle;
    } else {
      low = middle + 1;
    }
  }
  ASSERT_GT(needed, 16 * kKiB);

  int loads_refused = 0;
  int runs_stopped = 0;
  const int64_t step = needed / 1500 + 1;
  for (int64_t limit = 1; limit < needed; limit += step) {
    const Outcome outcome = attempt(limit);
    EXPECT_NE(outcome, Outcome::kCompleted) << limit;
    if (outcome == Outcome::kNotLoaded) ++loads_refused;
    if (outcome == Outcome::kStopped) ++runs_stopped;
    if (HasFailure()) break;
  }
  EXPECT_GT(loads_refused, 0);
  EXPECT_GT(runs_stopped, 100);
}

// The same for programs calling each other: loading the called program,
// compiling a call expression into it, running it over the caller's
// globals, its open capture closed when its run ends.
TEST(MemoryBudget, RunningOutInCalledProgramsLeavesNothingBehind) {
  Scratch scratch({"www"});
  String image;
  String error;
  ASSERT_TRUE(Assemble(".global list, page, n\n"
                       ".function twice(x)\n  pushl x\n  pushi 2\n  mul\n  ret\n.end\n"
                       "pushg page\ncapture\n"
                       "again: incg n, 1\npushc \"item \"\npushg n\ncat\n"
                       "pushg list\npushg n\nelem\nstore\npushg list\nout\n"
                       "cmpgi n, 30\njmp_lt again\n",
                       "b", &image, &error))
      << error.View();
  scratch.Put("www/b.lmc", image.View());
  ASSERT_TRUE(Assemble(".global list, page, n\n"
                       "pushc \"b.lmc\"\nop_do_file\n"
                       "pushc \"b.lmc\"\npushc \"twice(n)\"\nop_do_function\nout\n"
                       "pushc \"/b.lmc\"\nop_do_file\npushg n\nout\n",
                       "main", &image, &error))
      << error.View();
  const std::string main_image(image.View());

  auto run = [&](int64_t limit, std::string* printed, std::string* last_error) {
    MemoryBudget budget(limit);
    {
      const MemoryBudgetScope scope(&budget);
      std::unique_ptr<Machine> m;
      try {
        m = std::make_unique<Machine>();
        if (!m->Load(main_image)) return;
        m->context.Files()->SetScriptDirectory(scratch.Path("www"));
        m->vm = std::make_unique<LumoVM>("/main.lmc", &m->context, m->Parts());
      } catch (const std::bad_alloc&) {
        *printed = "(not loaded)";
        m.reset();
      }
      if (m != nullptr) {
        *printed = m->RunPrinted();
        *last_error = m->LastError();
      }
    }
    EXPECT_EQ(budget.Used(), 0) << "at a limit of " << limit;
  };

  std::string printed;
  std::string last_error;
  run(0, &printed, &last_error);
  ASSERT_EQ(printed, "6031");
  // The least budget the run completes in.
  int64_t low = 1;
  int64_t needed = 64 * kMiB;
  while (low < needed) {
    const int64_t middle = low + (needed - low) / 2;
    printed.clear();
    run(middle, &printed, &last_error);
    if (printed == "6031") {
      needed = middle;
    } else {
      low = middle + 1;
    }
  }
  int runs_stopped = 0;
  const int64_t step = needed / 1000 + 1;
  for (int64_t limit = 1; limit < needed; limit += step) {
    printed.clear();
    last_error.clear();
    run(limit, &printed, &last_error);
    if (printed == "(not loaded)") continue;
    EXPECT_TRUE(EndsWith(printed, " => 0")) << limit << ": " << printed;
    EXPECT_TRUE(EndsWith(last_error, "Out of memory\n")) << limit << ": " << last_error;
    ++runs_stopped;
    if (HasFatalFailure() || HasFailure()) break;
  }
  EXPECT_GT(runs_stopped, 100);
}

}  // namespace
}  // namespace lumo
