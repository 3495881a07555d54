#include "tools/lumoasm/assembler.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/base/conversions.h"
#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "core/program/function_manager.h"
#include "core/program/opcodes.h"
#include "core/program/segment_manager.h"
#include "core/program/tagged_file.h"
#include "expr/localized_languages.h"
#include "values/system_variable_hash.h"
#include "values/variable_hash.h"

namespace lumo {

namespace {

using Role = OperandRole;

const char* Expected(Role role) {
  switch (role) {
    case Role::kLabel: return "a number or a label";
    case Role::kConstant: return "a quoted string or a number";
    case Role::kGlobal: return "a global variable name or a number";
    case Role::kSystem: return "a system variable name or a number";
    case Role::kLocal: return "a local variable name or a number";
    case Role::kFunction: return "a function name or a number";
  }
  return "";
}

bool IsNameStart(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_' || b == '$' ||
         b == '@' || b >= 0x80;
}

bool IsNameByte(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

bool IsName(std::string_view text) {
  if (text.empty() || !IsNameStart(text[0])) return false;
  for (char c : text) {
    if (!IsNameByte(c)) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal or 0x-hexadecimal with an optional sign, within [min, max].
bool ParseNumber(std::string_view text, int64_t min, int64_t max, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0 || d >= base) return false;
    v = v * base + d;
    // Far outside every range asked for; stop before the sum can overflow.
    if (v > (int64_t{1} << 40)) return false;
  }
  if (negative) v = -v;
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

// A 32-bit operand: decimal within the signed range, or hexadecimal up to
// 0xFFFFFFFF for writing bit patterns.
bool ParseDword(std::string_view text, int32_t* value) {
  int64_t v = 0;
  const bool hex = text.find_first_of("xX") != std::string_view::npos;
  if (!ParseNumber(text, INT32_MIN, hex ? int64_t{UINT32_MAX} : int64_t{INT32_MAX}, &v)) {
    return false;
  }
  *value = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

std::string Quote(std::string_view text) {
  std::string out(1, '\'');
  out.append(text);
  out.push_back('\'');
  return out;
}

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// An operand as written: a quoted string (decoded) or a bare token.
struct Operand {
  bool quoted;
  std::string text;
};

// A position in one source line.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  void SkipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  // The end of the line or the start of a comment.
  bool AtEnd() {
    SkipBlanks();
    return at_ == text_.size() || text_[at_] == ';' || text_[at_] == '#';
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  // Taken only when it follows without blanks (a label's colon).
  bool TakeAdjacent(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  std::string_view Name() {
    SkipBlanks();
    const size_t start = at_;
    if (at_ < text_.size() && IsNameStart(text_[at_])) {
      while (at_ < text_.size() && IsNameByte(text_[at_])) ++at_;
    }
    return text_.substr(start, at_ - start);
  }
  size_t Mark() const { return at_; }
  void Reset(size_t mark) { at_ = mark; }

  // A comma-separated operand list up to the end of the line.
  bool Operands(std::vector<Operand>* out, std::string* error) {
    out->clear();
    if (AtEnd()) return true;
    for (;;) {
      SkipBlanks();
      Operand operand{false, {}};
      if (at_ < text_.size() && text_[at_] == '"') {
        operand.quoted = true;
        if (!QuotedString(&operand.text, error)) return false;
      } else {
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != ';' &&
               text_[at_] != '#' && text_[at_] != '"') {
          ++at_;
        }
        size_t end = at_;
        while (end > start && (text_[end - 1] == ' ' || text_[end - 1] == '\t')) --end;
        operand.text = std::string(text_.substr(start, end - start));
        if (operand.text.empty()) {
          *error = "missing operand";
          return false;
        }
      }
      out->push_back(std::move(operand));
      if (AtEnd()) return true;
      if (!Take(',')) {
        *error = "expected ',' between operands";
        return false;
      }
    }
  }

 private:
  bool QuotedString(std::string* out, std::string* error) {
    ++at_;
    for (;;) {
      if (at_ >= text_.size()) {
        *error = "unterminated string";
        return false;
      }
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      const char e = at_ < text_.size() ? text_[at_++] : '\0';
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case 'r': out->push_back('\r'); break;
        case '0': out->push_back('\0'); break;
        case 'x': {
          const int high = at_ < text_.size() ? HexDigit(text_[at_]) : -1;
          const int low = at_ + 1 < text_.size() ? HexDigit(text_[at_ + 1]) : -1;
          if (high < 0 || low < 0) {
            *error = "'\\x' needs two hexadecimal digits";
            return false;
          }
          out->push_back(static_cast<char>(high * 16 + low));
          at_ += 2;
          break;
        }
        default:
          *error = "unknown escape '\\" + std::string(1, e) + "' in string";
          return false;
      }
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

// The code going into one segment: the top level (the entry segment), a
// function body or a bare segment. Labels belong to their segment because
// jump distances cannot leave it.
struct Block {
  Segment* segment;
  Function* function;  // whose body this is; null otherwise
  int line;            // where it began
  int32_t position = 0;
  std::map<std::string, int32_t> labels;
};

// An operand named before (or without) its definition, resolved at the end.
struct Fixup {
  Block* block;
  int32_t at;   // where the dword goes
  int32_t end;  // the end of the instruction, which distances count from
  Role role;
  std::string name;
  int line;
};

class Assembler {
 public:
  Assembler(std::string_view source_name, const ProgramParts& parts)
      : source_name_(source_name), parts_(parts) {}

  bool Run(std::string_view source);
  // Assembles lines into `scratch` as the body of `function` (or the top
  // level), for code placed inside a compiled page.
  bool RunFragment(std::string_view source, int first_line, Function* function, Segment* scratch);
  uint32_t Version() const { return version_; }
  const String& Error() const { return error_; }
  int ErrorLine() const { return error_line_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  bool Fail(int line, std::string_view message);
  bool Line(std::string_view text);
  bool Directive(const std::string& name, Cursor& rest);
  bool FunctionDirective(Cursor& rest);
  bool Names(Cursor& rest, std::string_view directive, VariableHash& table,
             std::string_view kind);
  bool Raw(Cursor& rest, const std::string& directive);
  bool LanguageDirective(Cursor& rest);
  bool TokenDirective(Cursor& rest);
  bool OneNumber(Cursor& rest, std::string_view directive, int64_t min, int64_t max,
                 int64_t* value);
  bool Instruction(std::string_view mnemonic, Cursor& rest);
  bool IntegerOperand(const Operand& operand, Role role, std::string_view mnemonic, int32_t at,
                      int32_t end);
  bool Resolve(const Fixup& fixup);
  int32_t Constant(const std::string& text);
  Block* NewBlock(Function* function);

  String source_name_;
  ProgramParts parts_;
  String error_;
  int line_ = 0;
  uint32_t version_ = TaggedFileWriter::kCurrentVersion;
  uint32_t flags_ = 0;
  std::vector<std::unique_ptr<Block>> blocks_;
  Block* top_ = nullptr;
  Block* current_ = nullptr;
  std::vector<Fixup> fixups_;
  std::map<std::string, int32_t> constants_;
  // The language that .token lines add to, -1 before the first .language.
  int32_t language_ = -1;
  bool fragment_ = false;
  int error_line_ = 0;
  std::string error_message_;
};

bool Assembler::Fail(int line, std::string_view message) {
  error_line_ = line;
  error_message_ = std::string(message);
  error_ = source_name_;
  error_.Append(':');
  AppendInteger(error_, line);
  error_.Append(": ");
  error_.Append(message);
  return false;
}

Block* Assembler::NewBlock(Function* function) {
  blocks_.push_back(std::make_unique<Block>());
  Block* block = blocks_.back().get();
  block->segment = parts_.segments->NewSegment();
  block->function = function;
  block->line = line_;
  return block;
}

int32_t Assembler::Constant(const std::string& text) {
  auto [it, added] = constants_.try_emplace(text, 0);
  if (added) {
    it->second = parts_.dictionary->AddEntry(text.data(), static_cast<int32_t>(text.size()));
  }
  return it->second;
}

bool Assembler::Run(std::string_view source) {
  // The top level is made first so that it is segment 0, the entry segment.
  top_ = current_ = NewBlock(nullptr);
  size_t start = 0;
  while (start <= source.size()) {
    size_t end = source.find('\n', start);
    if (end == std::string_view::npos) end = source.size();
    std::string_view line = source.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++line_;
    if (!Line(line)) return false;
    start = end + 1;
  }
  if (current_ != top_) {
    return Fail(current_->line, current_->function != nullptr
                                    ? "function " + Quote(current_->function->Name().View()) +
                                          " has no '.end'"
                                    : std::string("'.segment' has no '.end'"));
  }
  for (const Fixup& fixup : fixups_) {
    if (!Resolve(fixup)) return false;
  }
  parts_.dictionary->SetProgramFlags(flags_);
  return true;
}

bool Assembler::Line(std::string_view text) {
  Cursor cursor(text);
  for (;;) {
    const size_t mark = cursor.Mark();
    const std::string_view name = cursor.Name();
    if (name.empty() || !cursor.TakeAdjacent(':')) {
      cursor.Reset(mark);
      break;
    }
    auto [it, added] = current_->labels.try_emplace(std::string(name), current_->position);
    if (!added) return Fail(line_, "duplicate label " + Quote(name));
  }
  if (cursor.AtEnd()) return true;
  if (cursor.Take('.')) {
    const std::string_view directive = cursor.Name();
    if (directive.empty()) return Fail(line_, "expected a directive name after '.'");
    return Directive(Lowered(directive), cursor);
  }
  const std::string_view mnemonic = cursor.Name();
  if (mnemonic.empty()) return Fail(line_, "expected an instruction, a directive or a label");
  return Instruction(mnemonic, cursor);
}

bool Assembler::RunFragment(std::string_view source, int first_line, Function* function,
                            Segment* scratch) {
  fragment_ = true;
  blocks_.push_back(std::make_unique<Block>());
  top_ = current_ = blocks_.back().get();
  top_->segment = scratch;
  top_->function = function;
  top_->line = first_line;
  line_ = first_line - 1;
  size_t start = 0;
  while (start <= source.size()) {
    size_t end = source.find('\n', start);
    if (end == std::string_view::npos) end = source.size();
    std::string_view line = source.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++line_;
    if (!Line(line)) return false;
    start = end + 1;
  }
  for (const Fixup& fixup : fixups_) {
    if (!Resolve(fixup)) return false;
  }
  return true;
}

bool Assembler::Directive(const std::string& name, Cursor& rest) {
  if (fragment_ && (name == "function" || name == "segment" || name == "end" ||
                    name == "version" || name == "flags" || name == "language" ||
                    name == "token")) {
    return Fail(line_, "'." + name + "' has no place in code inside a page");
  }
  if (name == "global") return Names(rest, ".global", *parts_.globals, "global variable");
  if (name == "system") return Names(rest, ".system", *parts_.system, "system variable");
  if (name == "local") {
    if (current_->function == nullptr) return Fail(line_, "'.local' outside a function body");
    return Names(rest, ".local", current_->function->Locals(), "local variable");
  }
  if (name == "function") return FunctionDirective(rest);
  if (name == "segment" || name == "end") {
    if (!rest.AtEnd()) return Fail(line_, "'." + name + "' takes no operands");
    if (name == "end") {
      if (current_ == top_) return Fail(line_, "'.end' without '.function' or '.segment'");
      current_ = top_;
      return true;
    }
    if (current_ != top_) return Fail(line_, "'.segment' inside another block (missing '.end')");
    current_ = NewBlock(nullptr);
    return true;
  }
  int64_t value = 0;
  if (name == "version") {
    if (!OneNumber(rest, ".version", 0, 0xFFFFFFFF, &value)) return false;
    version_ = static_cast<uint32_t>(value);
    return true;
  }
  if (name == "flags") {
    if (!OneNumber(rest, ".flags", 0, 0xFFFFFFFF, &value)) return false;
    flags_ = static_cast<uint32_t>(value);
    return true;
  }
  if (name == "language") return LanguageDirective(rest);
  if (name == "token") return TokenDirective(rest);
  if (name == "word" || name == "dword" || name == "byte" || name == "double" ||
      name == "dict") {
    return Raw(rest, name);
  }
  return Fail(line_, "unknown directive '." + name + "'");
}

bool Assembler::OneNumber(Cursor& rest, std::string_view directive, int64_t min, int64_t max,
                          int64_t* value) {
  std::vector<Operand> operands;
  std::string error;
  if (!rest.Operands(&operands, &error)) return Fail(line_, error);
  if (operands.size() != 1 || operands[0].quoted ||
      !ParseNumber(operands[0].text, min, max, value)) {
    return Fail(line_, Quote(directive) + " expects one number from " + std::to_string(min) +
                           " to " + std::to_string(max));
  }
  return true;
}

bool Assembler::Names(Cursor& rest, std::string_view directive, VariableHash& table,
                      std::string_view kind) {
  std::vector<Operand> operands;
  std::string error;
  if (!rest.Operands(&operands, &error)) return Fail(line_, error);
  if (operands.empty()) return Fail(line_, Quote(directive) + " expects names");
  for (const Operand& operand : operands) {
    if (operand.quoted || !IsName(operand.text)) {
      return Fail(line_, Quote(directive) + " expects names, not " + Quote(operand.text));
    }
    const auto length = static_cast<int32_t>(operand.text.size());
    if (table.FindEntry(-1, operand.text.data(), length) >= 0) {
      return Fail(line_, std::string(kind) + " " + Quote(operand.text) + " is already declared");
    }
    table.AddEntry(operand.text.data(), length);
  }
  return true;
}

bool Assembler::FunctionDirective(Cursor& rest) {
  if (current_ != top_) return Fail(line_, "'.function' inside another block (missing '.end')");
  const std::string_view name = rest.Name();
  if (name.empty()) return Fail(line_, "'.function' expects a function name");
  const auto name_length = static_cast<int32_t>(name.size());
  if (parts_.functions->Find(name.data(), name_length) != nullptr) {
    return Fail(line_, "function " + Quote(name) + " is already defined");
  }
  std::vector<std::pair<std::string_view, bool>> parameters;  // name, by reference
  if (rest.Take('(') && !rest.Take(')')) {
    for (;;) {
      const bool by_reference = rest.Take('&');
      const std::string_view parameter = rest.Name();
      if (parameter.empty()) return Fail(line_, "expected a parameter name");
      for (const auto& [other, unused] : parameters) {
        if (Lowered(other) == Lowered(parameter)) {
          return Fail(line_, "parameter " + Quote(parameter) + " is named twice");
        }
      }
      parameters.emplace_back(parameter, by_reference);
      if (rest.Take(')')) break;
      if (!rest.Take(',')) return Fail(line_, "expected ',' or ')' in the parameter list");
    }
  }
  int64_t flags = 0;
  if (!rest.AtEnd()) {
    if (Lowered(rest.Name()) != "flags") {
      return Fail(line_, "expected 'flags N' or the end of the line after the parameters");
    }
    if (!OneNumber(rest, "flags", 0, 0xFFFFFFFF, &flags)) return false;
  }
  const auto flag_word = static_cast<uint32_t>(flags);
  Function* function = nullptr;
  // An external function is only declared: it has no body to assemble.
  if ((flag_word & Function::kExternal) != 0) {
    function = parts_.functions->Add(name.data(), name_length, flag_word, -1, -1);
  } else {
    current_ = NewBlock(nullptr);
    function = parts_.functions->Add(name.data(), name_length, flag_word,
                                     current_->segment->Number(), 0);
    current_->function = function;
  }
  // Parameters are the first locals, so their slots are their positions.
  for (const auto& [parameter, by_reference] : parameters) {
    const int32_t slot =
        function->Locals().AddEntry(parameter.data(), static_cast<int32_t>(parameter.size()));
    function->AddParameter(function->Locals().EntryNameNumber(slot),
                           by_reference ? FunctionParameter::kByReference : 0, slot);
  }
  return true;
}

bool Assembler::Raw(Cursor& rest, const std::string& directive) {
  std::vector<Operand> operands;
  std::string error;
  if (!rest.Operands(&operands, &error)) return Fail(line_, error);
  if (operands.empty()) return Fail(line_, "'." + directive + "' expects operands");
  Segment* segment = current_->segment;
  int32_t& at = current_->position;
  for (const Operand& operand : operands) {
    if (directive == "dict") {
      if (!operand.quoted) return Fail(line_, "'.dict' expects quoted strings");
      parts_.dictionary->AddEntry(operand.text.data(), static_cast<int32_t>(operand.text.size()));
      continue;
    }
    const std::string invalid =
        "invalid operand " + Quote(operand.text) + " for '." + directive + "'";
    if (operand.quoted) return Fail(line_, invalid);
    if (directive == "double") {
      bool failed = false;
      const double value =
          ParseDouble(operand.text.data(), static_cast<int32_t>(operand.text.size()), &failed);
      if (failed) return Fail(line_, invalid);
      at = segment->WriteDouble(at, value);
      continue;
    }
    int64_t value = 0;
    if (directive == "byte") {
      if (!ParseNumber(operand.text, -128, 255, &value)) return Fail(line_, invalid);
      at = segment->WriteByte(at, static_cast<uint8_t>(value));
    } else if (directive == "word") {
      if (!ParseNumber(operand.text, -32768, 65535, &value)) return Fail(line_, invalid);
      at = segment->WriteWord(at, static_cast<uint16_t>(value));
    } else {
      int32_t dword = 0;
      if (!ParseDword(operand.text, &dword)) return Fail(line_, invalid);
      at = segment->WriteDword(at, dword);
    }
  }
  return true;
}

bool Assembler::LanguageDirective(Cursor& rest) {
  auto* languages = dynamic_cast<LocalizedLanguages*>(parts_.localized);
  if (languages == nullptr) return Fail(line_, "'.language' needs program parts with localized tables");
  std::vector<Operand> operands;
  std::string error;
  if (!rest.Operands(&operands, &error)) return Fail(line_, error);
  if (operands.size() != 1) return Fail(line_, "'.language' expects one language name");
  const int32_t name = Constant(operands[0].text);
  language_ = languages->AddLanguage(name);
  if (language_ < 0) return Fail(line_, "'.language' expects one language name");
  return true;
}

bool Assembler::TokenDirective(Cursor& rest) {
  auto* languages = dynamic_cast<LocalizedLanguages*>(parts_.localized);
  if (languages == nullptr || language_ < 0) return Fail(line_, "'.token' before any '.language'");
  std::vector<Operand> operands;
  std::string error;
  if (!rest.Operands(&operands, &error)) return Fail(line_, error);
  if (operands.empty()) return Fail(line_, "'.token' expects a token name and its pieces");
  const int32_t token = Constant(operands[0].text);
  LocalizedIndex* index = languages->Index(language_, true);
  if (index->Find(token) != nullptr) {
    return Fail(line_, "token " + Quote(operands[0].text) + " is already in language " +
                           Quote(parts_.dictionary->EntryView(languages->LanguageName(language_))));
  }
  // Quoted pieces are literal texts, names are variables, and a number is
  // a literal piece with that text number as it stands.
  LocalizedDictionary* pieces = languages->Pieces();
  int32_t first = -1;
  int32_t last = -1;
  for (size_t i = 1; i < operands.size(); ++i) {
    const Operand& operand = operands[i];
    uint32_t kind = LocalizedDictionary::kLiteralPiece;
    int32_t text = 0;
    if (operand.quoted) {
      text = Constant(operand.text);
    } else if (IsName(operand.text)) {
      kind = LocalizedDictionary::kVariablePiece;
      text = Constant(operand.text);
    } else if (!ParseDword(operand.text, &text)) {
      return Fail(line_, "'.token' expects quoted texts, variable names or numbers, not " +
                             Quote(operand.text));
    }
    last = pieces->AddPiece(kind, text, last);
    if (first < 0) first = last;
  }
  languages->AddToken(language_, token, first);
  return true;
}

bool Assembler::Instruction(std::string_view mnemonic, Cursor& rest) {
  const OpcodeInfo* info = FindOpcodeByName(mnemonic);
  if (info == nullptr) return Fail(line_, "unknown instruction " + Quote(mnemonic));
  std::vector<Operand> operands;
  std::string error;
  if (!rest.Operands(&operands, &error)) return Fail(line_, error);
  const uint16_t word = info->word;
  const int kinds[2] = {FirstOperandKind(word), SecondOperandKind(word)};
  const size_t wanted = (kinds[0] != kOperandNone) + (kinds[1] != kOperandNone);
  if (operands.size() != wanted) {
    const std::string takes = wanted == 0   ? "no operands"
                              : wanted == 1 ? "1 operand"
                                            : std::to_string(wanted) + " operands";
    return Fail(line_, Quote(info->name) + " takes " + takes + ", " +
                           std::to_string(operands.size()) + " given");
  }
  const int32_t start = current_->position;
  const int32_t end = start + InstructionSize(word);
  Segment* segment = current_->segment;
  int32_t at = segment->WriteWord(start, word);
  for (size_t i = 0; i < wanted; ++i) {
    const Operand& operand = operands[i];
    if (kinds[i] == kOperandDouble) {
      bool failed = operand.quoted;
      const double value =
          ParseDouble(operand.text.data(), static_cast<int32_t>(operand.text.size()), &failed);
      if (failed || operand.quoted) {
        return Fail(line_, Quote(info->name) + " expects a number, not " + Quote(operand.text));
      }
      at = segment->WriteDouble(at, value);
    } else {
      if (!IntegerOperand(operand, RoleOfOperand(word, static_cast<int>(i)), info->name, at, end)) {
        return false;
      }
      at += 4;
    }
  }
  current_->position = end;
  return true;
}

bool Assembler::IntegerOperand(const Operand& operand, Role role, std::string_view mnemonic,
                               int32_t at, int32_t end) {
  Segment* segment = current_->segment;
  const std::string expects = Quote(mnemonic) + " expects " + Expected(role);
  if (operand.quoted) {
    if (role != Role::kLabel && role != Role::kConstant) {
      return Fail(line_, expects + ", not a string");
    }
    segment->WriteDword(at, Constant(operand.text));
    return true;
  }
  const char first = operand.text[0];
  if ((first >= '0' && first <= '9') || first == '-' || first == '+') {
    int32_t value = 0;
    if (!ParseDword(operand.text, &value)) {
      return Fail(line_, "invalid number " + Quote(operand.text));
    }
    segment->WriteDword(at, value);
    return true;
  }
  if (!IsName(operand.text) || role == Role::kConstant) {
    return Fail(line_, expects + ", not " + Quote(operand.text));
  }
  if (role == Role::kLocal && current_->function == nullptr) {
    return Fail(line_, "local variable " + Quote(operand.text) + " outside a function body");
  }
  // Room for the number now, so that the segment's size is right even
  // when this is its last instruction.
  segment->WriteDword(at, 0);
  fixups_.push_back(Fixup{current_, at, end, role, operand.text, line_});
  return true;
}

bool Assembler::Resolve(const Fixup& fixup) {
  const char* name = fixup.name.data();
  const auto length = static_cast<int32_t>(fixup.name.size());
  int32_t value = -1;
  switch (fixup.role) {
    case Role::kLabel: {
      auto it = fixup.block->labels.find(fixup.name);
      if (it == fixup.block->labels.end()) {
        return Fail(fixup.line, "undefined label " + Quote(fixup.name));
      }
      value = it->second - fixup.end;
      break;
    }
    case Role::kConstant:
      break;  // constants are never names
    case Role::kGlobal:
      value = parts_.globals->FindEntry(-1, name, length);
      if (value < 0) return Fail(fixup.line, "unknown global variable " + Quote(fixup.name));
      break;
    case Role::kSystem:
      value = parts_.system->FindEntry(-1, name, length);
      if (value < 0) return Fail(fixup.line, "unknown system variable " + Quote(fixup.name));
      break;
    case Role::kLocal: {
      Function* function = fixup.block->function;
      value = function->Locals().FindEntry(-1, name, length);
      if (value < 0) {
        return Fail(fixup.line, "unknown local variable " + Quote(fixup.name) + " in function " +
                                    Quote(function->Name().View()));
      }
      break;
    }
    case Role::kFunction: {
      const Function* function = parts_.functions->Find(name, length);
      if (function == nullptr) return Fail(fixup.line, "undefined function " + Quote(fixup.name));
      value = function->Number();
      break;
    }
  }
  fixup.block->segment->WriteDword(fixup.at, value);
  return true;
}

}  // namespace

bool AssembleFragment(std::string_view source, std::string_view source_name, int first_line,
                      const ProgramParts& parts, Function* function,
                      std::vector<unsigned char>* code, int* error_line, std::string* error) {
  Assembler assembler(source_name, parts);
  Segment scratch(0);
  if (!assembler.RunFragment(source, first_line, function, &scratch)) {
    *error_line = assembler.ErrorLine();
    *error = assembler.ErrorMessage();
    return false;
  }
  code->assign(scratch.Bytes(), scratch.Bytes() + scratch.Size());
  return true;
}

bool AssembleInto(std::string_view source, std::string_view source_name,
                  const ProgramParts& parts, uint32_t* version, String* error) {
  Assembler assembler(source_name, parts);
  if (!assembler.Run(source)) {
    *error = assembler.Error();
    return false;
  }
  *version = assembler.Version();
  return true;
}

bool Assemble(std::string_view source, std::string_view source_name, String* image,
              String* error) {
  Dictionary dictionary;
  SystemVariableHash system(&dictionary);
  VariableHash globals(&dictionary);
  SegmentManager segments;
  FunctionManager functions(&dictionary);
  LocalizedDictionary pieces;
  LocalizedLanguages languages(&dictionary, &pieces);
  ProgramParts parts{&dictionary, &system, &globals, &segments, &functions, &languages};
  uint32_t version = 0;
  if (!AssembleInto(source, source_name, parts, &version, error)) return false;
  // A program without languages has no localized sections, as before
  // there were any.
  if (languages.Count() == 0) parts.localized = nullptr;
  MemoryStream out;
  String write_error;
  if (!WriteProgram(out, parts, &write_error, version)) {
    *error = String(source_name);
    error->Append(": ");
    error->Append(write_error);
    return false;
  }
  *image = out.Contents();
  return true;
}

}  // namespace lumo
