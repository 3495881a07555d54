#include "core/program/program_file.h"

namespace lumo {

bool LoadProgram(TaggedFile& file, const ProgramParts& parts, String* error) {
  auto fail = [&](const String& text) {
    *error = text;
    file.Close();
    return false;
  };
  if (!file.SelectSection("dict", nullptr)) return fail(file.ErrorText());
  if (!parts.dictionary->Read(file.Section())) return fail(parts.dictionary->ErrorText());
  parts.dictionary->Seal();
  if (parts.localized != nullptr && !parts.localized->Read(file, error)) {
    file.Close();
    return false;
  }
  if (!file.SelectSection("syst", nullptr)) return fail(file.ErrorText());
  if (!parts.system->ReadAt(file.Section(), 0)) return fail(parts.system->ErrorText());
  if (!file.SelectSection("glbl", nullptr)) return fail(file.ErrorText());
  if (!parts.globals->ReadAt(file.Section(), 0)) return fail(parts.globals->ErrorText());
  if (!parts.segments->Read(file)) return fail(parts.segments->ErrorText());
  if (!parts.functions->Read(file)) return fail(parts.functions->ErrorText());
  file.Close();
  return true;
}

namespace {

// One section written by a reader's counterpart; the writer's own failure
// (the stream) explains more than the object's when both failed.
template <typename Object>
bool WriteSection(TaggedFileWriter& writer, const char* tag, Object* object, String* error) {
  if (writer.BeginSection(tag) && object->Write(writer.Out()) && writer.EndSection()) return true;
  *error = writer.ErrorText().IsEmpty() ? object->ErrorText() : writer.ErrorText();
  return false;
}

}  // namespace

bool WriteProgram(Stream& out, const ProgramParts& parts, String* error, uint32_t version) {
  TaggedFileWriter writer(out, version);
  if (!WriteSection(writer, "dict", parts.dictionary, error) ||
      (parts.localized != nullptr && !parts.localized->Write(writer, error)) ||
      !WriteSection(writer, "syst", parts.system, error) ||
      !WriteSection(writer, "glbl", parts.globals, error) ||
      !WriteSection(writer, "segs", parts.segments, error) ||
      !WriteSection(writer, "func", parts.functions, error)) {
    return false;
  }
  if (!writer.Finish()) {
    *error = writer.ErrorText();
    return false;
  }
  return true;
}

}  // namespace lumo
