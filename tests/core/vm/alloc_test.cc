// Number crunching must not allocate per instruction: integer and double
// arithmetic, comparisons and jumps on stack values run a loop of any
// length with the same (small) number of allocations. The global operator
// new of this whole test program counts while a test asks it to; malloc
// calls are not seen, which is acceptable for this check.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "tests/core/vm/run_program.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace lumo {
namespace {

// Allocations made by vm.Run() of the program, which must print `printed`.
long AllocationsOfRun(const std::string& source, const std::string& printed) {
  Machine m;
  EXPECT_TRUE(m.Assemble(source)) << m.error.View();
  LumoVM& vm = m.Vm();
  g_allocations = 0;
  g_counting = true;
  const int result = vm.Run();
  g_counting = false;
  EXPECT_EQ(result, 1);
  EXPECT_EQ(m.context.output, printed);
  return g_allocations.load();
}

// A loop over every such instruction, all on stack values.
std::string NumericLoop(int iterations) {
  const char* const kBody[] = {
      "loop: pushi 7", "pushf 2.5", "add", "pushi 3", "sub", "pushf 1.5", "mul", "pushi 2",
      "div", "pushi 5", "mod", "pushf 3.0", "pow", "pushi 4", "bitand", "pushi 1", "bitsl",
      "bitoc", "pushi 3", "cmp", "jmp_gt skip", "pushf 1.0", "pushi 1", "eq", "pushi 2",
      "pushi 3", "lt", "and", "not", "jmp_ne skip", "pushi 1", "pushi 2", "ge", "pushi 1",
      "pushf 0.5", "gt", "or", "jmp_eq skip", "pushi 9", "pushi 8", "le", "pushi 9", "pushi 8",
      "ne", "dup", "swap", "pop", "pop", "jmp_le last", "pushi 1", "pop", "last: pushi 5",
      "jmp_ge skip", "pushc \"never\"", "out", "skip: incg n, 1"};
  std::string source = ".global n\nstoregi n, 0\n";
  for (const char* line : kBody) source += std::string(line) + "\n";
  return source + "cmpgi n, " + std::to_string(iterations) +
         "\njmp_lt loop\npushg n\npushc \"|\"\ncat\nout";
}

TEST(Allocations, NumericLoopAllocatesNothingPerIteration) {
  // The count is live: a variable made by name is one allocation at least.
  EXPECT_GT(AllocationsOfRun("pushc \"x\"\npopnc \"fresh\"", ""), 0);
  const long short_run = AllocationsOfRun(NumericLoop(1000), "1000|");
  const long long_run = AllocationsOfRun(NumericLoop(10000), "10000|");
  // What remains is made once per run (such as the decoded code).
  EXPECT_EQ(short_run, long_run);
  EXPECT_LE(long_run, 64);
}

}  // namespace
}  // namespace lumo
