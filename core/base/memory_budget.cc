#include "core/base/memory_budget.h"

namespace lumo {

// Without a budget the count still moves (nobody reads it) and the ceiling
// is never reached.
constinit thread_local ThreadMemory g_thread_memory = {0, INT64_MAX};
constinit thread_local MemoryBudget* g_thread_budget = nullptr;
constinit thread_local bool g_foreign_out_of_memory = false;

int64_t MemoryBudget::Ceiling() const {
  if (exhausted_) return kNone;
  const int64_t next = peak_ + kPeakStep;
  return limit_ > 0 && limit_ < next ? limit_ : next;
}

void MemoryBudget::MarkExhausted() {
  exhausted_ = true;
  if (installed_) g_thread_memory.ceiling = kNone;
}

void MemoryCeilingReached(int64_t bytes) {
  ThreadMemory& memory = g_thread_memory;
  MemoryBudget* budget = g_thread_budget;
  if (budget == nullptr) {
    memory.ceiling = MemoryBudget::kNone;
    return;
  }
  if (budget->limit_ > 0 && !budget->exhausted_ && memory.used > budget->limit_) {
    memory.used -= bytes;
    if (memory.used > budget->peak_) budget->peak_ = memory.used;
    budget->MarkExhausted();
    throw OutOfMemoryError();
  }
  if (memory.used > budget->peak_) budget->peak_ = memory.used;
  memory.ceiling = budget->Ceiling();
}

void MemoryCheckReached(int64_t bytes) {
  const MemoryBudget* budget = g_thread_budget;
  if (budget != nullptr && budget->limit_ > 0 && !budget->exhausted_ &&
      g_thread_memory.used + bytes > budget->limit_) {
    OutOfMemory("check");
  }
}

MemoryBudgetScope::MemoryBudgetScope(MemoryBudget* budget)
    : budget_(budget), previous_(g_thread_budget), previous_memory_(g_thread_memory) {
  if (previous_ != nullptr) {
    previous_->used_ = g_thread_memory.used;
    previous_->installed_ = false;
  }
  g_thread_budget = budget;
  if (budget != nullptr) {
    g_thread_memory = {budget->used_, budget->Ceiling()};
    budget->installed_ = true;
  } else {
    g_thread_memory = {0, MemoryBudget::kNone};
  }
}

MemoryBudgetScope::~MemoryBudgetScope() {
  if (budget_ != nullptr) {
    budget_->used_ = g_thread_memory.used;
    if (budget_->used_ > budget_->peak_) budget_->peak_ = budget_->used_;
    budget_->installed_ = false;
  }
  g_thread_budget = previous_;
  g_thread_memory = previous_memory_;
  if (previous_ != nullptr) {
    previous_->installed_ = true;
    g_thread_memory.ceiling = previous_->Ceiling();
  }
}

void OutOfMemory(const char* what) {
  (void)what;
  // The run is ending: its teardown must not be refused in turn.
  if (MemoryBudget* budget = g_thread_budget) budget->MarkExhausted();
  throw OutOfMemoryError();
}

}  // namespace lumo
