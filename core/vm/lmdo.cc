#include "core/vm/lmdo.h"

#include <string>
#include <vector>

#include "config/config.h"
#include "core/base/conversions.h"
#include "core/base/stream.h"
#include "core/context/error_settings.h"
#include "core/program/tagged_file.h"
#include "core/vm/lumo_vm.h"
#include "files/file_manager.h"
#include "values/reference_variable_hash.h"

namespace lumo {

namespace {

constexpr int kDoTag = 22;  // LmDO

}  // namespace

// --- DoContext ----------------------------------------------------------------

DoContext::DoContext(std::string_view path, std::string_view name) : path_(path), name_(name) {}

DoContext::~DoContext() {
  // The machine goes before the parts it runs over.
  vm_.reset();
  expressions_.Clear();
}

bool DoContext::Load(TaggedFile& file, LumoVM* caller) {
  Dictionary* dictionary = program_.GetDictionary();
  program_.SetScopes(std::make_unique<ReferenceVariableHash>(dictionary, caller->SystemScope()),
                     std::make_unique<ReferenceVariableHash>(dictionary, caller->GlobalScope()));
  if (!program_.Load(file, &error_)) return false;
  vm_ = std::make_unique<LumoVM>(name_.View(), caller->Context(), Parts(), caller);
  return true;
}

bool DoContext::InUse() const { return vm_ != nullptr && vm_->UseCount() > 0; }

DoExpression* DoContext::AddExpression(std::string_view text, int32_t segment) {
  auto* expression = new DoExpression(text, segment);
  expressions_.Insert(expression);
  return expression;
}

// --- DoCache ------------------------------------------------------------------

DoCache::~DoCache() {
  // A machine made under another must go first: it lowers its parent's
  // use count as it goes. Every pass frees at least the newest machine.
  while (head_ != nullptr) {
    bool freed = false;
    for (DoContext* c = head_; c != nullptr;) {
      DoContext* next = c->older;
      if (!c->InUse()) {
        Unlink(c);
        delete c;
        freed = true;
      }
      c = next;
    }
    if (!freed) {
      // Cannot happen (parent links form no cycle); never loop forever.
      DoContext* c = head_;
      Unlink(c);
      delete c;
    }
  }
  by_path_.clear();
}

DoContext* DoCache::Find(std::string_view path) {
  auto it = by_path_.find(std::string(path));
  if (it == by_path_.end()) return nullptr;
  DoContext* context = it->second;
  if (context != head_) {
    Unlink(context);
    by_path_[std::string(path)] = context;
    context->older = head_;
    if (head_ != nullptr) head_->newer = context;
    head_ = context;
    if (tail_ == nullptr) tail_ = context;
  }
  return context;
}

void DoCache::Add(DoContext* context) {
  by_path_[std::string(context->Path().View())] = context;
  context->newer = nullptr;
  context->older = head_;
  if (head_ != nullptr) head_->newer = context;
  head_ = context;
  if (tail_ == nullptr) tail_ = context;
  ++loads_;
}

void DoCache::Unlink(DoContext* context) {
  if (context->newer != nullptr) context->newer->older = context->older;
  if (context->older != nullptr) context->older->newer = context->newer;
  if (head_ == context) head_ = context->older;
  if (tail_ == context) tail_ = context->newer;
  context->newer = context->older = nullptr;
  by_path_.erase(std::string(context->Path().View()));
}

void DoCache::MakeRoom(int32_t max) {
  if (max <= 0) return;
  DoContext* c = tail_;
  while (c != nullptr && Count() >= max) {
    DoContext* newer = c->newer;
    if (!c->InUse()) {
      Unlink(c);
      delete c;
    }
    c = newer;
  }
}

// --- The machine's side -------------------------------------------------------

DoCache& LumoVM::DoContexts() {
  LumoVM* root = this;
  while (root->parent_ != nullptr) root = root->parent_;
  if (root->do_cache_ == nullptr) root->do_cache_ = new DoCache();
  return *root->do_cache_;
}

namespace {
LumoVM::SourceCompiler g_source_compiler = nullptr;
}  // namespace

void LumoVM::SetSourceCompiler(SourceCompiler compiler) { g_source_compiler = compiler; }

DoContext* LumoVM::GetDoContext(std::string_view name) {
  FileManager* files = context_->Files();
  if (files == nullptr) {
    RuntimeError(kDoTag, "There is no configured script directory");
    return nullptr;
  }
  String path;
  if (!name.empty() && (name[0] == '/' || name[0] == '\\' || name[0] == files->PathSeparator())) {
    // From the script directory's top.
    path.Assign(name.data(), static_cast<int32_t>(name.size()));
  } else {
    path = program_directory_;
    path.Append(name.data(), static_cast<int32_t>(name.size()));
  }
  String full;
  if (!files->Resolve(kScriptLocation, path.View(), &full)) {
    RuntimeError(kDoTag, files->ErrorText().View());
    return nullptr;
  }
  DoCache& cache = DoContexts();
  if (DoContext* cached = cache.Find(full.View())) return cached;
  cache.MakeRoom(context_->Configuration()->GetInteger(kConfigMaxDocache));

  const bool page = g_source_compiler != nullptr && path.Length() > 4 &&
                    CompareNoCase(path.Text() + path.Length() - 4, ".lum", 4) == 0;
  std::unique_ptr<File> file;
  if (!page) {
    file = files->Open(kScriptLocation, path.View(), kOpenRead);
    if (!file) {
      RuntimeError(kDoTag, files->ErrorText().View());
      return nullptr;
    }
  }
  // The name messages and the called program's own LmDO names start from:
  // the path inside the script directory, never where that lies on disk.
  String root;
  String program(path);
  if (files->Resolve(kScriptLocation, "", &root) && full.Length() > root.Length() &&
      full.View().substr(0, static_cast<size_t>(root.Length())) == root.View()) {
    const std::string_view inside = full.View().substr(static_cast<size_t>(root.Length()));
    program.Assign("", 0);
    if (inside[0] != '/' && inside[0] != '\\') program.Append('/');
    program.Append(inside.data(), static_cast<int32_t>(inside.size()));
  }

  auto context = std::make_unique<DoContext>(full.View(), program.View());
  String contents;
  if (page) {
    std::string image;
    std::string error;
    if (!g_source_compiler(context_, *files, path.View(), Builtins(), &image, &error)) {
      RuntimeError(kDoTag, error);
      return nullptr;
    }
    contents.Assign(image.data(), static_cast<int32_t>(image.size()));
  }
  const int64_t length = page ? contents.Length() : file->Length();
  bool read = length >= 0 && length <= String::kMaxLength;
  if (read && !page) {
    contents.Reserve(static_cast<int32_t>(length));
    const int64_t got = file->Read(contents.Data(), length);
    read = got >= 0;
    if (read) contents.SetLength(static_cast<int32_t>(got));
  }
  if (!read) {
    RuntimeError(kDoTag, length > String::kMaxLength || page ? "File too large"
                                                             : file->ErrorText().View());
    return nullptr;
  }
  file.reset();
  auto* stream = new MemoryStream();
  stream->Adopt(std::move(contents));
  TaggedFile tagged;
  if (!tagged.Attach(program.View(), stream)) {
    String message("Unable to open '");
    message.Append(program);
    message.Append("': ");
    message.Append(tagged.ErrorText());
    RuntimeError(kDoTag, message.View());
    return nullptr;
  }
  if (!context->Load(tagged, this)) {
    RuntimeError(kDoTag, context->ErrorText().View());
    return nullptr;
  }
  cache.Add(context.get());
  return context.release();
}

void LumoVM::TakeError(const LumoVM& called) {
  error_ = 1;
  if (&called == this) return;
  if (called.stopped_for_memory_) {
    stopped_for_memory_ = true;
    memory_error_reported_ = called.memory_error_reported_;
  }
  last_error_ = called.last_error_;
}

void LumoVM::StepDoFile() {
  PoppedText popped;
  stack_->PopText(popped);
  if (error_) return;
  const String name = StripNul(popped.Data(), popped.Length());
  DoContext* called = GetDoContext(name.View());
  if (called == nullptr) return;
  LumoVM* vm = called->Machine();
  DoCache& cache = DoContexts();
  if (cache.depth >= kMaxDoDepth) {
    FatalError("Stack overflow");
    return;
  }
  if (Logging(kEventDoEnter)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(vm->ProgramName()),
                               LogField::End()};
    Log(kEventDoEnter, fields);
  }
  ++cache.depth;
  ++vm->use_count_;
  const int result = vm->RunEntry();
  --vm->use_count_;
  --cache.depth;
  if (result == 0 || vm->error_) {
    TakeError(*vm);
    return;
  }
  context_->SetOutputLevel(frame_->output_level);
  if (Logging(kEventDoExit)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(vm->ProgramName()),
                               LogField::End()};
    Log(kEventDoExit, fields);
  }
  traced_line_ = -1;
}

void LumoVM::StepDoFunction() {
  PoppedText expression;
  stack_->PopText(expression);
  PoppedText popped;
  stack_->PopText(popped);
  if (error_) return;
  const String name = StripNul(popped.Data(), popped.Length());
  DoContext* called = GetDoContext(name.View());
  if (called == nullptr) {
    stack_->PushVariable(null_, false);
    return;
  }
  DoExpression* compiled = called->FindExpression(expression.View());
  if (compiled == nullptr) {
    int32_t segment = -1;
    String message;
    const BuiltinFunctions* builtins = Builtins();
    if (!CompileDoExpression(called->Parts(), functions_, builtins, expression.View(),
                             source_file_name_.View(), line_, &segment, &message)) {
      RuntimeError(kDoTag, message.View());
      stack_->PushVariable(null_, false);
      return;
    }
    compiled = called->AddExpression(expression.View(), segment);
  }
  DoCache& cache = DoContexts();
  if (cache.depth >= kMaxDoDepth) {
    FatalError("Stack overflow");
    return;
  }
  LumoVM* vm = called->Machine();
  LumoVM_Stack* stack = stack_;
  const int32_t depth = stack->Count();
  // The called code works on this stack: its faults (an overflow) are its
  // own, reported by its machine.
  stack->SetMachine(vm);
  ++cache.depth;
  ++vm->use_count_;
  const int result = vm->RunAt(compiled->Segment(), stack, frame_->locals);
  --vm->use_count_;
  --cache.depth;
  stack->SetMachine(this);
  if (result == 0 || vm->error_) {
    while (stack->Count() > depth) stack->Pop();
    TakeError(*vm);
    stack_->PushVariable(null_, false);
    return;
  }
  // The result may point into the called program (a constant of its
  // dictionary, its null variable), which the cache may drop before the
  // caller is done with it: it becomes the caller's own.
  for (int32_t i = 0; i < stack->Count() - depth; ++i) {
    StackEntry* e = stack->Peek(i);
    if (e->owned) continue;
    if (e->kind == kStackString) {
      if (e->length == 0) {
        e->text = "";
        continue;
      }
      String copy(e->text, static_cast<int32_t>(e->length));
      int32_t length = 0;
      int32_t capacity = 0;
      e->text = copy.Release(&length, &capacity);
      e->capacity = static_cast<uint32_t>(capacity);
      e->owned = 1;
    } else if (e->kind == kStackVariable) {
      if (e->variable == vm->Null()) {
        e->variable = null_;
      } else {
        e->variable->AddReference();
        e->owned = 1;
      }
    }
  }
  context_->SetOutputLevel(frame_->output_level);
  traced_line_ = -1;
}

}  // namespace lumo
