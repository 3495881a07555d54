// The exported C interface called as a library calls it: through the C
// names, on our own objects, with the handles a library would hold. What
// matters here is what crosses the boundary: ownership of references and
// buffers (AddressSanitizer reports a leak or a double free), the result
// conventions of each family, and arguments no library should send.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/config.h"
#include "ext/external_call.h"
#include "lumo/lumo.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

std::string Text(lmVariable* v) {
  int32_t length = -1;
  const char* text = lmVariable_Value(v, &length);
  return text == nullptr ? "<null>" : std::string(text, static_cast<size_t>(length));
}

lmVariable* NewText(const char* name, const char* value) {
  return lmVariable_Allocate(name, -1, value, -1);
}

lmProgram* ProgramOf(LumoVM& vm) { return reinterpret_cast<lmProgram*>(&vm); }

// ---- Values ----------------------------------------------------------------

TEST(VariableExports, TextsNumbersAndTheirForms) {
  lmVariable* v = NewText("Count", "42");
  int32_t length = 0;
  EXPECT_STREQ(lmVariable_Name(v, &length), "Count");
  EXPECT_EQ(length, 5);
  EXPECT_EQ(lmVariable_Value_Integer(v), 42);
  EXPECT_DOUBLE_EQ(lmVariable_Value_Double(v), 42.0);
  EXPECT_EQ(lmVariable_SetValue_Double(v, 2.5), 1);
  EXPECT_EQ(Text(v), "2.5");

  // A text with a zero byte: Value keeps it, Value_NS leaves it out.
  EXPECT_EQ(lmVariable_SetValue(v, "ab\0cd", 5), 1);
  EXPECT_EQ(Text(v), std::string("ab\0cd", 5));
  EXPECT_STREQ(lmVariable_Value_NS(v, &length), "abcd");
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Text(v), std::string("ab\0cd", 5));
  lmVariable_Free(v);
}

TEST(VariableExports, NocopyAdoptsTheBufferWhateverHappens) {
  lmVariable* v = NewText(nullptr, "");
  // Room for the terminating zero: adopted as it is.
  char* roomy = static_cast<char*>(lumo_alloc(16));
  memcpy(roomy, "adopted", 7);
  EXPECT_EQ(lmVariable_SetValue_Nocopy(v, roomy, 7, 16), 1);
  EXPECT_EQ(Text(v), "adopted");
  // No room: copied, and the buffer freed.
  char* tight = static_cast<char*>(lumo_alloc(4));
  memcpy(tight, "full", 4);
  EXPECT_EQ(lmVariable_SetValue_Nocopy(v, tight, 4, 4), 1);
  EXPECT_EQ(Text(v), "full");
  // Refused calls still take the buffer (a leak would fail the test).
  EXPECT_EQ(lmVariable_SetValue_Nocopy(nullptr, static_cast<char*>(lumo_alloc(8)), 1, 8), 0);
  EXPECT_EQ(lmVariable_SetValue_Nocopy(v, static_cast<char*>(lumo_alloc(8)), -3, 8), 0);
  EXPECT_EQ(Text(v), "full");
  lmVariable_Free(v);
}

TEST(VariableExports, RefusesWhatNoLibraryShouldSend) {
  EXPECT_EQ(lmVariable_Allocate("x", -2, "v", 1), nullptr);
  EXPECT_EQ(lmVariable_Allocate("x", 1, nullptr, 3), nullptr);
  lmVariable* v = NewText("x", "kept");
  EXPECT_EQ(lmVariable_SetValue(v, "abc", -5), 0);
  EXPECT_EQ(lmVariable_SetValue(v, nullptr, 2), 0);
  EXPECT_EQ(Text(v), "kept");
  // A null text with length 0 or -1 is the empty text.
  EXPECT_EQ(lmVariable_SetValue(v, nullptr, -1), 1);
  EXPECT_EQ(Text(v), "");
  EXPECT_EQ(lmVariable_Array_Element(v, -1, 1), nullptr);
  EXPECT_EQ(lmVariable_Delete_Array_Elements(v, 0, -1, 1), 0);
  EXPECT_EQ(lmVariable_Struct_Member(v, "m", -7, 1), nullptr);
  lmVariable_Free(v);

  // Null handles: the family's failure, never a crash.
  EXPECT_EQ(lmVariable_Value(nullptr, nullptr), nullptr);
  EXPECT_STREQ(lumo_variable_value(nullptr), "");
  EXPECT_STREQ(lumo_variable_name(nullptr), "");
  EXPECT_EQ(lmVariable_Aggregate_Type(nullptr), -1);
  EXPECT_EQ(lumo_variable_aggregate_type(nullptr), -1);
  EXPECT_EQ(lmVariable_Allocate_Copy(nullptr), nullptr);
  EXPECT_EQ(lmVariable_SetValue_Variable(nullptr, nullptr), 0);
  EXPECT_EQ(lumo_variable_setvalue(nullptr, "x", 1), -1);
  EXPECT_EQ(lumo_variable_set_array_element_value(nullptr, 1, "x", 1), -1);
  lmVariable_Free(nullptr);
  lmVariableList_Free(nullptr);
  lmVariableHash_Free(nullptr);
  EXPECT_EQ(lmVariableList_First(nullptr), nullptr);
  EXPECT_EQ(lmVariableHash_SetVariable(nullptr, "a", 1, "b", 1), nullptr);
}

TEST(VariableExports, ArraysBuiltThroughTheInterface) {
  lmVariable* a = NewText("a", "");
  for (int32_t i = 1; i <= 3; ++i) {
    lmVariable_SetValue_Integer(lmVariable_Array_Element(a, i * 10, 1), i);
  }
  EXPECT_EQ(lmVariable_Aggregate_Type(a), LM_AGGREGATE_ARRAY);
  EXPECT_EQ(lumo_variable_aggregate_type(a), 1);
  EXPECT_EQ(lmVariable_ElementsUsed(a), 3);
  EXPECT_EQ(lmVariable_Array_Min(a), 10);
  EXPECT_EQ(lmVariable_Array_Max(a), 30);
  EXPECT_EQ(lmVariable_Array_Next(a, 10), 20);
  EXPECT_EQ(lmVariable_Array_Previous(a, 20), 10);
  EXPECT_EQ(lmVariable_Array_Element(a, 15, 0), nullptr);

  // A stored element is shared: the library's handle still reaches it.
  lmVariable* shared = NewText(nullptr, "shared");
  EXPECT_EQ(lmVariable_Set_Array_Element(a, 40, shared), 1);
  lmVariable_SetValue(shared, "changed", -1);
  EXPECT_EQ(Text(lmVariable_Array_Element(a, 40, 0)), "changed");
  lmVariable_Free(shared);
  EXPECT_EQ(Text(lmVariable_Array_Element(a, 40, 0)), "changed");

  // An array inside itself would never be freed; refused.
  EXPECT_EQ(lmVariable_Set_Array_Element(a, 50, a), 0);
  EXPECT_EQ(lmVariable_Insert_Array_Element(a, 0, a), 0);

  // A deep copy is independent of the original.
  lmVariable* copy = lmVariable_Allocate_Copy(a);
  lmVariable_SetValue(lmVariable_Array_Element(copy, 10, 0), "copy", -1);
  EXPECT_EQ(Text(lmVariable_Array_Element(a, 10, 0)), "1");
  lmVariable_Free(copy);

  EXPECT_EQ(lmVariable_Delete_Array_Elements(a, 10, 1, 0), 1);
  EXPECT_EQ(lmVariable_ElementsUsed(a), 3);
  EXPECT_EQ(lumo_variable_array_elements(a), 3);
  EXPECT_EQ(lmVariable_Array_Min(a), 20);

  lmVariable* b = NewText("b", "");
  lumo_variable_set_array_element_value(b, 1, "x", -1);
  lumo_variable_set_array_element_value(b, 2, "y", -1);
  EXPECT_EQ(lmVariable_Array_Copy(b, a, 20, 11, 5, 1), 1);
  EXPECT_EQ(Text(lmVariable_Array_Element(b, 5, 0)), "2");
  EXPECT_EQ(Text(lmVariable_Array_Element(b, 1, 0)), "x");
  lmVariable_Free(b);
  lmVariable_Free(a);
}

TEST(VariableExports, StructuresAndTheirList) {
  lmVariable* s = NewText("s", "");
  EXPECT_EQ(lumo_variable_set_structure_member_value(s, "City", -1, "Oslo", -1), 0);
  lmVariable_SetValue_Integer(lmVariable_Struct_Member(s, "zip", 3, 1), 150);
  EXPECT_EQ(lmVariable_Aggregate_Type(s), LM_AGGREGATE_STRUCTURE);
  EXPECT_EQ(lumo_variable_aggregate_type(s), 2);
  // Member names ignore case.
  EXPECT_EQ(Text(lmVariable_Struct_Member(s, "CITY", -1, 0)), "Oslo");
  EXPECT_EQ(lumo_variable_structure_member(s, "nothing", -1, 0), nullptr);

  lmVariable* nested = NewText(nullptr, "");
  lumo_variable_set_array_element_value(nested, 1, "deep", -1);
  EXPECT_EQ(lmVariable_Set_Struct_Member(s, "list", -1, nested), 1);
  lmVariable_Free(nested);

  lmVariableList* members = lmVariable_Aggregate_List(s);
  std::string seen;
  for (lmVariable* m = lmVariableList_First(members); m; m = lmVariableList_Next(members)) {
    seen += std::string(lmVariable_Name(m, nullptr)) + "=" + Text(m) + ";";
  }
  EXPECT_EQ(seen, "City=Oslo;list=deep;zip=150;");
  // The list's entries refer to the members: a change goes through.
  lmVariable_SetValue(lmVariableList_Find(members, "zip", -1), "151", -1);
  EXPECT_EQ(Text(lmVariable_Struct_Member(s, "zip", -1, 0)), "151");
  lmVariableList_Free(members);

  EXPECT_EQ(lmVariable_Delete_Struct_Member(s, "city", -1), 1);
  EXPECT_EQ(lmVariable_ElementsUsed(s), 2);
  // Storing a scalar makes the structure a scalar again.
  lmVariable_SetValue_Integer(s, 7);
  EXPECT_EQ(lmVariable_Aggregate_Type(s), LM_AGGREGATE_SCALAR);
  EXPECT_EQ(lumo_variable_aggregate_type(s), 0);
  lmVariable_Free(s);
}

TEST(VariableExports, ReferencesReachTheirTarget) {
  lmVariable* target = NewText("t", "before");
  lmVariable* alias = NewText("alias", "own");
  EXPECT_EQ(lmVariable_Make_Reference(alias, target), 1);
  EXPECT_EQ(lmVariable_RealIdentity(alias), target);
  EXPECT_EQ(lmVariable_NextIdentity(alias), target);
  EXPECT_STREQ(lmVariable_Name(alias, nullptr), "alias");
  lmVariable_SetValue(alias, "after", -1);
  EXPECT_EQ(Text(target), "after");
  lmVariable_Free(alias);
  lmVariable_Free(target);
}

// ---- Hashes and lists --------------------------------------------------------

TEST(HashAndListExports, HashesHoldTheirOwnReferences) {
  lmVariableHash* hash = lmVariableHash_Allocate();
  lmVariable* v = NewText("Name", "first");
  EXPECT_EQ(lmVariableHash_Insert(hash, v), 1);
  lmVariable_Free(v);  // the hash keeps its own

  lmVariable* found = nullptr;
  EXPECT_EQ(lmVariableHash_Find(hash, &found, "NAME", -1, 0), 1);
  EXPECT_EQ(Text(found), "first");
  EXPECT_EQ(lmVariableHash_Find(hash, &found, "missing", -1, 1), 0);
  EXPECT_EQ(found, nullptr);

  lmVariable* replacement = NewText("name", "second");
  EXPECT_EQ(lmVariableHash_ReplaceVariable(hash, replacement), 1);
  lmVariable_Free(replacement);
  EXPECT_EQ(Text(lumo_variabletree_find(hash, "name", -1)), "second");

  EXPECT_EQ(Text(lmVariableHash_SetVariable(hash, "other", -1, "x", -1)), "x");
  EXPECT_EQ(Text(lmVariableHash_Index(hash, 1, 0)), "x");
  EXPECT_EQ(lmVariableHash_Index(hash, 2, 1), nullptr);
  EXPECT_EQ(lmVariableHash_Index(hash, -1, 1), nullptr);

  // Dump lets go of the variables and keeps the names.
  lmVariableHash_Dump(hash);
  EXPECT_EQ(lmVariableHash_Find(hash, &found, "other", -1, 0), 1);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(lmVariableHash_Find(hash, &found, "other", -1, 1), 1);
  EXPECT_EQ(Text(found), "");
  lmVariableHash_Free(hash);

  lmVariableHash* tree = lumo_variabletree_new();
  lmVariable* t = NewText("k", "v");
  EXPECT_EQ(lumo_variabletree_insert(tree, t), 0);
  EXPECT_EQ(lumo_variabletree_insert(nullptr, t), -1);
  lmVariable_Free(t);
  EXPECT_EQ(Text(lumo_variabletree_setvariable(tree, "k", -1, "w", -1)), "w");
  lumo_variabletree_dump(tree);
  lumo_variabletree_delete(tree);
}

TEST(HashAndListExports, ListsIterateFindAndEncode) {
  lmVariableList* list = lmVariableList_Allocate();
  lmVariable* v = NewText("q", "a b&c=d");
  EXPECT_EQ(lmVariableList_Insert(list, v), 1);
  lmVariable_Free(v);
  EXPECT_EQ(Text(lmVariableList_SetVariable(list, "Page", -1, "2", -1)), "2");
  EXPECT_EQ(Text(lmVariableList_SetVariable(list, "PAGE", -1, "3", -1)), "3");
  EXPECT_EQ(lmVariableList_Entries(list), 2);
  EXPECT_EQ(Text(lumo_variablelist_find(list, "page", -1)), "3");

  EXPECT_EQ(Text(lmVariableList_First(list)), "a b&c=d");
  EXPECT_EQ(Text(lmVariableList_Current(list)), "a b&c=d");
  int32_t length = 0;
  char* url = lumo_variablelist_to_url(list, &length);
  ASSERT_NE(url, nullptr);
  EXPECT_STREQ(url, "q=a+b%26c%3Dd&Page=3");
  EXPECT_EQ(length, static_cast<int32_t>(strlen(url)));
  lumo_free(url);
  // Encoding does not move the library's own iteration.
  EXPECT_EQ(Text(lmVariableList_Current(list)), "a b&c=d");
  EXPECT_EQ(Text(lmVariableList_Next(list)), "3");
  EXPECT_EQ(lmVariableList_Next(list), nullptr);

  // A call's parameter list belongs to the host: freeing it is refused.
  ExternalCallParameters parameters;
  parameters.Insert(reinterpret_cast<Variable*>(lmVariableList_First(list)));
  lmVariableList_Free(reinterpret_cast<lmVariableList*>(&parameters));
  EXPECT_EQ(parameters.Entries(), 1);

  lmVariableList_Dump(list);
  EXPECT_EQ(lmVariableList_Entries(list), 0);
  url = lumo_variablelist_to_url(list, &length);
  EXPECT_STREQ(url, "");
  lumo_free(url);
  lumo_variablelist_delete(list);
}

// ---- The program ----------------------------------------------------------------

TEST(ProgramExports, OutputErrorsAndSettings) {
  Machine m;
  ASSERT_TRUE(m.Assemble(""));
  lmProgram* p = ProgramOf(m.Vm());
  EXPECT_EQ(lmProgram_Output(p, "Hello", -1), 1);
  EXPECT_EQ(lmProgram_Output(p, ", world", 7), 1);
  EXPECT_EQ(lmProgram_Output(p, "bad", -4), 0);
  EXPECT_EQ(m.context.output, "Hello, world");
  // A console run sends no headers and says so.
  EXPECT_EQ(lmProgram_Output_Header(p, "X-Test", -1, "1", -1), 0);
  EXPECT_EQ(lmProgram_Output_Flush(p), 1);

  EXPECT_EQ(lmProgram_SetLanguage(p, "de-DE", -1), 1);
  EXPECT_EQ(m.context.Language().View(), "de-DE");
  EXPECT_EQ(lmProgram_SetDefaultDatabase(p, "external", -1), 1);
  EXPECT_EQ(m.context.DefaultDatabaseType().View(), "external");

  lmVariable* id = NewText(nullptr, "");
  lmVariable* other = NewText(nullptr, "");
  EXPECT_EQ(lmProgram_MakeSessionID(p, id), 1);
  EXPECT_EQ(lmProgram_MakeSessionID(p, other), 1);
  EXPECT_EQ(Text(id).size(), 32u);
  EXPECT_NE(Text(id), Text(other));
  lmVariable_Free(id);
  lmVariable_Free(other);

  lmProgram_FatalError(p, "Library gave up", -1);
  EXPECT_TRUE(m.Vm().HasError());
  EXPECT_NE(m.LastError().find("Library gave up"), std::string::npos);
}

TEST(ProgramExports, VariablesExpressionsAndScriptFunctions) {
  Machine m;
  ASSERT_TRUE(m.Assemble(".function twice(t)\n  pushl t\n  pushl t\n  cat\n  ret\n.end\n"));
  m.globals.SetVariable("greeting", -1, "hi", -1);
  lmProgram* p = ProgramOf(m.Vm());

  EXPECT_EQ(Text(lmProgram_Lookup_Variable(p, "GREETING", -1, 0)), "hi");
  EXPECT_EQ(lmProgram_Lookup_Variable(p, "nobody", -1, 0), nullptr);
  EXPECT_EQ(m.Global("nobody"), "<none>");  // looking made nothing
  EXPECT_EQ(lmProgram_Lookup_Variable(p, "greeting[x", -1, 0), nullptr);
  lmVariable* made = lmProgram_Lookup_Variable(p, "made", -1, 1);
  ASSERT_NE(made, nullptr);
  lmVariable_SetValue(made, "new", -1);
  EXPECT_EQ(m.Global("made"), "new");

  lmVariableList* globals = lmProgram_Global_Variables(p);
  EXPECT_EQ(Text(lmVariableList_Find(globals, "greeting", -1)), "hi");
  lmVariableList_Free(globals);
  EXPECT_EQ(lmProgram_Global_VariableHash(p), reinterpret_cast<lmVariableHash*>(&m.globals));
  // The run's scopes are not a library's to free.
  lmVariableHash_Free(lmProgram_Global_VariableHash(p));
  lumo_variabletree_delete(lmProgram_System_VariableHash(p));
  EXPECT_EQ(m.Global("greeting"), "hi");

  // The script function's whole value comes back, not just a number.
  lmVariableList* arguments = lmVariableList_Allocate();
  lmVariableList_SetVariable(arguments, "t", -1, "ab", -1);
  lmVariable* result = NewText(nullptr, "");
  EXPECT_EQ(lmProgram_RunFunction(p, "twice", -1, arguments, result), 1);
  EXPECT_EQ(Text(result), "abab");
  lmVariableList_Free(arguments);

  int32_t segment = -1;
  ASSERT_EQ(lmProgram_Compile_Dynamic_Expression(p, "6 * 7", -1, &segment, result), 1);
  lmVariable* value = lmProgram_Execute_Dynamic_Expression(p, segment);
  EXPECT_EQ(Text(value), "42");
  lmVariable_Free(value);
  EXPECT_EQ(lmProgram_Execute_Dynamic_Expression(p, 9999), nullptr);
  EXPECT_EQ(lmProgram_Execute_Dynamic_Expression_Boolean(p, -3), 0);
  EXPECT_EQ(lmProgram_Compile_Dynamic_Expression(p, "6 *", -1, &segment, result), 0);
  EXPECT_EQ(segment, -1);
  EXPECT_FALSE(Text(result).empty());
  lmVariable_Free(result);
}

TEST(ProgramExports, CompareEntitiesAndSleep) {
  Machine m;
  ASSERT_TRUE(m.Assemble(""));
  lmProgram* p = ProgramOf(m.Vm());
  lmVariable* a = NewText(nullptr, "");
  lmVariable* b = NewText(nullptr, "");
  lmVariable_SetValue_Integer(a, 10);
  lmVariable_SetValue_Integer(b, 9);
  EXPECT_EQ(lmProgram_Compare(p, a, b), 1);
  lmVariable_SetValue(a, "abc", -1);
  lmVariable_SetValue(b, "abd", -1);
  EXPECT_EQ(lmProgram_Compare(p, a, b), -1);
  EXPECT_EQ(lmProgram_Compare(p, a, a), 0);

  EXPECT_EQ(lmProgram_Entity_Encode(p, "<a href=\"x\">(1)</a>", -1, a), 1);
  EXPECT_EQ(Text(a), "&lt;a href=&quot;x&quot;&gt;&#40;1&#41;&lt;/a&gt;");
  EXPECT_EQ(lmProgram_Entity_Decode(p, Text(a).c_str(), -1, b), 1);
  EXPECT_EQ(Text(b), "<a href=\"x\">(1)</a>");
  EXPECT_EQ(lmProgram_Entity_Decode(p, "&#x263A; &#65; &bogus; &#0; &amp", -1, b), 1);
  EXPECT_EQ(Text(b), "\xE2\x98\xBA A &bogus; &#0; &amp");
  EXPECT_EQ(lmProgram_Attribute_Encode(p, "it's", -1, a), 1);
  EXPECT_EQ(Text(a), "it&#39;s");
  EXPECT_EQ(lmProgram_Attribute_Decode(p, "'a &lt; b'", -1, b), 1);
  EXPECT_EQ(Text(b), "a < b");
  lmVariable_Free(a);
  lmVariable_Free(b);

  EXPECT_EQ(lmProgram_Sleep(p, 1), 1);
  EXPECT_EQ(lmProgram_Sleep(p, -1), 0);
  // A stopped run wakes a sleeping library at once.
  m.context.Stop();
  EXPECT_EQ(lmProgram_Sleep(p, 60 * 60 * 1000), 0);
}

TEST(ProgramExports, NullProgramIsRefused) {
  EXPECT_EQ(lmProgram_Output(nullptr, "x", 1), 0);
  EXPECT_EQ(lmProgram_Output_Header(nullptr, "a", 1, "b", 1), 0);
  EXPECT_EQ(lmProgram_Global_Variables(nullptr), nullptr);
  EXPECT_EQ(lmProgram_Local_Variables(nullptr), nullptr);
  EXPECT_EQ(lmProgram_Lookup_Variable(nullptr, "x", 1, 1), nullptr);
  EXPECT_EQ(lmProgram_RunFunction(nullptr, "f", 1, nullptr, nullptr), 0);
  EXPECT_EQ(lmProgram_Compile_Dynamic_Expression(nullptr, "1", 1, nullptr, nullptr), 0);
  EXPECT_EQ(lmProgram_SSL_Function(nullptr, "SSL_new", -1), nullptr);
  EXPECT_EQ(lmProgram_Sleep(nullptr, 10), 0);
  lmProgram_FatalError(nullptr, "x", 1);
  lmProgram_ResetGlobalTimeout(nullptr);
  void* memory = lmProgram_Allocate(nullptr, 8);
  lmProgram_Free(nullptr, memory);
}

// ---- Files ----------------------------------------------------------------------

class FileExports : public ::testing::Test {
 protected:
  void SetUp() override {
    char data_template[] = "/tmp/lumo_api_data_XXXXXX";
    char script_template[] = "/tmp/lumo_api_script_XXXXXX";
    ASSERT_NE(mkdtemp(data_template), nullptr);
    ASSERT_NE(mkdtemp(script_template), nullptr);
    data_ = data_template;
    script_ = script_template;
    ASSERT_TRUE(m_.context.Files()->SetDataDirectory(data_));
    ASSERT_TRUE(m_.context.Files()->SetScriptDirectory(script_));
    ASSERT_TRUE(m_.Assemble(""));
  }
  void TearDown() override {
    vm_.reset();
    std::string command = "rm -rf '" + data_ + "' '" + script_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  // A program running from a folder of the script directory.
  lmProgram* Program(const char* name = "shop/page.lmc") {
    vm_ = std::make_unique<LumoVM>(name, &m_.context, m_.Parts());
    return ProgramOf(*vm_);
  }
  std::string Error(lmProgram* p) { return lmFile_Error(p, nullptr); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  Machine m_;
  std::unique_ptr<LumoVM> vm_;
  std::string data_;
  std::string script_;
};

TEST_F(FileExports, ReadWriteSeekInsideTheDataDirectory) {
  lmProgram* p = Program();
  lmFile* f = lmFile_Open(p, LM_LOCATION_DATA, "notes.txt", -1, LM_FILE_WRITE | LM_FILE_TRUNCATE);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(lmFile_Write(f, "0123456789", 10), 1);
  EXPECT_EQ(lmFile_Tell(f), 10);
  EXPECT_EQ(lmFile_Length(f), 10);
  EXPECT_EQ(lmFile_Write(f, nullptr, 3), 0);
  EXPECT_EQ(lmFile_Close(f), 1);
  EXPECT_EQ(Read(data_ + "/notes.txt"), "0123456789");

  f = lumo_file_open(p, LM_LOCATION_DATA, "notes.txt", -1, LM_FILE_READ);
  ASSERT_NE(f, nullptr);
  char buffer[8] = {};
  EXPECT_EQ(lmFile_Seek(f, -3, LM_SEEK_END), 1);
  EXPECT_EQ(lmFile_Read(f, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "789");
  EXPECT_EQ(lmFile_Read(f, buffer, sizeof buffer), 0);
  EXPECT_EQ(lmFile_Read(f, buffer, -1), -1);
  EXPECT_EQ(lmFile_Seek(f, 0, 7), 0);
  EXPECT_EQ(lumo_file_seek(f, 2, LM_SEEK_SET), 0);
  EXPECT_EQ(lumo_file_tell(f), 2);
  EXPECT_EQ(lmFile_Lock(f, 0, 4, LM_LOCK_SHARED), 1);
  EXPECT_EQ(lumo_file_release(f, 0, 4), 0);
  EXPECT_EQ(lmFile_Lock(f, -1, 4, LM_LOCK_EXCLUSIVE), 0);
  EXPECT_EQ(lumo_file_close(f), 0);

  EXPECT_EQ(lmFile_Size(p, 0, "notes.txt", -1), 10);
  EXPECT_EQ(lmFile_Exists(p, 0, "notes.txt", -1), 1);
  EXPECT_EQ(lumo_file_exists(p, 0, "absent.txt", -1), 0);
  int64_t seconds = 0;
  EXPECT_EQ(lmFile_Time(p, 0, "notes.txt", -1, &seconds), 1);
  EXPECT_GT(seconds, 0);
  EXPECT_EQ(lmFile_Copy(p, 0, "notes.txt", -1, 0, "copy.txt", -1), 1);
  EXPECT_EQ(lumo_file_rename(p, 0, "copy.txt", -1, 0, "moved.txt", -1), 0);
  EXPECT_EQ(Read(data_ + "/moved.txt"), "0123456789");
  EXPECT_EQ(lumo_file_delete(p, 0, "moved.txt", -1), 0);
  EXPECT_EQ(lumo_file_delete(p, 0, "moved.txt", -1), -1);
  EXPECT_FALSE(Error(p).empty());
}

TEST_F(FileExports, NothingOutsideTheSandbox) {
  Write(data_ + "/../lumo_api_outside.txt", "secret");
  lmProgram* p = Program();
  EXPECT_EQ(lmFile_Open(p, 0, "../lumo_api_outside.txt", -1, LM_FILE_READ), nullptr);
  EXPECT_EQ(Error(p), "The specified path references a path outside the configured data directory");
  EXPECT_EQ(lmFile_Exists(p, 0, "../lumo_api_outside.txt", -1), 0);
  EXPECT_EQ(lmFile_Delete(p, 0, "sub/../../lumo_api_outside.txt", -1), 0);
  EXPECT_EQ(lmFile_Copy(p, 0, "../lumo_api_outside.txt", -1, 0, "stolen.txt", -1), 0);
  EXPECT_EQ(lmFile_Open(p, LM_LOCATION_SCRIPT, "../../lumo_api_outside.txt", -1, LM_FILE_READ),
            nullptr);
  EXPECT_EQ(Error(p),
            "The specified path references a path outside the configured script directory");
  // A link may not point out of the directory either.
  EXPECT_EQ(lmFile_MakeSymbolicLink(p, 0, "../lumo_api_outside.txt", -1, "link", -1), 0);
  EXPECT_EQ(Read(data_ + "/../lumo_api_outside.txt"), "secret");
  remove((data_ + "/../lumo_api_outside.txt").c_str());
  // Bad path arguments fail with a message instead of reading memory.
  EXPECT_EQ(lmFile_Open(p, 0, nullptr, 5, LM_FILE_READ), nullptr);
  EXPECT_EQ(lmFile_Exists(p, 0, "x", -9), 0);
  EXPECT_EQ(Error(p), "Invalid path argument");
}

TEST_F(FileExports, LocationCodes) {
  // Script directory: relative to the running program's folder, or from
  // the top with a leading separator.
  ASSERT_EQ(system(("mkdir -p '" + script_ + "/shop'").c_str()), 0);
  Write(script_ + "/shop/local.txt", "beside the page");
  Write(script_ + "/top.txt", "at the top");
  lmProgram* p = Program("shop/page.lmc");
  EXPECT_EQ(lmFile_Size(p, LM_LOCATION_SCRIPT, "local.txt", -1), 15);
  EXPECT_EQ(lmFile_Size(p, LM_LOCATION_SCRIPT, "/top.txt", -1), 10);
  EXPECT_EQ(lmFile_Size(p, LM_LOCATION_SCRIPT, "top.txt", -1), -1);

  // Commerce directory: the configured folder inside the data directory.
  ASSERT_EQ(system(("mkdir -p '" + data_ + "/orders'").c_str()), 0);
  m_.context.Configuration()->SetText(kConfigDirCommerce, "orders");
  lmFile* f = lmFile_Open(p, LM_LOCATION_COMMERCE, "1.txt", -1, LM_FILE_WRITE | LM_FILE_TRUNCATE);
  ASSERT_NE(f, nullptr);
  lmFile_Write(f, "paid", 4);
  lmFile_Close(f);
  EXPECT_EQ(Read(data_ + "/orders/1.txt"), "paid");
  m_.context.Configuration()->SetText(kConfigDirCommerce, "orders/");
  EXPECT_EQ(lmFile_Size(p, LM_LOCATION_COMMERCE, "1.txt", -1), 4);
  // Any other code is the data directory.
  EXPECT_EQ(lmFile_Size(p, 7, "orders/1.txt", -1), 4);
}

TEST_F(FileExports, DirectoriesListingsAndRetiredCalls) {
  lmProgram* p = Program();
  EXPECT_EQ(lmFile_MakeDirectory(p, 0, "d", -1), 1);
  EXPECT_EQ(lmFile_IsDirectory(p, 0, "d", -1), 1);
  EXPECT_EQ(lumo_file_makedirectory(p, 0, "d/e", -1), 0);
  Write(data_ + "/d/f.txt", "x");
  lmVariableList* listing = lmDirectory_Listing(p, 0, "d", -1);
  ASSERT_NE(listing, nullptr);
  EXPECT_EQ(lmVariableList_Entries(listing), 2);
  EXPECT_EQ(Text(lmVariableList_Find(listing, "e", -1)), "1");
  EXPECT_EQ(Text(lmVariableList_Find(listing, "f.txt", -1)), "0");
  lmVariableList_Free(listing);
  EXPECT_EQ(lmDirectory_Listing(p, 0, "absent", -1), nullptr);
  EXPECT_EQ(lumo_file_removedirectory(p, 0, "d/e", -1), 0);
  EXPECT_EQ(lumo_file_isdirectory(p, 0, "d/e", -1), 0);

  uint32_t mode = 0;
  EXPECT_EQ(lmFile_Change_Mode(p, 0, "d/f.txt", -1, 04640), 1);
  EXPECT_EQ(lmFile_Mode(p, 0, "d/f.txt", -1, &mode), 1);
  EXPECT_EQ(mode & 07777, 0640u);  // no set-id bits from a library

  lmVariable* name = NewText(nullptr, "");
  lmFile* temporary = lmFile_MakeTemporary(p, 0, "d/tmp", -1, LM_FILE_WRITE, name);
  ASSERT_NE(temporary, nullptr);
  EXPECT_EQ(Text(name), "d/tmp.0");
  lmFile_Close(temporary);

  EXPECT_EQ(lmFile_Resolve(p, 0, "d", -1, name), 0);
  EXPECT_EQ(Error(p), "lmFile_Resolve is no longer supported");
  EXPECT_EQ(lumo_file_resolve(p, 0, "d", -1, name), 0);
  EXPECT_EQ(Error(p), "lumo_file_resolve is no longer supported");
  lmVariable_Free(name);

  EXPECT_EQ(lmFile_LockFile(p, 0, "d/f.txt", -1), LM_LOCKFILE_ERROR);
  EXPECT_EQ(lumo_file_lockfile(p, 0, "d/f.txt", -1), -1);
  EXPECT_EQ(Error(p), "Lockfiles are not available in this build");
  EXPECT_EQ(lmFile_Path_Separator(p), '/');
}

TEST(FileExportsWithoutProgram, NullHandles) {
  EXPECT_EQ(lmFile_Open(nullptr, 0, "x", -1, LM_FILE_READ), nullptr);
  EXPECT_EQ(lmFile_Close(nullptr), 0);
  EXPECT_EQ(lumo_file_close(nullptr), -1);
  EXPECT_EQ(lmFile_Read(nullptr, nullptr, 1), -1);
  EXPECT_EQ(lmFile_Write(nullptr, "x", 1), 0);
  EXPECT_EQ(lmFile_Tell(nullptr), -1);
  EXPECT_EQ(lmFile_Length(nullptr), -1);
  EXPECT_EQ(lmFile_OwnerID(nullptr, nullptr), 0);
  EXPECT_EQ(lmFile_Size(nullptr, 0, "x", -1), -1);
  EXPECT_STREQ(lmFile_Error(nullptr, nullptr), "");
  EXPECT_EQ(lmDirectory_Listing(nullptr, 0, "", 0), nullptr);
}

// ---- Subsystems not in this build -------------------------------------------

TEST(NetworkAndDatabaseExports, FailCleanlyAndSayWhy) {
  EXPECT_EQ(lmNetwork_Connect(nullptr, "example.org", -1, 80, 5), nullptr);
  EXPECT_STREQ(lmNetwork_Error(nullptr, nullptr),
               "Network connections are not available in this build");
  EXPECT_EQ(lumo_network_open_url(nullptr, "http://example.org/", -1, 5), nullptr);
  EXPECT_EQ(lumo_network_write(nullptr, "x", 1), -1);
  char line[4] = "abc";
  EXPECT_EQ(lmNetwork_Read_Line(nullptr, line, sizeof line), -1);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(lmHTTPResponse_Status_Code(nullptr), 0);
  EXPECT_EQ(lmHTTPResponse_Content_Length(nullptr), -1);
  int32_t length = 0;
  EXPECT_STREQ(lmHTTPResponse_Error(nullptr, &length),
               "Network connections are not available in this build");
  EXPECT_EQ(length, 51);

  // Address literals need no network.
  EXPECT_EQ(lmNetwork_Is_IP_Address("192.168.0.1", -1), 1);
  EXPECT_EQ(lmNetwork_Is_IP_Address("::ffff:10.0.0.1", -1), 1);
  EXPECT_EQ(lumo_network_is_ip_address("10.0.0.1x", -1), 0);
  EXPECT_EQ(lmNetwork_Is_IP_Address("10.0.0.1", 4), 0);
  EXPECT_EQ(lmNetwork_Is_IP_Address(std::string(100, '1').c_str(), -1), 0);
  EXPECT_EQ(lmNetwork_Is_IP_Address(nullptr, 3), 0);

  EXPECT_EQ(lmDatabase_AddView(nullptr, "v", -1), nullptr);
  EXPECT_EQ(lmDatabase_data(nullptr), nullptr);
  EXPECT_EQ(lmDatabaseView_Commit(nullptr), 0);
  EXPECT_EQ(lmDatabaseVariable_DatabaseView(nullptr), nullptr);
}

}  // namespace
}  // namespace lumo
