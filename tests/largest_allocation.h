// Watches the largest single allocation while a test reads damaged data:
// a count claimed by a file must never be allocated before the bytes it
// claims have arrived. Only AddressSanitizer builds (the test build) can
// watch: elsewhere a test that needs it is skipped, never passed blind.
#ifndef LUMO_TESTS_LARGEST_ALLOCATION_H_
#define LUMO_TESTS_LARGEST_ALLOCATION_H_

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header does not ship with every compiler).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
#endif

namespace lumo {

class LargestAllocation {
 public:
#if defined(__SANITIZE_ADDRESS__)
  static constexpr bool kAvailable = true;
#else
  static constexpr bool kAvailable = false;
#endif

  LargestAllocation() {
#if defined(__SANITIZE_ADDRESS__)
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(Watch, Ignore);
    (void)installed;
#endif
    largest() = 0;
    watching() = true;
  }
  ~LargestAllocation() { watching() = false; }
  LargestAllocation(const LargestAllocation&) = delete;
  LargestAllocation& operator=(const LargestAllocation&) = delete;

  size_t Largest() const { return largest(); }

 private:
  static size_t& largest() {
    static size_t value = 0;
    return value;
  }
  static bool& watching() {
    static bool value = false;
    return value;
  }
  static void Watch(const volatile void*, size_t size) {
    if (watching() && size > largest()) largest() = size;
  }
  static void Ignore(const volatile void*) {}
};

}  // namespace lumo

// Ends the current test as skipped where no allocation can be watched.
#define LUMO_REQUIRE_ALLOCATION_WATCH()                                          \
  do {                                                                           \
    if (!::lumo::LargestAllocation::kAvailable) {                                \
      GTEST_SKIP() << "needs an AddressSanitizer build to watch allocations";    \
    }                                                                            \
  } while (false)

#endif  // LUMO_TESTS_LARGEST_ALLOCATION_H_
