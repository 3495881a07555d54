/*
 * An example extension library: a handful of script functions written in
 * plain C99 against <lumo/lumo.h> alone. docs/extensions.md walks through it.
 *
 * Build:  cc -std=c99 -shared -fPIC -I include examples/ext/example.c \
 *            -o liblumoexample.so
 * Register in lumodex.conf:  libraries = b,n/a,/path/to/liblumoexample.so
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lumo/lumo.h"

/* Every function here gets the same four arguments; the parameters are
 * read from the list in declaration order. */
static lmVariable* argument(lmVariableList* parameters, int n) {
  lmVariable* v = lmVariableList_First(parameters);
  while (v != NULL && n-- > 0) v = lmVariableList_Next(parameters);
  return v;
}

static void set_text(lmVariable* result, const char* text) { lmVariable_SetValue(result, text, -1); }

/* ex_hello(name): writes a greeting to the page; the result is empty. */
static void ex_hello(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                     void** data) {
  int32_t length = 0;
  const char* name = lmVariable_Value(argument(parameters, 0), &length);
  (void)data;
  lmProgram_Output(program, "Hello, ", -1);
  lmProgram_Output(program, name, length);
  lmProgram_Output(program, "!", 1);
  set_text(result, "");
}

/* ex_header(name, value): adds a response header; 1 when it was taken (a
 * run without HTTP headers, such as lumorun, says 0). */
static void ex_header(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                      void** data) {
  int32_t name_length = 0;
  int32_t value_length = 0;
  const char* name = lmVariable_Value(argument(parameters, 0), &name_length);
  const char* value = lmVariable_Value(argument(parameters, 1), &value_length);
  (void)data;
  lmVariable_SetValue_Integer(result,
                              lmProgram_Output_Header(program, name, name_length, value,
                                                      value_length));
}

/* ex_swap(&a, &b): exchanges two variables of the caller. Both parameters
 * are by reference, so the list holds the caller's own variables. */
static void ex_swap(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                    void** data) {
  lmVariable* a = argument(parameters, 0);
  lmVariable* b = argument(parameters, 1);
  lmVariable* saved = lmVariable_Allocate_Copy(a);
  (void)program;
  (void)data;
  if (saved == NULL) return;
  lmVariable_SetValue_Variable(a, b);
  lmVariable_SetValue_Variable(b, saved);
  lmVariable_Free(saved);
  set_text(result, "");
}

/* ex_increment(&n): adds one to the caller's variable; the result is the
 * value it had. */
static void ex_increment(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                         void** data) {
  lmVariable* n = argument(parameters, 0);
  int32_t old = lmVariable_Value_Integer(n);
  (void)program;
  (void)data;
  lmVariable_SetValue_Integer(n, old + 1);
  lmVariable_SetValue_Integer(result, old);
}

/* ex_split(text, separator): an array of the pieces, numbered from 1. */
static void ex_split(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                     void** data) {
  int32_t length = 0;
  int32_t separator_length = 0;
  const char* text = lmVariable_Value(argument(parameters, 0), &length);
  const char* separator = lmVariable_Value(argument(parameters, 1), &separator_length);
  int32_t start = 0;
  int32_t index = 1;
  (void)data;
  if (separator_length == 0) {
    lmProgram_FatalError(program, "ex_split needs a separator", -1);
    return;
  }
  for (;;) {
    int32_t end = start;
    lmVariable* piece;
    while (end + separator_length <= length &&
           memcmp(text + end, separator, (size_t)separator_length) != 0) {
      ++end;
    }
    if (end + separator_length > length) end = length;
    piece = lmVariable_Array_Element(result, index++, 1);
    /* The text pointer stays valid: only the result changes here. */
    lmVariable_SetValue(piece, text + start, end - start);
    if (end == length) break;
    start = end + separator_length;
  }
}

/* ex_person(name, age): a structure with name, age and an array of tags. */
static void ex_person(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                      void** data) {
  lmVariable* tags;
  lmVariable* tag;
  (void)program;
  (void)data;
  lmVariable_SetValue_Variable(lmVariable_Struct_Member(result, "name", -1, 1),
                               argument(parameters, 0));
  lmVariable_SetValue_Integer(lmVariable_Struct_Member(result, "age", -1, 1),
                              lmVariable_Value_Integer(argument(parameters, 1)));
  /* A member can also be built on its own and stored, shared. */
  tags = lmVariable_Allocate("tags", -1, "", 0);
  tag = lmVariable_Allocate(NULL, 0, "example", -1);
  lmVariable_Set_Array_Element(tags, 1, tag);
  lmVariable_Free(tag);
  lmVariable_Set_Struct_Member(result, "tags", -1, tags);
  lmVariable_Free(tags);
}

/* Appends the description of a value to buffer: scalars as they are,
 * arrays as [a,b], structures as {name:value}. */
static void describe(lmVariable* value, char* buffer, size_t size, int depth) {
  size_t used = strlen(buffer);
  int type = lmVariable_Aggregate_Type(value);
  lmVariableList* elements;
  lmVariable* element;
  int first = 1;
  if (type == LM_AGGREGATE_SCALAR || depth > 8) {
    snprintf(buffer + used, size - used, "%s", lmVariable_Value(value, NULL));
    return;
  }
  snprintf(buffer + used, size - used, "%s", type == LM_AGGREGATE_ARRAY ? "[" : "{");
  elements = lmVariable_Aggregate_List(value);
  for (element = lmVariableList_First(elements); element != NULL;
       element = lmVariableList_Next(elements)) {
    used = strlen(buffer);
    if (!first) snprintf(buffer + used, size - used, ",");
    first = 0;
    if (type == LM_AGGREGATE_STRUCTURE) {
      used = strlen(buffer);
      snprintf(buffer + used, size - used, "%s:", lmVariable_Name(element, NULL));
    }
    describe(element, buffer, size, depth + 1);
  }
  lmVariableList_Free(elements);
  used = strlen(buffer);
  snprintf(buffer + used, size - used, "%s", type == LM_AGGREGATE_ARRAY ? "]" : "}");
}

/* ex_describe(value): the shape and content of any value as text. */
static void ex_describe(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                        void** data) {
  char buffer[1024];
  (void)program;
  (void)data;
  buffer[0] = '\0';
  describe(argument(parameters, 0), buffer, sizeof buffer, 0);
  set_text(result, buffer);
}

/* ex_save(path, text): writes a file in the data directory. The result is
 * empty on success, else the file manager's message. Paths that leave the
 * data directory are refused there, not here. */
static void ex_save(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                    void** data) {
  int32_t path_length = 0;
  int32_t length = 0;
  const char* path = lmVariable_Value(argument(parameters, 0), &path_length);
  const char* text = lmVariable_Value(argument(parameters, 1), &length);
  lmFile* file;
  (void)data;
  file = lmFile_Open(program, LM_LOCATION_DATA, path, path_length,
                     LM_FILE_WRITE | LM_FILE_TRUNCATE);
  if (file == NULL || !lmFile_Write(file, text, length)) {
    set_text(result, lmFile_Error(program, NULL));
  } else {
    set_text(result, "");
  }
  if (file != NULL) lmFile_Close(file);
}

/* ex_load(path): the content of a data-directory file, or empty. */
static void ex_load(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                    void** data) {
  int32_t path_length = 0;
  const char* path = lmVariable_Value(argument(parameters, 0), &path_length);
  lmFile* file = lmFile_Open(program, LM_LOCATION_DATA, path, path_length, LM_FILE_READ);
  char* buffer;
  int64_t size;
  int64_t got;
  (void)data;
  set_text(result, "");
  if (file == NULL) return;
  size = lmFile_Length(file);
  if (size >= 0 && size < 65536) {
    buffer = (char*)lumo_alloc((size_t)size + 1);
    got = buffer != NULL ? lmFile_Read(file, buffer, size) : -1;
    if (got >= 0) {
      /* The variable adopts the buffer: no copy. */
      lmVariable_SetValue_Nocopy(result, buffer, (int32_t)got, (int32_t)size + 1);
    } else {
      lumo_free(buffer);
    }
  }
  lmFile_Close(file);
}

/* ex_calls(): how often this function has been called in the program's
 * run. The count lives in the data word; the host calls the function once
 * more with a NULL program when the run ends, to free it. */
static void ex_calls(lmProgram* program, lmVariableList* parameters, lmVariable* result,
                     void** data) {
  int32_t* count = (int32_t*)*data;
  (void)parameters;
  if (program == NULL) {
    free(count);
    *data = NULL;
    return;
  }
  if (count == NULL) {
    count = (int32_t*)calloc(1, sizeof *count);
    if (count == NULL) return;
    *data = count;
  }
  lmVariable_SetValue_Integer(result, ++*count);
}

static const lmParameter kOne[] = {{"value", 5, 0}};
static const lmParameter kTwo[] = {{"first", 5, 0}, {"second", 6, 0}};
static const lmParameter kTwoByReference[] = {{"a", 1, LM_PARAMETER_BY_REFERENCE},
                                              {"b", 1, LM_PARAMETER_BY_REFERENCE}};
static const lmParameter kOneByReference[] = {{"n", 1, LM_PARAMETER_BY_REFERENCE}};

static const lmFunction kFunctions[] = {
    {"ex_hello", 8, 1, kOne, ex_hello},
    {"ex_header", 9, 2, kTwo, ex_header},
    {"ex_swap", 7, 2, kTwoByReference, ex_swap},
    {"ex_increment", 12, 1, kOneByReference, ex_increment},
    {"ex_split", 8, 2, kTwo, ex_split},
    {"ex_person", 9, 2, kTwo, ex_person},
    {"ex_describe", 11, 1, kOne, ex_describe},
    {"ex_save", 7, 2, kTwo, ex_save},
    {"ex_load", 7, 1, kOne, ex_load},
    {"ex_calls", 8, 0, NULL, ex_calls},
    {NULL, 0, 0, NULL, NULL}};

static const lmFunctionTable kTable = {LM_FUNCTION_TABLE_VERSION, kFunctions};

const lmFunctionTable* lumo_function_table(void) { return &kTable; }
