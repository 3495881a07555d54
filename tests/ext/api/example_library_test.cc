// The example library (examples/ext) loaded with dlopen into this program,
// which exports the interface as lumodex and lumorun do, and its functions
// called by hand the way a run calls them: the arguments in a list, by
// reference as the caller's own variables, a result variable and a data
// word per function.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "lumo/lumo.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

std::string Text(lmVariable* v) {
  int32_t length = 0;
  const char* text = lmVariable_Value(v, &length);
  return text == nullptr ? "<null>" : std::string(text, static_cast<size_t>(length));
}

class ExampleLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(LUMO_EXAMPLE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    auto table_function =
        reinterpret_cast<const lmFunctionTable* (*)()>(dlsym(handle_, "lumo_function_table"));
    ASSERT_NE(table_function, nullptr);
    table_ = table_function();
    ASSERT_NE(table_, nullptr);
    EXPECT_EQ(table_->version, LM_FUNCTION_TABLE_VERSION);
    ASSERT_TRUE(m_.Assemble(""));
    program_ = reinterpret_cast<lmProgram*>(&m_.Vm());
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  const lmFunction* Find(const char* name) {
    for (const lmFunction* f = table_->functions; f->name != nullptr; ++f) {
      if (std::string(f->name, static_cast<size_t>(f->name_length)) == name) return f;
    }
    return nullptr;
  }

  // Calls a function with these arguments; each must match the
  // descriptor's count and by-reference flags, as the machine checks.
  std::string Call(const char* name, std::initializer_list<lmVariable*> arguments,
                   void** data = nullptr) {
    const lmFunction* f = Find(name);
    EXPECT_NE(f, nullptr) << name;
    if (f == nullptr) return "<missing>";
    EXPECT_EQ(f->parameter_count, static_cast<int32_t>(arguments.size()));
    lmVariableList* list = lmVariableList_Allocate();
    for (lmVariable* a : arguments) lmVariableList_Insert(list, a);
    lmVariable* result = lmVariable_Allocate(nullptr, 0, "", 0);
    void* word = nullptr;
    f->entry(program_, list, result, data != nullptr ? data : &word);
    last_result_ = Describe(result);
    std::string text = Text(result);
    lmVariable_Free(result);
    lmVariableList_Free(list);
    return text;
  }

  std::string Describe(lmVariable* v) {
    const lmFunction* f = Find("ex_describe");
    lmVariableList* list = lmVariableList_Allocate();
    lmVariableList_Insert(list, v);
    lmVariable* result = lmVariable_Allocate(nullptr, 0, "", 0);
    void* word = nullptr;
    f->entry(program_, list, result, &word);
    std::string text = Text(result);
    lmVariable_Free(result);
    lmVariableList_Free(list);
    return text;
  }

  static lmVariable* Value(const char* text) { return lmVariable_Allocate("v", -1, text, -1); }

  void* handle_ = nullptr;
  const lmFunctionTable* table_ = nullptr;
  Machine m_;
  lmProgram* program_ = nullptr;
  std::string last_result_;
};

TEST_F(ExampleLibrary, DescriptorsDeclareTheirParameters) {
  const lmFunction* swap = Find("ex_swap");
  ASSERT_NE(swap, nullptr);
  ASSERT_EQ(swap->parameter_count, 2);
  EXPECT_EQ(swap->parameters[0].flags & LM_PARAMETER_BY_REFERENCE, LM_PARAMETER_BY_REFERENCE);
  EXPECT_EQ(Find("ex_hello")->parameters[0].flags & LM_PARAMETER_BY_REFERENCE, 0u);
  int count = 0;
  for (const lmFunction* f = table_->functions; f->name != nullptr; ++f) {
    EXPECT_EQ(static_cast<size_t>(f->name_length), strlen(f->name));
    ++count;
  }
  EXPECT_EQ(count, 10);
}

TEST_F(ExampleLibrary, ByValueAndByReference) {
  lmVariable* name = Value("Ada");
  Call("ex_hello", {name});
  EXPECT_EQ(m_.context.output, "Hello, Ada!");

  lmVariable* a = Value("left");
  lmVariable* b = Value("right");
  Call("ex_swap", {a, b});
  EXPECT_EQ(Text(a), "right");
  EXPECT_EQ(Text(b), "left");

  lmVariable* n = Value("41");
  EXPECT_EQ(Call("ex_increment", {n}), "41");
  EXPECT_EQ(Text(n), "42");

  // A by-value argument the library changes is the machine's copy; here
  // the test hands a copy as the machine would, and the original stays.
  lmVariable* copy = lmVariable_Allocate_Copy(n);
  Call("ex_increment", {copy});
  EXPECT_EQ(Text(n), "42");
  for (lmVariable* v : {name, a, b, n, copy}) lmVariable_Free(v);
}

TEST_F(ExampleLibrary, ArraysAndStructuresBuiltThroughTheInterface) {
  lmVariable* text = Value("a,b,,c");
  lmVariable* comma = Value(",");
  Call("ex_split", {text, comma});
  EXPECT_EQ(last_result_, "[a,b,,c]");
  lmVariable* empty = Value("");
  Call("ex_split", {empty, comma});
  EXPECT_EQ(last_result_, "[]");

  lmVariable* who = Value("Ada");
  lmVariable* age = Value("36");
  Call("ex_person", {who, age});
  EXPECT_EQ(last_result_, "{age:36,name:Ada,tags:[example]}");
  for (lmVariable* v : {text, comma, empty, who, age}) lmVariable_Free(v);
}

TEST_F(ExampleLibrary, DataWordKeepsStateAndIsReleased) {
  void* word = nullptr;
  EXPECT_EQ(Call("ex_calls", {}, &word), "1");
  EXPECT_EQ(Call("ex_calls", {}, &word), "2");
  ASSERT_NE(word, nullptr);
  // The release call the host makes when the bound function goes.
  Find("ex_calls")->entry(nullptr, nullptr, nullptr, &word);
  EXPECT_EQ(word, nullptr);
}

TEST_F(ExampleLibrary, FilesStayInTheSandbox) {
  char directory[] = "/tmp/lumo_example_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  ASSERT_TRUE(m_.context.Files()->SetDataDirectory(directory));
  lmVariable* path = Value("note.txt");
  lmVariable* content = Value("kept");
  EXPECT_EQ(Call("ex_save", {path, content}), "");
  EXPECT_EQ(Call("ex_load", {path}), "kept");

  lmVariable* outside = Value("../lumo_example_escape.txt");
  EXPECT_EQ(Call("ex_save", {outside, content}),
            "The specified path references a path outside the configured data directory");
  EXPECT_NE(access((std::string(directory) + "/../lumo_example_escape.txt").c_str(), F_OK), 0);
  for (lmVariable* v : {path, content, outside}) lmVariable_Free(v);
  ASSERT_EQ(system((std::string("rm -rf '") + directory + "'").c_str()), 0);
}

TEST_F(ExampleLibrary, FatalErrorFromTheLibrary) {
  lmVariable* text = Value("abc");
  lmVariable* none = Value("");
  Call("ex_split", {text, none});
  EXPECT_TRUE(m_.Vm().HasError());
  EXPECT_NE(m_.LastError().find("ex_split needs a separator"), std::string::npos);
  lmVariable_Free(text);
  lmVariable_Free(none);
}

}  // namespace
}  // namespace lumo
