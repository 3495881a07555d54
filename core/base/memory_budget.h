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
#include <cstdlib>
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

// While a budget is installed its count lives in the thread's counters, so
// that a charge is one add and one compare on thread-local words: the
// compare leaves the inline path only when the count passes the limit, or
// passes the highest count so far by kPeakStep (which keeps the peak
// current to within that much, and costs nothing while a run's use goes up
// and down below its peak).
struct ThreadMemory {
  int64_t used;
  int64_t ceiling;  // where ChargeMemory next looks closer
};
extern constinit thread_local ThreadMemory g_thread_memory;

class MemoryBudget {
 public:
  static constexpr int64_t kPeakStep = int64_t{64} << 10;

  // `limit` in bytes; 0 or less means none (the use is still counted).
  explicit MemoryBudget(int64_t limit = 0) : limit_(limit > 0 ? limit : 0) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // From now on nothing is refused: the run is ending for want of memory.
  void MarkExhausted();

  int64_t Limit() const { return limit_; }
  // While installed, these are asked on the thread that installed it.
  int64_t Used() const { return installed_ ? g_thread_memory.used : used_; }
  // The most charged at once (to within kPeakStep below).
  int64_t Peak() const {
    const int64_t used = Used();
    return used > peak_ ? used : peak_;
  }
  bool Exhausted() const { return exhausted_; }

 private:
  friend class MemoryBudgetScope;
  friend void MemoryCeilingReached(int64_t bytes);
  friend void MemoryCheckReached(int64_t bytes);
  static constexpr int64_t kNone = INT64_MAX;

  int64_t Ceiling() const;

  int64_t limit_;
  int64_t used_ = 0;  // while not installed
  int64_t peak_ = 0;
  bool exhausted_ = false;
  bool installed_ = false;
};

// Memory ran out inside code that cannot unwind (an extension library's
// call back into the host catches it at the boundary): noted here, and
// raised again by whoever called the library, once the library has
// returned. Taking the note clears it.
extern constinit thread_local bool g_foreign_out_of_memory;
inline void NoteForeignOutOfMemory() { g_foreign_out_of_memory = true; }
inline bool TakeForeignOutOfMemory() {
  const bool noted = g_foreign_out_of_memory;
  g_foreign_out_of_memory = false;
  return noted;
}

// The budget of the run on this thread, or null.
extern constinit thread_local MemoryBudget* g_thread_budget;

inline MemoryBudget* CurrentMemoryBudget() { return g_thread_budget; }

// The slow paths: the count passed the ceiling (or would, for a check).
// OutOfMemoryError when it passes the limit.
void MemoryCeilingReached(int64_t bytes);
void MemoryCheckReached(int64_t bytes);

inline void ChargeMemory(int64_t bytes) {
  ThreadMemory& memory = g_thread_memory;
  memory.used += bytes;
  if (memory.used > memory.ceiling) [[unlikely]] MemoryCeilingReached(bytes);
}
inline void ReleaseMemory(int64_t bytes) { g_thread_memory.used -= bytes; }
// Refuses as a charge would when `bytes` more would not fit, charging
// nothing: for a buffer about to be made whose charge follows.
inline void CheckMemory(int64_t bytes) {
  const ThreadMemory& memory = g_thread_memory;
  if (memory.used + bytes > memory.ceiling) [[unlikely]] MemoryCheckReached(bytes);
}

// Installs a budget on this thread for the scope's lifetime (null: none),
// putting back the one it replaced.
class MemoryBudgetScope {
 public:
  explicit MemoryBudgetScope(MemoryBudget* budget);
  ~MemoryBudgetScope();
  MemoryBudgetScope(const MemoryBudgetScope&) = delete;
  MemoryBudgetScope& operator=(const MemoryBudgetScope&) = delete;

 private:
  MemoryBudget* budget_;
  MemoryBudget* previous_;
  ThreadMemory previous_memory_;
};

// A base for classes whose objects a script makes at will (variables,
// elements, stacks): allocating one charges its size to the run.
class ChargedObject {
 public:
  // malloc and free underneath: g++ 12 takes a global operator delete
  // inside a class's own as a mismatch with the class's operator new.
  static void* operator new(std::size_t size) {
    ChargeMemory(static_cast<int64_t>(size));
    void* p = std::malloc(size > 0 ? size : 1);
    if (p == nullptr) {
      ReleaseMemory(static_cast<int64_t>(size));
      OutOfMemory("object");
    }
    return p;
  }
  // With a virtual destructor `size` is the size of the object's own class.
  static void operator delete(void* p, std::size_t size) noexcept {
    ReleaseMemory(static_cast<int64_t>(size));
    std::free(p);
  }
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_MEMORY_BUDGET_H_
