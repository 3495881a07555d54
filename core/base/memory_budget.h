// What one run may allocate, and what happens when memory runs out.
//
// A run (a request, a lumorun invocation) installs a MemoryBudget on its
// thread for as long as it runs. The memory a script can make grow at will
// is charged to it while it exists: text buffers, variables, element trees,
// variable tables, the machine's stacks, capture buffers, dictionary and
// code added at run time. A charge that would pass the limit, like a failed
// allocation, raises OutOfMemoryError. That exception unwinds to the run's
// boundary (LumoVM::Run, the request context, lumorun), where it becomes
// the run's fatal error "Out of memory"; it is caught nowhere else.
//
// The first refusal leaves the budget exhausted: from then on charges are
// only counted, never refused, so that reporting the error, unwinding and
// tearing the run down cannot fail the same way again.
//
// Charges and releases are per-thread and need no lock. A buffer handed
// from one owner to another (a String's buffer to a stack entry and on to
// a variable) stays charged; whoever finally frees it releases the charge.
// Memory allocated before a budget was installed and freed under it makes
// the count a little lenient, never stricter.
#ifndef LUMO_CORE_BASE_MEMORY_BUDGET_H_
#define LUMO_CORE_BASE_MEMORY_BUDGET_H_

#include <cstddef>
#include <cstdint>
#include <new>

namespace lumo {

// Memory could not be had: the run's budget is spent or the allocator
// failed. A std::bad_alloc, so that one handler takes it and a failed `new`
// alike.
class OutOfMemoryError : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "Out of memory"; }
};

// Marks the current budget exhausted and raises OutOfMemoryError. `what`
// names the allocation, for a debugger; nothing is printed.
[[noreturn]] void OutOfMemory(const char* what);

class MemoryBudget {
 public:
  // `limit` in bytes; 0 or less means none (the use is still counted).
  explicit MemoryBudget(int64_t limit = 0)
      : limit_(limit > 0 ? limit : 0), ceiling_(limit > 0 ? limit : kNone) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  void Charge(int64_t bytes) {
    const int64_t used = used_ + bytes;
    if (used > peak_) [[unlikely]] {
      if (used > ceiling_) Refuse();
      peak_ = used;
    }
    used_ = used;
  }
  void Release(int64_t bytes) { used_ -= bytes; }
  // Refuses as Charge would when `bytes` more would not fit, charging
  // nothing: for a buffer about to be made whose charge follows.
  void Check(int64_t bytes) {
    if (used_ + bytes > ceiling_) [[unlikely]] Refuse();
  }
  // From now on nothing is refused: the run is ending for want of memory.
  void MarkExhausted() {
    exhausted_ = true;
    ceiling_ = kNone;
  }

  int64_t Limit() const { return limit_; }
  int64_t Used() const { return used_; }
  int64_t Peak() const { return peak_; }
  bool Exhausted() const { return exhausted_; }

 private:
  static constexpr int64_t kNone = INT64_MAX;

  [[noreturn]] void Refuse();

  int64_t used_ = 0;
  int64_t peak_ = 0;
  int64_t limit_;
  int64_t ceiling_;  // the limit, or kNone without one or once exhausted
  bool exhausted_ = false;
};

// The budget of the run on this thread, or null.
extern constinit thread_local MemoryBudget* g_thread_budget;

inline MemoryBudget* CurrentMemoryBudget() { return g_thread_budget; }

inline void ChargeMemory(int64_t bytes) {
  if (MemoryBudget* budget = g_thread_budget) budget->Charge(bytes);
}
inline void ReleaseMemory(int64_t bytes) {
  if (MemoryBudget* budget = g_thread_budget) budget->Release(bytes);
}
inline void CheckMemory(int64_t bytes) {
  if (MemoryBudget* budget = g_thread_budget) budget->Check(bytes);
}

// Installs a budget on this thread for the scope's lifetime (null: none),
// putting back the one it replaced.
class MemoryBudgetScope {
 public:
  explicit MemoryBudgetScope(MemoryBudget* budget) : previous_(g_thread_budget) {
    g_thread_budget = budget;
  }
  ~MemoryBudgetScope() { g_thread_budget = previous_; }
  MemoryBudgetScope(const MemoryBudgetScope&) = delete;
  MemoryBudgetScope& operator=(const MemoryBudgetScope&) = delete;

 private:
  MemoryBudget* previous_;
};

// A base for classes whose objects a script makes at will (variables,
// elements, stacks): allocating one charges its size to the run.
class ChargedObject {
 public:
  static void* operator new(std::size_t size) {
    ChargeMemory(static_cast<int64_t>(size));
    void* p = ::operator new(size, std::nothrow);
    if (p == nullptr) [[unlikely]] {
      ReleaseMemory(static_cast<int64_t>(size));
      OutOfMemory("object");
    }
    return p;
  }
  // With a virtual destructor `size` is the size of the object's own class.
  static void operator delete(void* p, std::size_t size) noexcept {
    ReleaseMemory(static_cast<int64_t>(size));
    ::operator delete(p);
  }
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_MEMORY_BUDGET_H_
