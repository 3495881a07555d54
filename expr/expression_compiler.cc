#include "expr/expression_compiler.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/program/opcodes.h"

namespace lumo {

enum class OperatorKind : uint8_t { kPlain, kGroup, kIncrement, kDecrement, kEnd };

struct ExpressionOperator {
  const char* name;
  int32_t length;
  int precedence;  // higher binds tighter
  bool unary;
  uint16_t word;
  OperatorKind kind;
};

namespace {

constexpr ExpressionOperator kOperators[] = {
    {"+", 1, 3, false, kOpAdd, OperatorKind::kPlain},
    {"-", 1, 3, false, kOpSub, OperatorKind::kPlain},
    {"$", 1, 3, false, kOpCat, OperatorKind::kPlain},
    {"BITAND", 6, 3, false, kOpBitand, OperatorKind::kPlain},
    {"BITOR", 5, 3, false, kOpBitor, OperatorKind::kPlain},
    {"BITXOR", 6, 3, false, kOpBitxor, OperatorKind::kPlain},
    {"BITOC", 5, 3, true, kOpBitoc, OperatorKind::kPlain},
    {"BITSL", 5, 3, false, kOpBitsl, OperatorKind::kPlain},
    {"BITSR", 5, 3, false, kOpBitsr, OperatorKind::kPlain},
    {"/", 1, 4, false, kOpDiv, OperatorKind::kPlain},
    {"*", 1, 4, false, kOpMul, OperatorKind::kPlain},
    {"MOD", 3, 4, false, kOpMod, OperatorKind::kPlain},
    {"AND", 3, 1, false, kOpAnd, OperatorKind::kPlain},
    {"OR", 2, 1, false, kOpOr, OperatorKind::kPlain},
    {"IN", 2, 2, false, kOpIn, OperatorKind::kPlain},
    {"CIN", 3, 2, false, kOpCin, OperatorKind::kPlain},
    {"EIN", 3, 2, false, kOpEin, OperatorKind::kPlain},
    {"ECIN", 4, 2, false, kOpEcin, OperatorKind::kPlain},
    {"EQ", 2, 2, false, kOpEq, OperatorKind::kPlain},
    {"NE", 2, 2, false, kOpNe, OperatorKind::kPlain},
    {"GE", 2, 2, false, kOpGe, OperatorKind::kPlain},
    {"LE", 2, 2, false, kOpLe, OperatorKind::kPlain},
    {"LT", 2, 2, false, kOpLt, OperatorKind::kPlain},
    {"GT", 2, 2, false, kOpGt, OperatorKind::kPlain},
    {"ROUNDS", 6, 5, false, kOpRounds, OperatorKind::kPlain},
    {"ROUNDF", 6, 5, false, kOpRoundf, OperatorKind::kPlain},
    {"CRYPT", 5, 5, false, kOpCrypt, OperatorKind::kPlain},
    {"POW", 3, 5, false, kOpPow, OperatorKind::kPlain},
    {"NOT", 3, 6, true, kOpNot, OperatorKind::kPlain},
    {"ISNULL", 6, 6, true, kOpIsnull, OperatorKind::kPlain},
    {"(", 1, 7, true, 0, OperatorKind::kGroup},
    {"++", 2, 8, true, 0, OperatorKind::kIncrement},
    {"--", 2, 8, true, 0, OperatorKind::kDecrement},
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsLetter(char c) { return isalpha(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }
bool IsQuote(char c) { return c == '"' || c == '\''; }

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

const ExpressionOperator* LookUp(std::string_view name) {
  for (const ExpressionOperator& op : kOperators) {
    if (SameNoCase(name, std::string_view(op.name, static_cast<size_t>(op.length)))) return &op;
  }
  return nullptr;
}

// Digits without a leading zero (or "0" itself) that fit 32 bits: their
// integer prints back as the same text.
bool PlainWholeNumber(std::string_view text, int32_t* value) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  int64_t v = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  if (v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool IsFieldMarker(std::string_view part) {
  return SameNoCase(part, "d") || SameNoCase(part, "database");
}

}  // namespace

ExpressionCompiler::ExpressionCompiler(const ProgramParts& parts, FunctionManager* second_table,
                                       std::string_view text, std::string_view default_view,
                                       std::string_view source_file, int32_t line,
                                       uint32_t version)
    : segments_(parts.segments),
      dictionary_(parts.dictionary),
      functions_(parts.functions),
      second_table_(second_table),
      text_(text),
      line_(line),
      version_(version) {
  if (text.size() > static_cast<size_t>(kMaxLength)) {
    Fail(kTooLongText);
    return;
  }
  length_ = static_cast<int32_t>(text.size());
  if (!default_view.empty()) {
    default_view_ = String(default_view);
    if (!Intern(default_view, "Unable to store variable", &default_view_entry_)) return;
  }
  source_name_ = String(source_file);
}

// The file's name is interned when code is made, so that a constant pool
// set after construction sees it.
bool ExpressionCompiler::InternSourceFile() {
  if (source_name_.IsEmpty() || source_file_ >= 0) return true;
  return Intern(source_name_.View(), "Unable to store variable", &source_file_);
}

bool ExpressionCompiler::Compile() {
  if (!error_.IsEmpty() || segment_number_ >= 0) return error_.IsEmpty();
  if (!InternSourceFile()) return false;
  if (source_file_ >= 0) Emit(kOpSourcefile, source_file_);
  if (!CompileExpression(0, length_, 0)) return false;
  Segment* segment = segments_->NewSegment();
  code_.CopyTo(*segment);
  segment_number_ = segment->Number();
  return true;
}

bool ExpressionCompiler::CompileInline() {
  if (!error_.IsEmpty() || !InternSourceFile()) return false;
  last_line_ = line_;
  return CompileExpression(0, length_, 0);
}

bool ExpressionCompiler::Fail(std::string_view message) {
  if (error_.IsEmpty()) error_ = String(message);
  return false;
}

bool ExpressionCompiler::FailWithChar(std::string_view before, char c, std::string_view after) {
  std::string message(before);
  message += c;
  message += after;
  return Fail(message);
}

// --- Scanning -------------------------------------------------------------

int32_t ExpressionCompiler::SkipBlanks(int32_t from, int32_t end) const {
  while (from < end && IsBlank(At(from))) ++from;
  return from;
}

// The position of the quote that closes the one at `open`: the next quote
// of the same kind without a backslash directly before it; -1 for none.
int32_t ExpressionCompiler::MatchQuote(int32_t open, int32_t end) const {
  const char quote = At(open);
  for (int32_t i = open + 1; i < end; ++i) {
    if (At(i) == quote && At(i - 1) != '\\') {
      return i;
    }
  }
  return -1;
}

// The position of the bracket that closes the '(' or '[' at `open`, counting
// nesting of that kind and skipping quoted texts; -1 for none.
int32_t ExpressionCompiler::MatchClose(int32_t open, int32_t end) const {
  const char opening = At(open);
  const char closing = opening == '(' ? ')' : ']';
  int32_t nesting = 0;
  for (int32_t i = open; i < end; ++i) {
    const char c = At(i);
    if (IsQuote(c)) {
      i = MatchQuote(i, end);
      if (i < 0) return -1;
    } else if (c == opening) {
      ++nesting;
    } else if (c == closing && --nesting == 0) {
      return i;
    }
  }
  return -1;
}

// Finds the next operator in [from, end). Where an operand is expected, a
// '+' or '-' that starts the stretch and stands before a digit or '.' is
// the sign of a number; after an operand it is always an operator, so that
// (a)-5 subtracts.
bool ExpressionCompiler::NextOperator(int32_t from, int32_t end, bool operand_expected,
                                      Found* found) {
  int32_t i = SkipBlanks(from, end);
  const int32_t first = i;
  while (i < end) {
    const char c = At(i);
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    if (c == '+' || c == '-') {
      const char next = i + 1 < end ? At(i + 1) : '\0';
      if (next == c) {
        *found = Found{LookUp(std::string_view(c == '+' ? "++" : "--", 2)), i, i + 2};
        return true;
      }
      if (!(operand_expected && i == first && (IsDigit(next) || next == '.'))) {
        *found = Found{LookUp(text_.substr(static_cast<size_t>(i), 1)), i, i + 1};
        return true;
      }
      ++i;
      continue;
    }
    if (c == '/' || c == '*' || c == '$' || c == '(') {
      *found = Found{LookUp(text_.substr(static_cast<size_t>(i), 1)), i, i + 1};
      return true;
    }
    if (IsNameChar(c)) {
      int32_t j = i;
      while (j < end && IsNameChar(At(j))) ++j;
      // A word inside a name (after '.', ':' or a digit) is never an
      // operator: d.and names a field, x:or a member.
      const char before = i > 0 ? At(i - 1) : ' ';
      const bool candidate = IsLetter(c) && before != '.' && before != ':';
      const ExpressionOperator* op =
          candidate ? LookUp(text_.substr(static_cast<size_t>(i), static_cast<size_t>(j - i)))
                    : nullptr;
      if (op != nullptr) {
        *found = Found{op, i, j};
        return true;
      }
      if (j < end && (At(j) == '(' || At(j) == '[')) {
        const int32_t close = MatchClose(j, end);
        if (close < 0) return Fail("Mismatched Parentheses found in Expression");
        j = close + 1;
      }
      i = j;
      continue;
    }
    if (IsQuote(c)) {
      const int32_t close = MatchQuote(i, end);
      if (close < 0) return Fail("Mismatched Quotes found in Expression");
      i = close + 1;
      continue;
    }
    if (c == ':' && i + 1 < end && At(i + 1) == '(') {
      // A member named by an expression, s:('k' $ n): no group.
      const int32_t close = MatchClose(i + 1, end);
      if (close < 0) return Fail("Mismatched Parentheses found in Expression");
      i = close + 1;
      continue;
    }
    ++i;  // '|', '^' and everything else that is no operator
  }
  *found = Found{nullptr, end, end};
  return true;
}

// --- Parsing --------------------------------------------------------------

bool ExpressionCompiler::CompileExpression(int32_t begin, int32_t end, int depth) {
  if (depth > kMaxDepth) return Fail(kTooDeepText);
  int32_t position = SkipBlanks(begin, end);
  if (position == end) return true;  // an empty text compiles to nothing
  return ParseLevel(&position, end, 0, depth);
}

// Compiles an operand followed by every binary operator binding at least
// as tightly as min_precedence; equal precedences group from the left.
bool ExpressionCompiler::ParseLevel(int32_t* position, int32_t end, int min_precedence,
                                    int depth) {
  if (!ParseOperand(position, end, depth)) return false;
  for (;;) {
    Found next;
    if (!NextOperator(*position, end, false, &next)) return false;
    const int32_t gap = SkipBlanks(*position, end);
    if (gap < next.start) {
      return FailWithChar("Found additional argument '", At(gap),
                          "' while looking for operator");
    }
    if (next.op == nullptr) {
      *position = end;
      return true;
    }
    if (next.op->unary || next.op->kind != OperatorKind::kPlain) {
      std::string message = "Invalid Operator '";
      message.append(next.op->name, static_cast<size_t>(next.op->length));
      message += "' Found in Expression";
      return Fail(message);
    }
    if (next.op->precedence < min_precedence) return true;
    *position = next.end;
    if (!ParseLevel(position, end, next.op->precedence + 1, depth)) return false;
    Emit(next.op->word);
  }
}

bool ExpressionCompiler::ParseOperand(int32_t* position, int32_t end, int depth) {
  if (++depth > kMaxDepth) return Fail(kTooDeepText);
  Found found;
  if (!NextOperator(*position, end, true, &found)) return false;
  const int32_t begin = SkipBlanks(*position, end);
  if (begin < found.start) {
    if (!CompileArgument(begin, found.start, depth)) return false;
    *position = found.start;
    return ParsePostfix(position, end);
  }
  if (found.op == nullptr || !found.op->unary) return Fail("Argument expected in Expression");
  switch (found.op->kind) {
    case OperatorKind::kGroup: {
      const int32_t close = MatchClose(found.start, end);
      if (close < 0) return Fail("Mismatched Parenetheses in Expression");
      if (SkipBlanks(found.end, close) == close) return Fail("Argument expected in Expression");
      if (!CompileExpression(found.end, close, depth)) return false;
      *position = close + 1;
      return ParsePostfix(position, end);
    }
    case OperatorKind::kIncrement:
    case OperatorKind::kDecrement:
      if (version_ < kIncrementVersion) return Fail("Invalid operator found in expression");
      *position = found.end;
      if (!ParseOperand(position, end, depth)) return false;
      return EmitStep(found.op->kind == OperatorKind::kIncrement, true);
    default:
      *position = found.end;
      if (!ParseLevel(position, end, found.op->precedence, depth)) return false;
      Emit(found.op->word);
      return true;
  }
}

// `++` or `--` right after an operand steps it and leaves its old value.
bool ExpressionCompiler::ParsePostfix(int32_t* position, int32_t end) {
  for (;;) {
    Found next;
    if (!NextOperator(*position, end, false, &next)) return false;
    if (next.op == nullptr || SkipBlanks(*position, end) < next.start ||
        (next.op->kind != OperatorKind::kIncrement && next.op->kind != OperatorKind::kDecrement)) {
      return true;
    }
    if (version_ < kIncrementVersion) return Fail("Invalid operator found in expression");
    if (!EmitStep(next.op->kind == OperatorKind::kIncrement, false)) return false;
    *position = next.end;
  }
}

bool ExpressionCompiler::CompileArgument(int32_t begin, int32_t end, int depth) {
  int32_t i = SkipBlanks(begin, end);
  if (i == end) return true;
  const char c = At(i);
  int32_t after = i;
  if (IsLetter(c) || c == '_') {
    int32_t j = i;
    while (j < end && IsNameChar(At(j))) ++j;
    const char next = j < end ? At(j) : ' ';
    if (next == '.' || next == ':' || next == '[') {
      while (j < end) {
        const char k = At(j);
        if (k == '[' || (k == ':' && j + 1 < end && At(j + 1) == '(')) {
          const int32_t close = MatchClose(k == '[' ? j : j + 1, end);
          if (close < 0) return Fail("Mismatched Parentheses found in Expression");
          j = close + 1;
        } else if (IsNameChar(k) || k == '.' || k == ':') {
          ++j;
        } else {
          break;
        }
      }
      if (!CompileVariable(i, j, depth)) return false;
      after = j;
    } else if (IsBlank(next)) {
      if (!CompileVariable(i, j, depth)) return false;
      after = j;
    } else if (next == '(') {
      const int32_t close = MatchClose(j, end);
      if (close < 0) return Fail("Mismatched Parentheses found in Expression");
      if (!CompileCall(i, j, close, depth)) return false;
      after = close + 1;
    } else {
      return FailWithChar("Invalid Argument '", next, "' in Expression");
    }
  } else if (IsDigit(c) || c == '+' || c == '-' || c == '.') {
    // An optional sign, then digits and points; after a leading point only
    // digits.
    int32_t j = c == '+' || c == '-' ? i + 1 : i;
    if (j < end && At(j) == '.') {
      ++j;
      while (j < end && IsDigit(At(j))) ++j;
    } else {
      while (j < end && (IsDigit(At(j)) || At(j) == '.')) ++j;
    }
    const std::string_view number = text_.substr(static_cast<size_t>(i), static_cast<size_t>(j - i));
    int32_t whole = 0;
    if (integer_literals_ && PlainWholeNumber(number, &whole)) {
      Emit(kOpPushi, whole);
    } else {
      int32_t entry = -1;
      if (!Intern(number, "Unable to find variable", &entry)) return false;
      Emit(kOpPushc, entry);
    }
    after = j;
  } else if (IsQuote(c)) {
    const int32_t close = MatchQuote(i, end);
    if (close < 0) return Fail("Mismatched Quotes found in Expression");
    std::string literal;
    literal.reserve(static_cast<size_t>(close - i));
    for (int32_t k = i + 1; k < close; ++k) {
      const char b = At(k);
      if (b == '\\' && k + 1 < close && IsQuote(At(k + 1))) {
        continue;  // the escaped quote stays, its backslash goes
      }
      literal += b;
    }
    int32_t entry = -1;
    if (!Intern(literal, "Unable to find variable", &entry)) return false;
    Emit(kOpPushc, entry);
    after = close + 1;
  } else {
    return FailWithChar("Invalid Argument '", c, "' Found in expression");
  }
  for (int32_t k = after; k < end; ++k) {
    const char b = At(k);
    if (!IsBlank(b) && b != '\0') {
      return FailWithChar("Found additional argument '", b, "' while looking for operator");
    }
  }
  return true;
}

// A name, then any indexes ("[expression]") and members (":name").
bool ExpressionCompiler::CompileVariable(int32_t begin, int32_t end, int depth) {
  int32_t base_end = begin;
  while (base_end < end && At(base_end) != '[' &&
         At(base_end) != ':') {
    ++base_end;
  }
  const std::string_view base = text_.substr(static_cast<size_t>(begin),
                                             static_cast<size_t>(base_end - begin));
  // Split at the dots to recognise d.FIELD and VIEW.d.FIELD; a name with
  // more dots than those is a plain name.
  std::string_view parts[3];
  size_t count = 0;
  for (size_t from = 0;;) {
    const size_t dot = base.find('.', from);
    if (count == 3) {
      count = 0;
      break;
    }
    parts[count++] = base.substr(from, dot == std::string_view::npos ? dot : dot - from);
    if (dot == std::string_view::npos) break;
    from = dot + 1;
  }
  int32_t view = -1;
  std::string_view field;
  if (count == 2 && IsFieldMarker(parts[0]) && !parts[1].empty() && default_view_entry_ >= 0) {
    view = default_view_entry_;
    field = parts[1];
  } else if (count == 3 && IsFieldMarker(parts[1]) && !parts[0].empty() && !parts[2].empty()) {
    if (!Intern(parts[0], "Unable to store variable", &view)) return false;
    field = parts[2];
  }
  int32_t entry = -1;
  uint16_t slot_word = 0;
  if (view >= 0) {
    if (!Intern(field, "Unable to store variable", &entry)) return false;
    Emit(kOpPushdc, view, entry);
  } else if (slots_ != nullptr && slots_->Find(base, &slot_word, &entry)) {
    Emit(slot_word, entry);
  } else {
    if (!Intern(base, "Unable to store variable", &entry)) return false;
    Emit(kOpPushnc, entry);
  }
  int32_t i = base_end;
  while (i < end) {
    const char c = At(i);
    if (c == '[') {
      const int32_t close = MatchClose(i, end);
      if (close < 0) return Fail("Mismatched Parentheses found in Expression");
      if (SkipBlanks(i + 1, close) == close) return Fail("Argument expected in Expression");
      if (!CompileExpression(i + 1, close, depth + 1)) return false;
      Emit(kOpElem);
      i = close + 1;
    } else if (c == ':' && i + 1 < end && At(i + 1) == '(') {
      const int32_t close = MatchClose(i + 1, end);
      if (close < 0) return Fail("Mismatched Parentheses found in Expression");
      if (SkipBlanks(i + 2, close) == close) return Fail("Argument expected in Expression");
      if (!CompileExpression(i + 2, close, depth + 1)) return false;
      Emit(kOpMemb);
      i = close + 1;
    } else if (c == ':') {
      int32_t j = i + 1;
      while (j < end && IsNameChar(At(j))) ++j;
      if (j == i + 1) {
        return FailWithChar("Invalid Argument '", j < end ? At(j) : ':',
                            "' in Expression");
      }
      if (!Intern(text_.substr(static_cast<size_t>(i + 1), static_cast<size_t>(j - i - 1)),
                  "Unable to store variable", &entry)) {
        return false;
      }
      Emit(kOpPushc, entry);
      Emit(kOpMemb);
      i = j;
    } else {
      return FailWithChar("Found additional argument '", c, "' while looking for operator");
    }
  }
  return true;
}

Function* ExpressionCompiler::FindFunction(std::string_view name) {
  const auto length = static_cast<int32_t>(name.size());
  Function* function = functions_->Find(name.data(), length);
  if (function != nullptr) return function;
  // A function of the calling program counts only when it may be called
  // from elsewhere. Its parameter names are entries of that program's
  // dictionary, so the copy interns them again here.
  auto add_copy = [](FunctionManager* table, std::string_view copy_name, uint32_t flags,
                     int32_t count, auto parameter_of) {
    Function* copy = table->Add(copy_name.data(), static_cast<int32_t>(copy_name.size()), flags,
                                -1, -1);
    for (int32_t i = 0; i < count; ++i) {
      std::string_view parameter;
      uint32_t parameter_flags = 0;
      parameter_of(i, &parameter, &parameter_flags);
      const int32_t slot =
          copy->Locals().AddEntry(parameter.data(), static_cast<int32_t>(parameter.size()));
      copy->AddParameter(copy->Locals().EntryNameNumber(slot), parameter_flags, slot);
    }
    return copy;
  };
  if (second_table_ != nullptr) {
    Function* other = second_table_->Find(name.data(), length);
    if (other != nullptr && (other->Flags() & Function::kExternal) != 0) {
      return add_copy(functions_, other->Name().View(), other->Flags(), other->ParameterCount(),
                      [other](int32_t i, std::string_view* p, uint32_t* flags) {
                        *p = other->Parameter(i).name_text.View();
                        *flags = other->Parameter(i).flags;
                      });
    }
  }
  const BuiltinFunction* builtin = builtins_ != nullptr ? builtins_->Find(name) : nullptr;
  if (builtin == nullptr) return nullptr;
  auto parameter_of = [builtin](int32_t i, std::string_view* p, uint32_t* flags) {
    *p = builtin->parameters[i].name;
    *flags = builtin->parameters[i].by_reference ? FunctionParameter::kByReference : 0;
  };
  const int32_t count = builtin->parameter_count > 0 ? builtin->parameter_count : 0;
  Function* added = add_copy(functions_, name, Function::kExternal, count, parameter_of);
  if (second_table_ != nullptr && second_table_->Find(name.data(), length) == nullptr) {
    add_copy(second_table_, name, Function::kExternal, count, parameter_of);
  }
  return added;
}

bool ExpressionCompiler::CompileCall(int32_t name_begin, int32_t name_end, int32_t close,
                                     int depth) {
  const std::string_view name =
      text_.substr(static_cast<size_t>(name_begin), static_cast<size_t>(name_end - name_begin));
  Function* function = FindFunction(name);
  if (function == nullptr) return Fail("Unable to find function '" + std::string(name) + "'");
  // Split at the commas outside quotes, parentheses and brackets.
  int32_t count = 0;
  int32_t piece = name_end + 1;
  for (int32_t i = piece; i <= close; ++i) {
    const char c = i < close ? At(i) : ',';
    if (IsQuote(c)) {
      i = MatchQuote(i, close);
      if (i < 0) return Fail("Mismatched Quotes found in Expression");
      continue;
    }
    if (c == '(' || c == '[') {
      i = MatchClose(i, close);
      if (i < 0) return Fail("Mismatched Parentheses found in Expression");
      continue;
    }
    if (c != ',') continue;
    const bool blank = SkipBlanks(piece, i) == i;
    if (blank) {
      // Nothing after the last comma (or an empty list) is no argument; an
      // empty argument anywhere else would leave the stack one value short.
      if (i == close) break;
      return Fail("Argument expected in Expression");
    }
    if (!CompileExpression(piece, i, depth + 1)) return false;
    ++count;
    piece = i + 1;
  }
  if (count != function->ParameterCount()) {
    return Fail("Function '" + std::string(name) + "' is defined with " +
                std::to_string(function->ParameterCount()) + " parameters and was called with " +
                std::to_string(count));
  }
  Emit(kOpCall, function->Number());
  emitted_call_ = true;
  // The function's own code moves the machine's file and line on.
  if (source_file_ >= 0 && remark_after_call_) Emit(kOpSourcefile, source_file_);
  last_line_ = -1;
  return true;
}

// --- Emitting -------------------------------------------------------------

bool ExpressionCompiler::Intern(std::string_view text, const char* failure, int32_t* entry) {
  if (text.size() > static_cast<size_t>(kMaxLength)) {
    *entry = -1;
  } else if (pool_ != nullptr) {
    *entry = pool_->Intern(text);
  } else {
    *entry = dictionary_->AddEntry(text.data(), static_cast<int32_t>(text.size()));
  }
  return *entry >= 0 || Fail(failure);
}

void ExpressionCompiler::MarkPosition() {
  if (line_ != last_line_) {
    last_line_ = line_;
    code_.Emit(kOpLineno, line_);
  }
}

void ExpressionCompiler::Emit(uint16_t word) {
  MarkPosition();
  code_.Emit(word);
}

void ExpressionCompiler::Emit(uint16_t word, int32_t operand) {
  if (word != kOpSourcefile) MarkPosition();
  code_.Emit(word, operand);
}

void ExpressionCompiler::Emit(uint16_t word, int32_t first, int32_t second) {
  MarkPosition();
  code_.Emit(word, first, second);
}

// The operand's variable is on the stack. Postfix leaves the old value (the
// variable plus 0, a value of its own) and stores the stepped one; prefix
// stores the stepped value and leaves it.
bool ExpressionCompiler::EmitStep(bool increment, bool prefix) {
  const uint16_t step = increment ? kOpAdd : kOpSub;
  Emit(kOpDup);
  if (prefix) {
    Emit(kOpPushi, 1);
    Emit(step);
    Emit(kOpDup);
    Emit(kOpSwapn, 0, 2);
  } else {
    Emit(kOpPushi, 0);
    Emit(kOpAdd);
    Emit(kOpSwap);
    Emit(kOpDup);
    Emit(kOpPushi, 1);
    Emit(step);
    Emit(kOpSwap);
  }
  Emit(kOpStore);
  return true;
}

}  // namespace lumo
