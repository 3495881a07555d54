/* A builtin function library for the tests. Built twice: LIBRARY_TAG "a"
 * and "b" mark which copy answered, and the b copy spells its length
 * function LEN. Variants without a table or with a null table are built
 * from this file as well (NO_TABLE, NULL_TABLE). */
#include <stdlib.h>
#include <string.h>

#include "lumo/lumo.h"

#ifndef LIBRARY_TAG
#define LIBRARY_TAG "a"
#endif

static int releases;
static int registrations;
static int persistent_frees;

/* Seen by the tests through dlsym. */
int test_releases(void) { return releases; }
int test_registrations(void) { return registrations; }
int test_persistent_frees(void) { return persistent_frees; }

void lumo_register_library(void* host) {
  (void)host;
  ++registrations;
}

static lmVariable* Argument(lmVariableList* parameters, int n) {
  lmVariable* v = lmVariableList_First(parameters);
  while (v != NULL && n-- > 0) v = lmVariableList_Next(parameters);
  return v;
}

/* len(s): LIBRARY_TAG ":" and the length. */
static void Len(lmProgram* program, lmVariableList* parameters, lmVariable* result, void** data) {
  int32_t length = 0;
  char text[32];
  (void)program;
  (void)data;
  lmVariable_Value(Argument(parameters, 0), &length);
  text[0] = LIBRARY_TAG[0];
  text[1] = ':';
  {
    /* Decimal without the C library's printf, to keep the library small. */
    char digits[12];
    int n = 0;
    int i;
    do {
      digits[n++] = (char)('0' + length % 10);
      length /= 10;
    } while (length > 0);
    for (i = 0; i < n; ++i) text[2 + i] = digits[n - 1 - i];
    text[2 + n] = '\0';
  }
  lmVariable_SetValue(result, text, -1);
}

/* twice(&x): doubles x where it lives. */
static void Twice(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                  void** data) {
  lmVariable* x = Argument(parameters, 0);
  (void)program;
  (void)data;
  lmVariable_SetValue_Integer(x, lmVariable_Value_Integer(x) * 2);
  lmVariable_SetValue_Integer(result, 1);
}

/* counter(): counts its calls in its data word; the release call frees it. */
static void Counter(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                    void** data) {
  int* count;
  (void)parameters;
  if (program == NULL) {
    ++releases;
    free(*data);
    *data = NULL;
    return;
  }
  if (*data == NULL) *data = calloc(1, sizeof(int));
  count = (int*)*data;
  lmVariable_SetValue_Integer(result, ++*count);
}

/* stateless(): never sets its data word; a release call would be counted. */
static void Stateless(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                      void** data) {
  (void)parameters;
  (void)data;
  if (program == NULL) {
    ++releases;
    return;
  }
  lmVariable_SetValue(result, "same", -1);
}

/* echo(x): x itself. */
static void Echo(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                 void** data) {
  int32_t length = 0;
  const char* text = lmVariable_Value(Argument(parameters, 0), &length);
  (void)program;
  (void)data;
  lmVariable_SetValue(result, text, length);
}

/* scribble(s): writes over its own argument and answers what it wrote. */
static void Scribble(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                     void** data) {
  lmVariable* s = Argument(parameters, 0);
  (void)program;
  (void)data;
  lmVariable_SetValue(s, "scribbled", -1);
  lmVariable_SetValue(result, lmVariable_Value(s, NULL), -1);
}

static void FreePersistent(void* owner, void* data) {
  (void)owner;
  ++persistent_frees;
  free(data);
}

/* keep(name): registers new data under the name; keepsame(name) registers
 * what is already there again; kept(name) gives the data's text. */
static void Keep(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                 void** data) {
  int32_t length = 0;
  const char* name = lmVariable_Value(Argument(parameters, 0), &length);
  char* copy = (char*)malloc((size_t)length + 1);
  (void)data;
  memcpy(copy, name, (size_t)length);
  copy[length] = '\0';
  lmVariable_SetValue_Integer(result,
                              lmProgram_Register_Persistent(program, NULL, name, length, copy,
                                                            FreePersistent));
}

static void KeepSame(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                     void** data) {
  int32_t length = 0;
  const char* name = lmVariable_Value(Argument(parameters, 0), &length);
  void* kept = lmProgram_Lookup_Persistent(program, name, length);
  (void)data;
  lmVariable_SetValue_Integer(result, lmProgram_Register_Persistent(program, NULL, name, length,
                                                                    kept, FreePersistent));
}

static void Kept(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                 void** data) {
  int32_t length = 0;
  const char* name = lmVariable_Value(Argument(parameters, 0), &length);
  const char* kept = (const char*)lmProgram_Lookup_Persistent(program, name, length);
  (void)data;
  lmVariable_SetValue(result, kept != NULL ? kept : "(none)", -1);
}

/* describe(name): the bound descriptor's name and parameter count. */
static void Describe(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                     void** data) {
  int32_t length = 0;
  const char* name = lmVariable_Value(Argument(parameters, 0), &length);
  const lmFunction* f = lmProgram_Lookup_ExternalFunction(program, name, length);
  (void)data;
  if (f == NULL) {
    lmVariable_SetValue(result, "(none)", -1);
  } else {
    lmVariable_SetValue(result, f->name, f->name_length);
  }
}

/* alias(s): makes its own parameter a reference to the global "target". */
static void Alias(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                  void** data) {
  (void)result;
  (void)data;
  lmVariable_Make_Reference(Argument(parameters, 0),
                            lmProgram_Lookup_Variable(program, "target", -1, 1));
}

typedef int (*AnswerFunction)(void);

/* answer(library, symbol): calls a function of a system library. */
static void Answer(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                   void** data) {
  int32_t length = 0;
  const char* name = lmVariable_Value(Argument(parameters, 0), &length);
  lmSystemLibrary* library = lmProgram_SystemLibrary(program, name, length);
  void* symbol;
  (void)data;
  if (library == NULL) {
    lmVariable_SetValue(result, "(no library)", -1);
    return;
  }
  name = lmVariable_Value(Argument(parameters, 1), &length);
  symbol = lmSystemLibrary_GetFunction(library, name, length);
  if (symbol == NULL) {
    lmVariable_SetValue(result, lmSystemLibrary_Error(library, NULL), -1);
    return;
  }
  {
    /* A symbol's address as a function: C has no cast for it. */
    AnswerFunction function;
    memcpy(&function, &symbol, sizeof function);
    lmVariable_SetValue_Integer(result, function());
  }
}

/* hog(): makes 1 MB texts through the interface until one is refused, then
   frees them and says it survived; a run out of memory must not go on. */
static void Hog(lmProgram* program, lmVariableList* parameters, lmVariable* result, void** data) {
  static char megabyte[1 << 20];
  lmVariable* kept[4096];
  int n = 0;
  (void)program;
  (void)parameters;
  (void)data;
  memset(megabyte, 'm', sizeof megabyte);
  while (n < 4096) {
    lmVariable* v = lmVariable_Allocate("m", 1, megabyte, (int32_t)sizeof megabyte);
    if (v == NULL) break;
    kept[n++] = v;
  }
  while (n > 0) lmVariable_Free(kept[--n]);
  lmVariable_SetValue(result, "survived", -1);
}

static const lmParameter kOne[] = {{"s", 1, 0}};
static const lmParameter kTwo[] = {{"a", 1, 0}, {"b", 1, 0}};
static const lmParameter kByReference[] = {{"x", 1, LM_PARAMETER_BY_REFERENCE}};

static const lmFunction kFunctions[] = {
#ifdef SPELL_LEN_UPPER
    {"LEN", 3, 1, kOne, Len},
#else
    {"len", 3, 1, kOne, Len},
#endif
    {"twice", -1, 1, kByReference, Twice},
    {"counter", 7, 0, NULL, Counter},
    {"stateless", 9, 0, NULL, Stateless},
    {"echo", 4, 1, kOne, Echo},
    {"keep", 4, 1, kOne, Keep},
    {"keepsame", 8, 1, kOne, KeepSame},
    {"kept", 4, 1, kOne, Kept},
    {"describe", 8, 1, kOne, Describe},
    {"answer", 6, 2, kTwo, Answer},
    {"alias", 5, 1, kOne, Alias},
    {"scribble", 8, 1, kOne, Scribble},
    {"hog", 3, 0, NULL, Hog},
    {NULL, 0, 0, NULL, NULL},
};

static const lmFunctionTable kTable = {LM_FUNCTION_TABLE_VERSION, kFunctions};

#ifdef NO_TABLE
/* Under another name: a library without the table symbol. */
const lmFunctionTable* not_the_function_table(void) { return &kTable; }
#else
const lmFunctionTable* lumo_function_table(void) {
#ifdef NULL_TABLE
  return kTable.functions == NULL ? &kTable : NULL;
#else
  return &kTable;
#endif
}
#endif
