// The entry points of every function of the library, by family; library.cc
// lists them in the table the host binds calls against.
#ifndef LUMO_STDLIB_FUNCTIONS_H_
#define LUMO_STDLIB_FUNCTIONS_H_

#include "include/lumo/lumo.h"

namespace lumostd {

#define LUMOSTD_ENTRY(name) \
  void name(lmProgram* program, lmVariableList* arguments, lmVariable* result, void** data)

// Text.
LUMOSTD_ENTRY(Len);
LUMOSTD_ENTRY(Substr);
LUMOSTD_ENTRY(Left);
LUMOSTD_ENTRY(Right);
LUMOSTD_ENTRY(Find);
LUMOSTD_ENTRY(FindLast);
LUMOSTD_ENTRY(Replace);
LUMOSTD_ENTRY(Upper);
LUMOSTD_ENTRY(Lower);
LUMOSTD_ENTRY(Trim);
LUMOSTD_ENTRY(LTrim);
LUMOSTD_ENTRY(RTrim);
LUMOSTD_ENTRY(LPad);
LUMOSTD_ENTRY(RPad);
LUMOSTD_ENTRY(Repeat);
LUMOSTD_ENTRY(Split);
LUMOSTD_ENTRY(Join);
LUMOSTD_ENTRY(Compare);
LUMOSTD_ENTRY(ICompare);
LUMOSTD_ENTRY(StartsWith);
LUMOSTD_ENTRY(EndsWith);
LUMOSTD_ENTRY(Ord);
LUMOSTD_ENTRY(Chr);
LUMOSTD_ENTRY(NumFormat);

// Numbers.
LUMOSTD_ENTRY(Abs);
LUMOSTD_ENTRY(Floor);
LUMOSTD_ENTRY(Ceil);
LUMOSTD_ENTRY(Round);
LUMOSTD_ENTRY(Min);
LUMOSTD_ENTRY(Max);
LUMOSTD_ENTRY(Div);
LUMOSTD_ENTRY(Rem);
LUMOSTD_ENTRY(Random);
LUMOSTD_ENTRY(IsNum);

// Time.
LUMOSTD_ENTRY(Now);
LUMOSTD_ENTRY(TimeFormat);
LUMOSTD_ENTRY(TimeLocal);
LUMOSTD_ENTRY(TimeParse);
LUMOSTD_ENTRY(AddDays);
LUMOSTD_ENTRY(AddMonths);
LUMOSTD_ENTRY(AddSeconds);
LUMOSTD_ENTRY(Weekday);

// Encodings and hashes.
LUMOSTD_ENTRY(UrlEncode);
LUMOSTD_ENTRY(UrlDecode);
LUMOSTD_ENTRY(HtmlEncode);
LUMOSTD_ENTRY(HtmlDecode);
LUMOSTD_ENTRY(Base64Encode);
LUMOSTD_ENTRY(Base64Decode);
LUMOSTD_ENTRY(HexEncode);
LUMOSTD_ENTRY(HexDecode);
LUMOSTD_ENTRY(Md5);
LUMOSTD_ENTRY(Sha1);
LUMOSTD_ENTRY(Sha256);
LUMOSTD_ENTRY(HmacSha256);
LUMOSTD_ENTRY(JsonEncode);
LUMOSTD_ENTRY(JsonDecode);

// Arrays and structures.
LUMOSTD_ENTRY(Count);
LUMOSTD_ENTRY(Members);
LUMOSTD_ENTRY(Sort);
LUMOSTD_ENTRY(Reverse);
LUMOSTD_ENTRY(Search);
LUMOSTD_ENTRY(Slice);
LUMOSTD_ENTRY(Push);
LUMOSTD_ENTRY(Pop);

// Values.
LUMOSTD_ENTRY(Type);
LUMOSTD_ENTRY(Defined);
LUMOSTD_ENTRY(Coalesce);

// Files, sleep and identifiers.
LUMOSTD_ENTRY(FileRead);
LUMOSTD_ENTRY(FileWrite);
LUMOSTD_ENTRY(FileAppend);
LUMOSTD_ENTRY(FileExists);
LUMOSTD_ENTRY(FileDelete);
LUMOSTD_ENTRY(DirList);
LUMOSTD_ENTRY(Sleep);
LUMOSTD_ENTRY(Uuid);

#undef LUMOSTD_ENTRY

}  // namespace lumostd

#endif  // LUMO_STDLIB_FUNCTIONS_H_
