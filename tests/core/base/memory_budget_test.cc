// The per-run memory budget and the texts charged to it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base/memory_budget.h"
#include "core/base/string.h"

namespace lumo {
namespace {

TEST(MemoryBudgetCount, RefusesPastTheLimitOnceThenOnlyCounts) {
  MemoryBudget budget(1000);
  {
    const MemoryBudgetScope scope(&budget);
    ChargeMemory(600);
    ReleaseMemory(200);
    ChargeMemory(500);
    EXPECT_EQ(budget.Used(), 900);
    EXPECT_EQ(budget.Peak(), 900);
    // Check refuses what would not fit without charging anything.
    CheckMemory(100);
    EXPECT_EQ(budget.Used(), 900);
    EXPECT_FALSE(budget.Exhausted());

    try {
      ChargeMemory(101);
      FAIL() << "a charge past the limit was accepted";
    } catch (const std::bad_alloc& refused) {
      EXPECT_STREQ(refused.what(), "Out of memory");
      EXPECT_NE(dynamic_cast<const OutOfMemoryError*>(&refused), nullptr);
    }
    // The refused charge is not counted; from now on nothing is refused,
    // so that the run can be reported and taken down.
    EXPECT_EQ(budget.Used(), 900);
    EXPECT_TRUE(budget.Exhausted());
    CheckMemory(1 << 30);
    ChargeMemory(5000);
    EXPECT_EQ(budget.Peak(), 5900);
    ReleaseMemory(5900);
  }
  EXPECT_EQ(budget.Used(), 0);

  MemoryBudget check(100);
  {
    const MemoryBudgetScope scope(&check);
    EXPECT_THROW(CheckMemory(101), OutOfMemoryError);
  }
  EXPECT_TRUE(check.Exhausted());
  EXPECT_EQ(check.Used(), 0);

  MemoryBudget unlimited(0);
  {
    const MemoryBudgetScope scope(&unlimited);
    ChargeMemory(int64_t{1} << 40);
    ReleaseMemory(int64_t{1} << 40);
  }
  EXPECT_FALSE(unlimited.Exhausted());
  EXPECT_EQ(unlimited.Limit(), 0);
  EXPECT_EQ(unlimited.Peak(), int64_t{1} << 40);
}

TEST(MemoryBudgetCount, PeakIsKeptToWithinItsStep) {
  // The peak is noted when the use passes the last one by a step; a use
  // that goes up and down below that costs no look at all.
  MemoryBudget budget;
  {
    const MemoryBudgetScope scope(&budget);
    for (int i = 0; i < 1000; ++i) {
      ChargeMemory(4000);
      ReleaseMemory(4000);
    }
    ChargeMemory(3 * MemoryBudget::kPeakStep);
    ReleaseMemory(3 * MemoryBudget::kPeakStep);
    EXPECT_EQ(budget.Peak(), 3 * MemoryBudget::kPeakStep);
    ChargeMemory(3 * MemoryBudget::kPeakStep + 100);
    ReleaseMemory(3 * MemoryBudget::kPeakStep + 100);
    EXPECT_GE(budget.Peak(), 3 * MemoryBudget::kPeakStep);
    EXPECT_LE(budget.Peak(), 3 * MemoryBudget::kPeakStep + 100);
  }
}

TEST(MemoryBudgetCount, ScopesNestAndFailuresMarkTheCurrentBudget) {
  EXPECT_EQ(CurrentMemoryBudget(), nullptr);
  ChargeMemory(100);  // no budget: counted by nobody
  ReleaseMemory(100);
  MemoryBudget outer;
  MemoryBudget inner(50);
  {
    const MemoryBudgetScope a(&outer);
    ChargeMemory(10);
    {
      const MemoryBudgetScope b(&inner);
      ChargeMemory(20);
      EXPECT_EQ(outer.Used(), 10);
      EXPECT_EQ(inner.Used(), 20);
      EXPECT_THROW(OutOfMemory("test"), OutOfMemoryError);
      // Exhausted: the limit no longer applies.
      ChargeMemory(100);
      ReleaseMemory(100);
      {
        const MemoryBudgetScope none(nullptr);
        ChargeMemory(1000);
        ReleaseMemory(1000);
      }
      EXPECT_EQ(inner.Used(), 20);
    }
    EXPECT_EQ(CurrentMemoryBudget(), &outer);
    EXPECT_EQ(outer.Used(), 10);
    ReleaseMemory(10);
  }
  EXPECT_EQ(CurrentMemoryBudget(), nullptr);
  EXPECT_EQ(inner.Used(), 20);
  // An allocation failure ends the run like a refusal does.
  EXPECT_TRUE(inner.Exhausted());
  EXPECT_FALSE(outer.Exhausted());
}

TEST(MemoryBudgetCount, TextBuffersAreChargedWhereverTheyGo) {
  MemoryBudget budget;
  {
    const MemoryBudgetScope scope(&budget);
    String a("hello");
    EXPECT_EQ(budget.Used(), a.Capacity());
    a.Append(std::string(100, 'x'));
    EXPECT_EQ(budget.Used(), a.Capacity());
    String b(a);
    EXPECT_EQ(budget.Used(), a.Capacity() + b.Capacity());
    b = std::move(a);
    EXPECT_EQ(budget.Used(), b.Capacity());

    // Released buffers keep their charge until freed.
    int32_t length = 0;
    int32_t capacity = 0;
    char* buffer = b.Release(&length, &capacity);
    EXPECT_EQ(budget.Used(), capacity);
    String kept = String::Adopt(buffer, length, capacity);
    EXPECT_EQ(budget.Used(), kept.Capacity());
    buffer = kept.Release(&length, &capacity);
    FreeText(buffer, capacity);
    EXPECT_EQ(budget.Used(), 0);

    // Adopting a buffer too small for its terminator copies it; the old
    // buffer's charge goes with it.
    char* exact = AllocateText(3);
    memcpy(exact, "abc", 3);
    String copied = String::Adopt(exact, 3, 3);
    EXPECT_EQ(copied.View(), "abc");
    EXPECT_EQ(budget.Used(), copied.Capacity());
    copied.Clear();
    EXPECT_EQ(budget.Used(), 0);
  }
}

TEST(MemoryBudgetCount, RefusedTextOperationsChangeNothing) {
  MemoryBudget budget(200);
  const MemoryBudgetScope scope(&budget);
  String s("short");
  const int32_t capacity = s.Capacity();
  EXPECT_THROW(s.Append(std::string(300, 'x')), OutOfMemoryError);
  EXPECT_EQ(s.View(), "short");
  EXPECT_EQ(s.Capacity(), capacity);
  EXPECT_EQ(budget.Used(), capacity);

  // An adopted buffer whose copy is refused is freed with its charge, not
  // leaked (the test build's leak checker would see it).
  MemoryBudget tight(13);
  {
    const MemoryBudgetScope inner(&tight);
    char* exact = AllocateText(3);
    memcpy(exact, "abc", 3);
    EXPECT_THROW(String::Adopt(exact, 3, 3), OutOfMemoryError);
    EXPECT_EQ(tight.Used(), 0);
  }
}

}  // namespace
}  // namespace lumo
