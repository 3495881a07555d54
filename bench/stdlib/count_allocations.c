/* Preloaded into a process, counts calls of malloc, calloc and realloc
 * (operator new ends in malloc) and writes the count to the file named by
 * LUMO_ALLOCATION_COUNT when the process exits through exit(). */
#define _GNU_SOURCE
#include <stdatomic.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* memory, size_t size);

static atomic_long allocations;

void* malloc(size_t size) {
  atomic_fetch_add_explicit(&allocations, 1, memory_order_relaxed);
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  atomic_fetch_add_explicit(&allocations, 1, memory_order_relaxed);
  return __libc_calloc(count, size);
}

void* realloc(void* memory, size_t size) {
  atomic_fetch_add_explicit(&allocations, 1, memory_order_relaxed);
  return __libc_realloc(memory, size);
}

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("LUMO_ALLOCATION_COUNT");
  if (path == NULL) return;
  FILE* out = fopen(path, "w");
  if (out == NULL) return;
  fprintf(out, "%ld\n", atomic_load(&allocations));
  fclose(out);
}
