// Variables named by text at run time: pushn/popn/refern and their
// constant forms, and the hidden form fields of hide.
#include <cstring>
#include <utility>
#include <vector>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "core/context/entities.h"
#include "core/vm/lumo_vm.h"

namespace lumo {

namespace {

enum class Scope { kNone, kLocal, kGlobal, kSystem, kDatabase };

bool StartsWithNoCase(const char* text, int32_t length, std::string_view prefix) {
  const auto n = static_cast<int32_t>(prefix.size());
  return length >= n && CompareNoCase(text, prefix.data(), n) == 0;
}

// Splits a scope prefix off the name; *rest is what follows it.
Scope SplitScope(const char* name, int32_t length, int32_t* rest) {
  struct Prefix {
    std::string_view text;
    Scope scope;
  };
  static constexpr Prefix kPrefixes[] = {
      {"l.", Scope::kLocal},   {"local.", Scope::kLocal},     {"g.", Scope::kGlobal},
      {"global.", Scope::kGlobal}, {"s.", Scope::kSystem},     {"system.", Scope::kSystem},
      {"d.", Scope::kDatabase}, {"database.", Scope::kDatabase},
  };
  for (const Prefix& p : kPrefixes) {
    if (StartsWithNoCase(name, length, p.text)) {
      *rest = static_cast<int32_t>(p.text.size());
      return p.scope;
    }
  }
  // alias.d.field and alias.database.field name a field of one database.
  for (int32_t i = 1; i < length; ++i) {
    if (name[i] != '.') continue;
    if (StartsWithNoCase(name + i, length - i, ".d.")) {
      *rest = i + 3;
      return Scope::kDatabase;
    }
    if (StartsWithNoCase(name + i, length - i, ".database.")) {
      *rest = i + 10;
      return Scope::kDatabase;
    }
  }
  *rest = 0;
  return Scope::kNone;
}

int32_t BaseLength(const char* path, int32_t length) {
  int32_t i = 0;
  while (i < length && path[i] != ':' && path[i] != '[') ++i;
  return i;
}

}  // namespace

bool LumoVM::ResolveName(const char* name, int32_t length, Variable** variable) {
  *variable = nullptr;
  int32_t skip = 0;
  const Scope scope = SplitScope(name, length, &skip);
  const char* path = name + skip;
  const int32_t path_length = length - skip;
  auto find = [&](VariableHash* hash, bool create) {
    if (!hash->FindPath(variable, path, path_length, create)) {
      FatalError(hash->ErrorText());
      return false;
    }
    return true;
  };
  const int32_t base = BaseLength(path, path_length);
  // A system variable is never made by a script, but one the program
  // declares gets its variable on first use, as pops gives it.
  const bool system_entry = system_->FindEntry(-1, path, base) >= 0;
  switch (scope) {
    case Scope::kLocal: return find(frame_->locals, true);
    case Scope::kGlobal: return find(globals_, true);
    case Scope::kSystem: return system_entry ? find(system_, true) : true;
    case Scope::kDatabase: return true;  // no database is open
    case Scope::kNone: break;
  }
  if (system_entry) return find(system_, true);
  if (frame_->kind == kFunctionFrame && frame_->locals->FindEntry(-1, path, base) >= 0) {
    return find(frame_->locals, true);
  }
  return find(globals_, true);
}

bool LumoVM::PushResolved(const char* name, int32_t length) {
  Variable* v = nullptr;
  if (!ResolveName(name, length, &v)) return false;
  if (v == nullptr) return stack_->PushVariable(null_, false);
  // A path may lead into an aggregate that later instructions change.
  v->AddReference();
  return stack_->PushVariable(v, true);
}

void LumoVM::PopIntoName(const char* name, int32_t length) {
  Variable* v = nullptr;
  if (!ResolveName(name, length, &v)) {
    stack_->Pop();
    return;
  }
  if (v == nullptr) {
    stack_->Pop();
    return;
  }
  stack_->PopInto(v);
}

// Writes <input type="hidden"> fields for the named variables; aggregates
// are walked with an explicit stack (they may nest deeply) and a tree met
// again on the current path (a cycle) is skipped.
void LumoVM::Hide(const char* text, int32_t length) {
  struct Pending {
    String name;
    Variable* variable;
    AggregateElementTree* leave;  // set on the marker that ends a tree's walk
  };
  std::vector<Pending> pending;
  // A walk cut short (an error, memory running out) must not leave trees
  // marked.
  struct Unmark {
    std::vector<Pending>& pending;
    ~Unmark() {
      for (Pending& p : pending) {
        if (p.leave != nullptr) p.leave->walking = false;
      }
    }
  } const unmark{pending};
  String out;
  auto write_field = [&](const String& field, Variable* v) {
    const String& value = v->Value();
    out.Append("<input type=\"hidden\" name=\"");
    AppendEntities(out, field.Text(), field.Length());
    out.Append("\" value=\"");
    AppendEntities(out, value.Text(), value.Length());
    out.Append("\">");
  };

  int32_t i = 0;
  while (i <= length && !error_) {
    int32_t end = i;
    while (end < length && text[end] != ',') ++end;
    int32_t a = i;
    int32_t b = end;
    while (a < b && IsSpaceByte(static_cast<unsigned char>(text[a]))) ++a;
    while (b > a && IsSpaceByte(static_cast<unsigned char>(text[b - 1]))) --b;
    i = end + 1;
    if (a == b) continue;
    Variable* v = nullptr;
    if (!ResolveName(text + a, b - a, &v)) break;
    String field;
    if (v != nullptr) {
      int32_t skip = 0;
      SplitScope(text + a, b - a, &skip);
      field.Assign(text + a + skip, b - a - skip);
    } else {
      field.Assign(text + a, b - a);
      v = null_;
    }
    pending.push_back({std::move(field), v, nullptr});
    while (!pending.empty()) {
      Pending item = std::move(pending.back());
      pending.pop_back();
      if (item.leave != nullptr) {
        item.leave->walking = false;
        continue;
      }
      AggregateElementTree* tree = item.variable->Elements();
      if (tree == nullptr) {
        write_field(item.name, item.variable);
        continue;
      }
      if (tree->walking) continue;
      tree->walking = true;
      pending.push_back({String(), nullptr, tree});
      const bool array = item.variable->Aggregate_Type() == kAggregateArray;
      std::vector<Pending> children;
      tree->InOrder([&](AggregateElement* e) {
        String child(item.name);
        if (array) {
          child.Append('[');
          child.Append(e->Index().Text());
          child.Append(']');
        } else {
          child.Append(':');
          child.Append(e->Index().Text());
        }
        children.push_back({std::move(child), e->Variable(), nullptr});
      });
      // Pushed in reverse so that they come off in key order.
      for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(std::move(*it));
    }
  }
  if (!error_ && out.Length() > 0) context_->Write(out);
}

}  // namespace lumo
