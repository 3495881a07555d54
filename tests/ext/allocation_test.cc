// A bound library call costs no allocation beyond what its result needs:
// the argument list, the parameter variables and the result variable are
// used again by the next call. Counted through the sanitizer's allocation
// hooks, so only the test build (AddressSanitizer) watches.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "tests/ext/ext_harness.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
#endif

namespace lumo {
namespace {

#if defined(__SANITIZE_ADDRESS__)
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void CountAllocation(const volatile void*, size_t) {
  if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
}
void IgnoreFree(const volatile void*) {}

// Allocations made by a run of `calls` calls of echo and twice.
long AllocationsOf(int calls) {
  LibraryRun run({Builtin("builtin_a")});
  const std::string source =
      ".function echo(s) flags 1\n.function twice(&x) flags 1\n.global i, n\n"
      "storegi i, 0\nloop: cmpgi i, " + std::to_string(calls) + "\njmp_ge done\n"
      "pushc \"abc\"\ncall echo\npop\nstoregi n, 1\npushg n\ncall twice\npop\n"
      "incg i, 1\njmp loop\ndone: pushc \"end\"\nout\n";
  if (!run.machine.Assemble(source)) return -1;
  run.run->Attach(&run.machine.context, &run.machine.Vm());
  g_allocations = 0;
  g_counting = true;
  const int result = run.machine.Run();
  g_counting = false;
  return result == 1 && run.machine.context.output == "end" ? g_allocations.load() : -1;
}
#endif

TEST(ExternalCalls, BoundCallsAllocateNothing) {
#if defined(__SANITIZE_ADDRESS__)
  static const bool installed =
      __sanitizer_install_malloc_and_free_hooks(CountAllocation, IgnoreFree) != 0;
  ASSERT_TRUE(installed);
  const long few = AllocationsOf(10);
  const long many = AllocationsOf(2010);
  ASSERT_GE(few, 0);
  EXPECT_EQ(many, few) << "2000 more calls allocated " << many - few << " times";
#else
  GTEST_SKIP() << "allocations are counted in the AddressSanitizer build only";
#endif
}

}  // namespace
}  // namespace lumo
