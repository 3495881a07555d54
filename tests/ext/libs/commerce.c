/* A commerce library for the tests, in table form or (FOUR_FUNCTIONS) as
 * four entry functions; MISSING_ERROR leaves the error function out.
 *
 * The tag's second text is a script for the loop: "fail" makes init fail;
 * otherwise each character is what one iteration returns ('0' run the body,
 * '1' error, '2' end). Each iteration stores its number in the first field
 * and counts the loop calls in the second. The data word counts the loop
 * calls too: the host never calls cleanup, so the library keeps no memory
 * in it. */
#include <stdint.h>
#include <string.h>

#include "lumo/lumo.h"

static char message[96];

static int Init(lmProgram* program, void** data, const char* method, const char* text,
                lmVariableList* fields, intptr_t host_word) {
  (void)program;
  (void)method;
  (void)fields;
  if (host_word != 0 || *data != NULL) return 1;
  return strcmp(text, "fail") == 0 ? 1 : 0;
}

static int Loop(lmProgram* program, void** data, const char* method, const char* text,
                lmVariableList* fields, intptr_t host_word, int32_t iteration) {
  lmVariable* first = lmVariableList_First(fields);
  lmVariable* second = lmVariableList_Next(fields);
  (void)program;
  (void)method;
  (void)host_word;
  *data = (void*)((intptr_t)*data + 1);
  if (first != NULL) lmVariable_SetValue_Integer(first, iteration);
  if (second != NULL) lmVariable_SetValue_Integer(second, lmVariable_Value_Integer(second) + 1);
  if ((size_t)iteration >= strlen(text)) return 2;
  return text[iteration] - '0';
}

static void Cleanup(lmProgram* program, void** data) {
  (void)program;
  *data = NULL;
}

static const char* Error(lmProgram* program, void** data, const char* method, const char* text,
                         lmVariableList* fields, int32_t code) {
  intptr_t calls = (intptr_t)*data;
  (void)program;
  (void)text;
  (void)fields;
  if (code != -1) return "unexpected code";
  strcpy(message, calls == 0 ? "init failed for " : "loop failed for ");
  strncat(message, method, 32);
  if (calls > 0 && calls < 10) {
    size_t n = strlen(message);
    strcpy(message + n, " after 0");
    message[n + 7] = (char)('0' + calls);
  }
  return message;
}

#ifdef FOUR_FUNCTIONS
int lumo_commerce_init(lmProgram* program, void** data, const char* method, const char* text,
                       lmVariableList* fields, intptr_t host_word) {
  return Init(program, data, method, text, fields, host_word);
}
int lumo_commerce_loop(lmProgram* program, void** data, const char* method, const char* text,
                       lmVariableList* fields, intptr_t host_word, int32_t iteration) {
  return Loop(program, data, method, text, fields, host_word, iteration);
}
void lumo_commerce_cleanup(lmProgram* program, void** data) { Cleanup(program, data); }
#ifndef MISSING_ERROR
const char* lumo_commerce_error(lmProgram* program, void** data, const char* method,
                                const char* text, lmVariableList* fields, int32_t code) {
  return Error(program, data, method, text, fields, code);
}
#else
const char* not_the_error(lmProgram* program, void** data, const char* method, const char* text,
                          lmVariableList* fields, int32_t code) {
  return Error(program, data, method, text, fields, code);
}
#endif
#else
static const lmCommerceLibrary kLibrary = {1, Init, Loop, Cleanup, Error};
const lmCommerceLibrary* lumo_commerce_library(void) { return &kLibrary; }
#endif
