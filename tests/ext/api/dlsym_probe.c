/*
 * Preloaded into lumodex or lumorun, this looks every name of a list up in
 * the running executable, as an extension library's references are bound
 * when it is loaded, prints the names it cannot find and ends the process
 * before the program proper starts.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void probe(void) {
  const char* list = getenv("LUMO_PROBE_NAMES");
  void* self;
  FILE* names;
  char line[256];
  int found = 0;
  int missing = 0;
  if (list == NULL) return;
  self = dlopen(NULL, RTLD_NOW);
  names = fopen(list, "r");
  if (self == NULL || names == NULL) {
    fprintf(stderr, "probe: cannot open the executable or %s\n", list);
    _exit(2);
  }
  while (fgets(line, sizeof line, names) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    if (line[0] == '\0') continue;
    if (dlsym(self, line) != NULL) {
      ++found;
    } else {
      printf("missing %s\n", line);
      ++missing;
    }
  }
  fclose(names);
  printf("found %d\n", found);
  fflush(stdout);
  _exit(missing == 0 ? 0 : 1);
}
