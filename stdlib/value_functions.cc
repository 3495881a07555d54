// Values, files, sleep and identifiers.
#include <openssl/rand.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stdlib/call.h"
#include "stdlib/codec.h"
#include "stdlib/functions.h"

namespace lumostd {
namespace {

// Bigger files are refused rather than read into one text.
constexpr int64_t kMaxFileRead = int64_t{256} << 20;

std::string_view ValueOf(lmVariable* v) {
  int32_t length = 0;
  const char* text = lmVariable_Value(v, &length);
  return text != nullptr ? std::string_view(text, static_cast<size_t>(length)) : std::string_view();
}

bool IsEmpty(lmVariable* v) {
  const int type = lmVariable_Aggregate_Type(v);
  if (type == LM_AGGREGATE_SCALAR) return ValueOf(v).empty();
  return lmVariable_ElementsUsed(v) == 0;
}

void FailFile(Call& call) {
  int32_t length = 0;
  const char* error = lmFile_Error(call.program(), &length);
  if (error == nullptr || length <= 0) {
    call.Fail("the file operation failed");
  } else {
    call.Fail(std::string_view(error, static_cast<size_t>(length)));
  }
}

bool Path(Call& call, std::string_view* path) {
  if (!call.Text(0, "path", path)) return false;
  if (path->empty()) {
    call.FailArgument("path", "is empty");
    return false;
  }
  return true;
}

void Write(Call& call, uint32_t mode) {
  std::string_view path, text;
  if (!Path(call, &path) || !call.Text(1, "text", &text)) {
    call.SetBoolean(false);
    return;
  }
  lmFile* file = lmFile_Open(call.program(), LM_LOCATION_DATA, path.data(),
                             static_cast<int32_t>(path.size()), mode);
  if (file == nullptr) {
    FailFile(call);
    call.SetBoolean(false);
    return;
  }
  const bool written = lmFile_Write(file, text.data(), static_cast<int64_t>(text.size())) == 1;
  if (!written) FailFile(call);
  const bool closed = lmFile_Close(file) == 1;
  if (written && !closed) FailFile(call);
  call.SetBoolean(written && closed);
}

}  // namespace

LUMOSTD_FUNCTION(Type, "type") {
  lmVariable* v = call.Value(0);
  switch (lmVariable_Aggregate_Type(v)) {
    case LM_AGGREGATE_STRUCTURE: call.SetText("structure"); return;
    case LM_AGGREGATE_ARRAY: call.SetText("array"); return;
    default: break;
  }
  const std::string_view text = ValueOf(v);
  if (text.empty()) {
    call.SetText("empty");
  } else if (TextIsNumber(text)) {
    call.SetText("number");
  } else {
    call.SetText("text");
  }
}

LUMOSTD_FUNCTION(Defined, "defined") {
  std::string_view name;
  if (!call.Text(0, "name", &name)) {
    call.SetBoolean(false);
    return;
  }
  // Without create the lookup makes nothing, so asking leaves no trace.
  call.SetBoolean(!name.empty() &&
                  lmProgram_Lookup_Variable(call.program(), name.data(),
                                            static_cast<int32_t>(name.size()), 0) != nullptr);
}

LUMOSTD_FUNCTION(Coalesce, "coalesce") {
  lmVariable* first = call.Value(0);
  lmVariable_SetValue_Variable(call.result(), IsEmpty(first) ? call.Value(1) : first);
}

LUMOSTD_FUNCTION(FileRead, "fileread") {
  std::string_view path;
  if (!Path(call, &path)) {
    call.SetEmpty();
    return;
  }
  lmFile* file = lmFile_Open(call.program(), LM_LOCATION_DATA, path.data(),
                             static_cast<int32_t>(path.size()), LM_FILE_READ);
  if (file == nullptr) {
    FailFile(call);
    call.SetEmpty();
    return;
  }
  const int64_t length = lmFile_Length(file);
  if (length > kMaxFileRead) {
    lmFile_Close(file);
    call.Fail("the file is larger than 256 MB");
    call.SetEmpty();
    return;
  }
  // The length is a hint: the file may change while it is read.
  std::string content;
  content.resize(length > 0 ? static_cast<size_t>(length) : 0);
  size_t have = 0;
  bool ok = true;
  bool too_large = false;
  while (true) {
    if (have == content.size()) {
      if (content.size() >= static_cast<size_t>(kMaxFileRead)) {
        char probe = 0;
        too_large = lmFile_Read(file, &probe, 1) > 0;
        break;
      }
      content.resize(content.size() + 65536);
    }
    const int64_t n = lmFile_Read(file, content.data() + have, static_cast<int64_t>(content.size() - have));
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (too_large) {
    lmFile_Close(file);
    call.Fail("the file is larger than 256 MB");
    call.SetEmpty();
    return;
  }
  if (!ok) FailFile(call);
  lmFile_Close(file);
  content.resize(have);
  if (ok) {
    call.SetText(content);
  } else {
    call.SetEmpty();
  }
}

LUMOSTD_FUNCTION(FileWrite, "filewrite") { Write(call, LM_FILE_WRITE | LM_FILE_TRUNCATE); }

LUMOSTD_FUNCTION(FileAppend, "fileappend") { Write(call, LM_FILE_WRITE | LM_FILE_APPEND); }

LUMOSTD_FUNCTION(FileExists, "fileexists") {
  std::string_view path;
  if (!Path(call, &path)) {
    call.SetBoolean(false);
    return;
  }
  call.SetBoolean(lmFile_Exists(call.program(), LM_LOCATION_DATA, path.data(),
                                static_cast<int32_t>(path.size())) == 1);
}

LUMOSTD_FUNCTION(FileDelete, "filedelete") {
  std::string_view path;
  if (!Path(call, &path)) {
    call.SetBoolean(false);
    return;
  }
  const bool deleted = lmFile_Delete(call.program(), LM_LOCATION_DATA, path.data(),
                                     static_cast<int32_t>(path.size())) == 1;
  if (!deleted) FailFile(call);
  call.SetBoolean(deleted);
}

LUMOSTD_FUNCTION(DirList, "dirlist") {
  lmVariable* result = call.result();
  MakeEmptyArray(result);
  std::string_view path;
  if (!call.Text(0, "path", &path)) return;
  lmVariableList* entries = lmDirectory_Listing(call.program(), LM_LOCATION_DATA, path.data(),
                                                static_cast<int32_t>(path.size()));
  if (entries == nullptr) {
    FailFile(call);
    return;
  }
  std::vector<std::string> names;
  for (lmVariable* v = lmVariableList_First(entries); v != nullptr; v = lmVariableList_Next(entries)) {
    int32_t length = 0;
    const char* name = lmVariable_Name(v, &length);
    if (name == nullptr) continue;
    std::string entry(name, static_cast<size_t>(length));
    if (entry == "." || entry == "..") continue;
    names.push_back(std::move(entry));
  }
  lmVariableList_Free(entries);
  // Directory order is the file system's whim; scripts get a stable one.
  std::sort(names.begin(), names.end());
  int32_t index = 1;
  for (const std::string& name : names) {
    lmVariable* element = lmVariable_Array_Element(result, index++, 1);
    lmVariable_SetValue(element, name.data(), static_cast<int32_t>(name.size()));
  }
}

LUMOSTD_FUNCTION(Sleep, "sleep") {
  double seconds = 0;
  if (!call.Number(0, "number of seconds", &seconds)) {
    call.SetBoolean(false);
    return;
  }
  if (!(seconds >= 0)) {
    call.FailArgument("number of seconds", "must not be negative");
    call.SetBoolean(false);
    return;
  }
  // The run's time-out ends any sleep long before this limit matters.
  const double milliseconds = std::min(seconds * 1000.0, 2147483647.0);
  call.SetBoolean(lmProgram_Sleep(call.program(), static_cast<int32_t>(milliseconds)) == 1);
}

LUMOSTD_FUNCTION(Uuid, "uuid") {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    call.Fail("the system has no random bytes to give");
    call.SetEmpty();
    return;
  }
  // Version 4 (random), variant 1, as RFC 4122 writes it.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  std::string hex;
  HexEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes), hex);
  std::string out;
  out.reserve(36);
  out.append(hex, 0, 8).append("-").append(hex, 8, 4).append("-").append(hex, 12, 4);
  out.append("-").append(hex, 16, 4).append("-").append(hex, 20, 12);
  call.SetText(out);
}

}  // namespace lumostd
