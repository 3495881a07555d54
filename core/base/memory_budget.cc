#include "core/base/memory_budget.h"

namespace lumo {

constinit thread_local MemoryBudget* g_thread_budget = nullptr;

void MemoryBudget::Refuse() {
  MarkExhausted();
  throw OutOfMemoryError();
}

void OutOfMemory(const char* what) {
  (void)what;
  // The run is ending: its teardown must not be refused in turn.
  if (MemoryBudget* budget = g_thread_budget) budget->MarkExhausted();
  throw OutOfMemoryError();
}

}  // namespace lumo
