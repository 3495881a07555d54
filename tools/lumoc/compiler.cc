#include "tools/lumoc/compiler.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>

#include "core/base/conversions.h"
#include "core/base/stream.h"
#include "core/base/system_error.h"
#include "core/program/opcodes.h"
#include "expr/code_writer.h"
#include "expr/expression_compiler.h"
#include "expr/localized_dictionary.h"
#include "expr/localized_languages.h"
#include "tools/lumoasm/assembler.h"
#include "tools/lumoc/page_lexer.h"

namespace lumo {

// --- Reading files ---------------------------------------------------------

bool PosixSourceReader::Read(const std::string& path, std::string* text, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = std::string(SystemErrorText(errno).View());
    return false;
  }
  text->clear();
  char buffer[65536];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
    if (text->size() + n > static_cast<size_t>(ExpressionCompiler::kMaxLength)) {
      fclose(f);
      *error = "the file is larger than 1 GiB";
      return false;
    }
    text->append(buffer, n);
  }
  // fread leaves the reason (a directory, say) in errno; fclose may not.
  const int failure = ferror(f) == 0 ? 0 : errno != 0 ? errno : EIO;
  fclose(f);
  if (failure != 0) {
    *error = std::string(SystemErrorText(failure).View());
    return false;
  }
  return true;
}

std::string PosixSourceReader::Identity(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::string();
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// --- Code ------------------------------------------------------------------

namespace {

using Fixup = CodeWriter::Fixup;

// Code that cannot raise a runtime error needs no line marker before it:
// loops of such statements then run as tight as hand-written code (the
// machine fuses them), and an error later on still gets its own line.
bool Safe(const std::vector<unsigned char>& code) {
  size_t i = 0;
  while (i + 2 <= code.size()) {
    const auto word = static_cast<uint16_t>(code[i] | (code[i + 1] << 8));
    switch (word) {
      case kOpPushc: case kOpPushi: case kOpPushg: case kOpPushl: case kOpCat:
      case kOpMemb: case kOpMembr:
      case kOpAdd: case kOpSub: case kOpMul: case kOpDiv: case kOpMod: case kOpPow:
      case kOpEq: case kOpNe: case kOpGe: case kOpLe: case kOpLt: case kOpGt: case kOpCmp:
      case kOpAnd: case kOpOr: case kOpNot: case kOpIsnull: case kOpDup: case kOpSwap:
      case kOpIn: case kOpCin: case kOpEin: case kOpEcin:
      case kOpBitand: case kOpBitor: case kOpBitxor: case kOpBitoc: case kOpBitsl: case kOpBitsr:
        break;
      default:
        return false;
    }
    i += static_cast<size_t>(InstructionSize(word));
  }
  return true;
}

// The last instruction of a piece of expression code, or 0 for none.
uint16_t LastWord(const std::vector<unsigned char>& code) {
  size_t i = 0;
  uint16_t last = 0;
  while (i + 2 <= code.size()) {
    last = static_cast<uint16_t>(code[i] | (code[i + 1] << 8));
    i += static_cast<size_t>(InstructionSize(last));
  }
  return last;
}

bool LeavesTruth(uint16_t word) {
  switch (word) {
    case kOpEq: case kOpNe: case kOpGe: case kOpLe: case kOpLt: case kOpGt:
    case kOpAnd: case kOpOr: case kOpNot: case kOpIsnull:
      return true;
    default:
      return false;
  }
}

// --- Tags ------------------------------------------------------------------

enum class Kind {
  kIf, kElseIf, kElse, kWhile, kWhileStop, kWhileContinue, kFor, kForStop, kForContinue,
  kForeach, kForeachStop, kForeachContinue, kAssign, kAssignArray, kDimension, kMember,
  kReference, kReferenceArray, kEval, kHide, kFunction, kFunctionReturn, kExit, kIfdef,
  kIfndef, kDo, kCapture, kLocalized, kDatabase, kImport, kImportStop, kImportContinue,
  kExport, kLockfile, kCall, kCallStop, kCallContinue, kSmtp, kPop, kPopStop, kPopContinue,
  kPopDelete, kCommerce, kCommerceStop, kCommerceContinue, kLocalizedText, kLocalizedToken,
};

// Attributes as "name:K" with K one of E (expression), T (text), V
// (variable), N (a name read when compiling); a trailing ! marks a required
// one. For the database tags the order is the push order.
struct TagRule {
  const char* name;
  int id;
  Kind kind;
  const char* attributes;
  uint16_t word;
};

constexpr TagRule kTags[] = {
    {"lmif", 0, Kind::kIf, "test:E!", 0},
    {"lmelseif", 18, Kind::kElseIf, "test:E!", 0},
    {"lmelse", 1, Kind::kElse, "", 0},
    {"lmwhile", 12, Kind::kWhile, "test:E!", 0},
    {"lmwhilestop", 13, Kind::kWhileStop, "", 0},
    {"lmwhilecontinue", 65, Kind::kWhileContinue, "", 0},
    {"lmfor", 71, Kind::kFor, "var:V!,from:E!,to:E!,step:N", 0},
    {"lmforstop", 72, Kind::kForStop, "", 0},
    {"lmforcontinue", 73, Kind::kForContinue, "", 0},
    {"lmforeach", 68, Kind::kForeach, "var:V!,in:V!,index:V", 0},
    {"lmforeachstop", 69, Kind::kForeachStop, "", 0},
    {"lmforeachcontinue", 70, Kind::kForeachContinue, "", 0},
    {"lmassign", 5, Kind::kAssign, "var:V!,value:E!", 0},
    {"lmassignarray", 49, Kind::kAssignArray, "var:V!,values:E!", 0},
    {"lmdimension", 50, Kind::kDimension, "var:V!,size:E!", 0},
    {"lmmember", 51, Kind::kMember, "var:V!,name:T!,value:E!", 0},
    {"lmreference", 56, Kind::kReference, "var:V!,to:V!", 0},
    {"lmreferencearray", 57, Kind::kReferenceArray, "var:V!,to:V!", 0},
    {"lmeval", 6, Kind::kEval, "expr:E!", 0},
    {"lmhide", 7, Kind::kHide, "names:T!", 0},
    {"lmfunction", 16, Kind::kFunction, "name:N!", 0},
    {"lmfunctionreturn", 17, Kind::kFunctionReturn, "value:E", 0},
    {"lmfuncreturn", 17, Kind::kFunctionReturn, "value:E", 0},
    {"lmexit", 27, Kind::kExit, "", 0},
    {"lmifdef", 60, Kind::kIfdef, "var:V!", 0},
    {"lmifndef", 61, Kind::kIfndef, "var:V!", 0},
    {"lmdo", 22, Kind::kDo, "file:T!,call:T,var:V", 0},
    {"lmcapture", 59, Kind::kCapture, "var:V!", 0},
    {"lmlocalized", 24, Kind::kLocalized, "token:N!,var:V", 0},
    {"lmlocalized-text", 26, Kind::kLocalizedText, "language:N!,token:N!", 0},
    {"lmlocalized-token", 25, Kind::kLocalizedToken, "name:N!", 0},
    {"lmopen", 28, Kind::kDatabase, "alias:T!,name:T!,indexes:T,type:T", kOpDbopen},
    {"lmcreate", 42, Kind::kDatabase, "alias:T!,name:T!,fields:T!,type:T", kOpDbcreate},
    {"lmclose", 29, Kind::kDatabase, "alias:T!", kOpDbclose},
    {"lmskip", 30, Kind::kDatabase, "alias:T!,view:T,count:E", kOpDbskip},
    {"lmgo", 31, Kind::kDatabase, "alias:T!,view:T,record:T!", kOpDbgo},
    {"lmfind", 33, Kind::kDatabase, "alias:T!,view:T,key:T!", kOpDbfind},
    {"lmadd", 38, Kind::kDatabase, "alias:T!,view:T", kOpDbadd},
    {"lmupdate", 35, Kind::kDatabase, "alias:T!,view:T", kOpDbupdate},
    {"lmdelete", 36, Kind::kDatabase, "alias:T!,view:T", kOpDbdelete},
    {"lmundelete", 37, Kind::kDatabase, "alias:T!,view:T", kOpDbundelete},
    {"lmprimary", 32, Kind::kDatabase, "alias:T!,view:T,indexes:T", kOpDbprimary},
    {"lmsetindex", 34, Kind::kDatabase, "alias:T!,view:T,indexes:T!", kOpDbsetindex},
    {"lmmakeindex", 39, Kind::kDatabase, "alias:T!,index:T!,key:T!", kOpDbmakeindex},
    {"lmpack", 40, Kind::kDatabase, "alias:T!", kOpDbpack},
    {"lmreindex", 41, Kind::kDatabase, "alias:T!", kOpDbreindex},
    {"lmrevealstructure", 43, Kind::kDatabase, "alias:T!,view:T,into:T,var:V",
     kOpDbrevealstructuredb},
    {"lmopenview", 44, Kind::kDatabase, "alias:T!,view:T!,source:T!,parameters:T", kOpDbopenview},
    {"lmcloseview", 45, Kind::kDatabase, "alias:T!,view:T!", kOpDbcloseview},
    {"lmquery", 46, Kind::kDatabase, "alias:T!,query:T!,parameters:T", kOpDbquery},
    {"lmfilter", 47, Kind::kDatabase, "alias:T!,view:T,filter:T!", kOpDbfilter},
    {"lmcommit", 52, Kind::kDatabase, "alias:T!", kOpDbcommit},
    {"lmrollback", 53, Kind::kDatabase, "alias:T!", kOpDbrollback},
    {"lmtransact", 55, Kind::kDatabase, "alias:T!", kOpDbtransact},
    {"lmdbcommand", 58, Kind::kDatabase, "alias:T!,command:T!,parameters:T", kOpDbcommand},
    {"lmimport", 2, Kind::kImport, "file:T!,delimiter:T!,fields:T!,filter:T", kOpImport},
    {"lmimportstop", 3, Kind::kImportStop, "", kOpImportStop},
    {"lmimportcontinue", 63, Kind::kImportContinue, "", 0},
    {"lmexport", 4, Kind::kExport, "file:T!,delimiter:T!,fields:T!", kOpExport},
    {"lmlockfile", 23, Kind::kLockfile, "file:T!", kOpLockfile},
    {"lmcall", 14, Kind::kCall,
     "url:T!,method:T,fields:T,files:T,type:T,certificate:T,certificatetype:T,passphrase:T,"
     "timeout:E,headers:T",
     kOpHttp},
    {"lmcallstop", 15, Kind::kCallStop, "", kOpHttpStop},
    {"lmcallcontinue", 66, Kind::kCallContinue, "", 0},
    {"lmsmtp", 11, Kind::kSmtp,
     "to:T!,from:T!,server:T!,cc:T,subject:T,port:E,flags:T,user:T,password:T", kOpSmtp},
    {"lmpop", 8, Kind::kPop, "server:T!,user:T!,password:T!,directory:T!", kOpPop3},
    {"lmpopstop", 9, Kind::kPopStop, "", kOpPop3stop},
    {"lmpopcontinue", 64, Kind::kPopContinue, "", 0},
    {"lmpopdelete", 10, Kind::kPopDelete, "", kOpPop3delete},
    {"lmcommerce", 19, Kind::kCommerce, "method:T!,data:T,fields:T", kOpCommerce},
    {"lmcommercestop", 20, Kind::kCommerceStop, "", kOpCommerceStop},
    {"lmcommercecontinue", 67, Kind::kCommerceContinue, "", 0},
};

struct AttributeRule {
  std::string name;
  char kind;
  bool required;
};

std::vector<AttributeRule> ParseRules(const char* rule) {
  std::vector<AttributeRule> out;
  std::string_view rest(rule);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const size_t colon = item.find(':');
    AttributeRule a;
    a.name = std::string(item.substr(0, colon));
    a.kind = item[colon + 1];
    a.required = item.back() == '!';
    out.push_back(a);
  }
  return out;
}

const TagRule* FindTag(std::string_view lowered) {
  for (const TagRule& t : kTags) {
    if (lowered == std::string_view(t.name)) return &t;
  }
  return nullptr;
}

// What a block is, for the closing tag and the stop/continue tags.
const char* BlockName(Kind kind) {
  switch (kind) {
    case Kind::kIf: return "LmIF";
    case Kind::kWhile: return "LmWHILE";
    case Kind::kFor: return "LmFOR";
    case Kind::kForeach: return "LmFOREACH";
    case Kind::kFunction: return "LmFUNCTION";
    case Kind::kIfdef: return "LmIFDEF";
    case Kind::kIfndef: return "LmIFNDEF";
    case Kind::kCapture: return "LmCAPTURE";
    case Kind::kImport: return "LmIMPORT";
    case Kind::kLockfile: return "LmLOCKFILE";
    case Kind::kCall: return "LmCALL";
    case Kind::kSmtp: return "LmSMTP";
    case Kind::kPop: return "LmPOP";
    case Kind::kCommerce: return "LmCOMMERCE";
    case Kind::kLocalizedText: return "LmLOCALIZED-TEXT";
    default: return nullptr;
  }
}

char Lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }
bool IsNameStart(char c) { return isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsNameChar(char c) { return isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

// A whole number in the 32-bit range, written as decimal digits with an
// optional '-'.
bool WholeNumber(std::string_view s, int32_t* value) {
  s = Trim(s);
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 10) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

// The end of a balanced [ ] starting at `open`, skipping quoted texts; npos
// when unbalanced.
size_t MatchBracket(std::string_view s, size_t open) {
  int depth = 0;
  for (size_t i = open; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"' || c == '\'') {
      size_t j = i + 1;
      while (j < s.size() && !(s[j] == c && s[j - 1] != '\\')) ++j;
      if (j >= s.size()) return std::string_view::npos;
      i = j;
    } else if (c == '[' || c == '(') {
      ++depth;
    } else if ((c == ']' || c == ')') && --depth == 0) {
      return i;
    }
  }
  return std::string_view::npos;
}

// A variable reference: a name (dots allowed for prefixes), then indexes
// and members. `plain` says there are none of those.
bool IsVariable(std::string_view s, bool* plain) {
  s = Trim(s);
  if (s.empty() || !IsNameStart(s[0])) return false;
  size_t i = 1;
  while (i < s.size() && (IsNameChar(s[i]) || s[i] == '.')) ++i;
  if (s[i - 1] == '.') return false;
  *plain = i == s.size();
  while (i < s.size()) {
    if (s[i] == '[') {
      const size_t close = MatchBracket(s, i);
      if (close == std::string_view::npos || Trim(s.substr(i + 1, close - i - 1)).empty()) {
        return false;
      }
      i = close + 1;
    } else if (s[i] == ':' && i + 1 < s.size() && s[i + 1] == '(') {
      const size_t close = MatchBracket(s, i + 1);
      if (close == std::string_view::npos || Trim(s.substr(i + 2, close - i - 2)).empty()) {
        return false;
      }
      i = close + 1;
    } else if (s[i] == ':') {
      size_t j = i + 1;
      while (j < s.size() && IsNameChar(s[j])) ++j;
      if (j == i + 1) return false;
      i = j;
    } else {
      return false;
    }
  }
  return true;
}

// Splits at the commas outside quotes and brackets; each piece with its
// offset in `s`.
std::vector<std::pair<std::string_view, int32_t>> SplitList(std::string_view s) {
  std::vector<std::pair<std::string_view, int32_t>> out;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size()) {
      const char c = s[i];
      if (c == '"' || c == '\'') {
        size_t j = i + 1;
        while (j < s.size() && !(s[j] == c && s[j - 1] != '\\')) ++j;
        i = j < s.size() ? j : s.size() - 1;
        continue;
      }
      if (c == '[' || c == '(') {
        const size_t close = MatchBracket(s, i);
        if (close != std::string_view::npos) i = close;
        continue;
      }
      if (c != ',') continue;
    }
    out.emplace_back(s.substr(start, i - start), static_cast<int32_t>(start));
    start = i + 1;
  }
  return out;
}

// The truth of a test written as a literal ("1", "'yes'"), known before
// the page runs.
bool ConstantTruth(std::string_view test, bool* truth) {
  test = Trim(test);
  if (test.empty()) return false;
  std::string_view value;
  if ((test[0] == '\'' || test[0] == '"') && test.size() >= 2 && test.back() == test[0] &&
      test.substr(1, test.size() - 2).find(test[0]) == std::string_view::npos &&
      test.find('\\') == std::string_view::npos) {
    value = test.substr(1, test.size() - 2);
  } else if (std::all_of(test.begin(), test.end(),
                         [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
    value = test;
  } else {
    return false;
  }
  *truth = TextTruth(value.data(), static_cast<int32_t>(value.size()));
  return true;
}

struct Slot {
  enum Where { kNone, kGlobal, kLocal } where = kNone;
  int32_t number = -1;
};

struct Block {
  Kind kind;
  const Token* open;
  std::vector<Fixup> to_end;
  std::vector<Fixup> to_continue;
  Fixup next;           // LmIF: the jump to the next part; LmFOR: to the first test
  bool seen_else = false;
  bool ok = true;       // false: the opening tag failed, so closing makes no code
  int32_t body = 0;     // loops: where the body starts
  uint16_t stop_word = 0;   // feature loops: the instruction that closes them early
  uint16_t loop_word = 0;   // feature loops: the instruction at the body's end
  // LmFOR
  Slot var;
  std::string var_text;
  int32_t step = 1;
  // LmFOREACH
  Slot counter;
  std::string in_text;
  int32_t in_offset = 0;
  // LmFUNCTION
  Function* function = nullptr;
  // LmLOCALIZED-TEXT: the text's pieces (true: a variable piece)
  std::vector<std::pair<bool, std::string>> pieces;
};

}  // namespace

// --- The generator ---------------------------------------------------------

struct LumoCompiler::Impl : public VariableSlots, public ConstantPool {
  Impl(LumoCompiler* owner, const ProgramParts& parts) : owner_(owner), parts_(parts) {}

  LumoCompiler* owner_;
  ProgramParts parts_;
  std::deque<SourceFile> files_;
  std::vector<Token> tokens_;
  std::vector<int32_t> file_entries_;  // dictionary entry of each file's name
  std::vector<Block> blocks_;
  CodeWriter top_;
  CodeWriter function_code_;
  CodeWriter* code_ = &top_;
  Function* function_ = nullptr;
  std::map<Function*, int32_t> function_segments_;
  std::map<std::string, bool> defined_;
  int32_t marked_file_ = -1;
  int32_t marked_line_ = -1;
  int32_t hidden_ = 0;
  int32_t top_marks_[2] = {-1, -1};
  bool stopped_ = false;

  // --- Messages ---------------------------------------------------------
  void Report(int32_t file, int32_t offset, const std::string& text) {
    auto& messages = owner_->messages_;
    const auto max = static_cast<size_t>(owner_->options_.max_messages);
    if (messages.size() > max) return;
    CompileMessage m;
    const SourceFile& f = files_[static_cast<size_t>(file)];
    m.file = f.name;
    f.Position(offset, &m.line, &m.column);
    m.source_line = std::string(f.Line(m.line));
    m.text = messages.size() == max ? "too many faults; the rest are not shown" : text;
    messages.push_back(std::move(m));
  }
  void Report(const Token& t, const std::string& text) { Report(t.file, t.offset, text); }
  bool Failed() const { return !owner_->messages_.empty(); }

  // --- Variables ----------------------------------------------------------
  int32_t GlobalSlot(std::string_view name) {
    const auto length = static_cast<int32_t>(name.size());
    const int32_t entry = parts_.globals->FindEntry(-1, name.data(), length);
    return entry >= 0 ? entry : parts_.globals->AddEntry(name.data(), length);
  }
  int32_t LocalSlot(std::string_view name, bool create) {
    const auto length = static_cast<int32_t>(name.size());
    const int32_t entry = function_->Locals().FindEntry(-1, name.data(), length);
    if (entry >= 0 || !create) return entry;
    return function_->Locals().AddEntry(name.data(), length);
  }
  static bool PlainName(std::string_view s) {
    if (s.empty() || !IsNameStart(s[0])) return false;
    return std::all_of(s.begin(), s.end(), IsNameChar);
  }
  Slot Resolve(std::string_view name) {
    Slot slot;
    const std::string lowered = Lowered(name);
    std::string_view rest;
    bool global = false;
    bool local = false;
    if (lowered.rfind("g.", 0) == 0) {
      rest = name.substr(2), global = true;
    } else if (lowered.rfind("global.", 0) == 0) {
      rest = name.substr(7), global = true;
    } else if (lowered.rfind("l.", 0) == 0) {
      rest = name.substr(2), local = true;
    } else if (lowered.rfind("local.", 0) == 0) {
      rest = name.substr(6), local = true;
    } else if (function_ != nullptr && PlainName(name)) {
      const int32_t entry = LocalSlot(name, false);
      if (entry >= 0) {
        slot.where = Slot::kLocal;
        slot.number = entry;
      }
      return slot;
    } else {
      return slot;
    }
    if (!PlainName(rest)) return slot;
    if (local && function_ != nullptr) {
      slot.where = Slot::kLocal;
      slot.number = LocalSlot(rest, true);
    } else if (global || local) {
      slot.where = Slot::kGlobal;
      slot.number = GlobalSlot(rest);
    }
    if (slot.number < 0) slot.where = Slot::kNone;
    return slot;
  }
  bool Find(std::string_view name, uint16_t* word, int32_t* operand) override {
    const Slot slot = Resolve(name);
    if (slot.where == Slot::kNone) return false;
    *word = slot.where == Slot::kGlobal ? kOpPushg : kOpPushl;
    *operand = slot.number;
    return true;
  }
  // A variable no script can name, for a loop's own counter.
  Slot Hidden() {
    const std::string name = "$loop" + std::to_string(++hidden_);
    Slot slot;
    slot.where = function_ != nullptr ? Slot::kLocal : Slot::kGlobal;
    slot.number = function_ != nullptr ? LocalSlot(name, true) : GlobalSlot(name);
    return slot;
  }
  void Push(const Slot& s) { code_->Emit(s.where == Slot::kGlobal ? kOpPushg : kOpPushl, s.number); }
  void Pop(const Slot& s) { code_->Emit(s.where == Slot::kGlobal ? kOpPopg : kOpPopl, s.number); }

  std::map<std::string, int32_t, std::less<>> constants_;
  int32_t Intern(std::string_view text) override {
    const auto it = constants_.find(text);
    if (it != constants_.end()) return it->second;
    const int32_t entry =
        parts_.dictionary->AddEntry(text.data(), static_cast<int32_t>(text.size()));
    if (entry >= 0) constants_.emplace(std::string(text), entry);
    return entry;
  }
  int32_t Constant(std::string_view text) { return Intern(text); }
  void PushText(std::string_view text) { code_->Emit(kOpPushc, Constant(text)); }

  // --- Positions ----------------------------------------------------------
  int32_t LineOf(int32_t file, int32_t offset) {
    int32_t line = 0;
    int32_t column = 0;
    files_[static_cast<size_t>(file)].Position(offset, &line, &column);
    return line;
  }
  void Mark(int32_t file, int32_t offset) {
    const int32_t line = LineOf(file, offset);
    if (file != marked_file_) {
      code_->Emit(kOpSourcefile, file_entries_[static_cast<size_t>(file)]);
      marked_file_ = file;
      marked_line_ = -1;
    }
    if (line != marked_line_) {
      code_->Emit(kOpLineno, line);
      marked_line_ = line;
    }
  }
  // A jump may arrive here from code marked with another line or file.
  int32_t Label() {
    marked_line_ = -1;
    if (files_.size() > 1) marked_file_ = -1;
    return code_->Size();
  }
  void PatchHere(const Fixup& f) { code_->Patch(f, Label()); }
  void PatchAll(std::vector<Fixup>& list, int32_t target) {
    for (const Fixup& f : list) code_->Patch(f, target);
    list.clear();
  }

  // --- Expressions and texts ----------------------------------------------
  // The code of an expression, or false after a message.
  bool ExpressionCode(std::string_view text, int32_t file, int32_t offset,
                      std::vector<unsigned char>* out, bool* called = nullptr) {
    const SourceFile& f = files_[static_cast<size_t>(file)];
    ExpressionCompiler compiler(parts_, nullptr, text, {}, f.name, LineOf(file, offset),
                                ExpressionCompiler::kCurrentVersion);
    compiler.SetVariableSlots(this);
    compiler.SetConstantPool(this);
    compiler.SetBuiltinFunctions(owner_->options_.builtins);
    compiler.SetWholeSourceOptions(true, files_.size() > 1);
    if (!compiler.CompileInline()) {
      Report(file, offset, std::string(compiler.ErrorText().View()));
      return false;
    }
    *out = compiler.Code().Bytes();
    if (called != nullptr) *called = compiler.EmittedCall();
    return true;
  }
  bool Expression(std::string_view text, int32_t file, int32_t offset,
                  uint16_t* last = nullptr) {
    if (Trim(text).empty()) {
      Report(file, offset, "an expression is missing here");
      return false;
    }
    std::vector<unsigned char> bytes;
    bool called = false;
    if (!ExpressionCode(text, file, offset, &bytes, &called)) return false;
    if (!Safe(bytes)) Mark(file, offset);
    code_->Append(bytes);
    // A call's code moves the line on; the expression marks the file again.
    if (called) marked_line_ = -1;
    if (last != nullptr) *last = LastWord(bytes);
    return true;
  }
  bool Expression(const Attribute& a, int32_t file, uint16_t* last = nullptr) {
    return Expression(a.value, file, a.offset, last);
  }
  // A text attribute: literal pieces and {{ }} values joined with cat.
  bool Text(std::string_view value, int32_t file, int32_t offset) {
    int pieces = 0;
    size_t p = 0;
    std::string literal;
    auto flush_literal = [&] {
      if (literal.empty()) return;
      PushText(literal);
      literal.clear();
      if (++pieces > 1) code_->Emit(kOpCat);
    };
    while (p < value.size()) {
      if (value.compare(p, 2, "{{") == 0) {
        const size_t end = value.find("}}", p + 2);
        if (end == std::string_view::npos) {
          Report(file, offset + static_cast<int32_t>(p), "'{{' has no closing '}}'");
          return false;
        }
        flush_literal();
        if (!Expression(value.substr(p + 2, end - p - 2), file,
                        offset + static_cast<int32_t>(p + 2))) {
          return false;
        }
        if (++pieces > 1) code_->Emit(kOpCat);
        p = end + 2;
        continue;
      }
      literal += value[p++];
    }
    flush_literal();
    if (pieces == 0) PushText("");
    return true;
  }
  bool Text(const Attribute* a, int32_t file) {
    if (a == nullptr) {
      PushText("");
      return true;
    }
    return Text(a->value, file, a->offset);
  }
  bool CheckVariable(const Attribute& a, int32_t file, bool* plain) {
    if (!IsVariable(a.value, plain)) {
      Report(file, a.offset, "'" + a.name + "' must name a variable, not '" + a.value + "'");
      return false;
    }
    return true;
  }
  // Pushes the variable itself.
  bool Variable(std::string_view text, int32_t file, int32_t offset) {
    bool plain = false;
    if (!IsVariable(text, &plain)) {
      Report(file, offset, "'" + std::string(text) + "' is not a variable");
      return false;
    }
    return Expression(text, file, offset);
  }
  // Stores the value on the stack into the variable.
  bool Store(std::string_view text, int32_t file, int32_t offset) {
    bool plain = false;
    if (!IsVariable(text, &plain)) {
      Report(file, offset, "'" + std::string(text) + "' is not a variable");
      return false;
    }
    const std::string_view name = Trim(text);
    if (plain) {
      const Slot slot = Resolve(name);
      if (slot.where != Slot::kNone) {
        Pop(slot);
      } else {
        code_->Emit(kOpPopnc, Constant(name));
      }
      return true;
    }
    if (!Expression(name, file, offset)) return false;
    code_->Emit(kOpStore);
    return true;
  }
  // Jumps when the value just computed is false (or true).
  Fixup JumpUnless(uint16_t last) {
    if (LeavesTruth(last)) return code_->EmitForward(kOpJmpEq);
    code_->Emit(kOpNot);
    return code_->EmitForward(kOpJmpNe);
  }
  void JumpBackIf(uint16_t last, int32_t target) {
    if (LeavesTruth(last)) {
      code_->EmitBackward(kOpJmpNe, target);
    } else {
      code_->Emit(kOpNot);
      code_->EmitBackward(kOpJmpEq, target);
    }
  }
  // "g LT 5" or "g LT h" over globals: the fused compare. *word is the jump
  // taken when the comparison holds.
  bool FusedCompare(std::string_view test, int32_t file, int32_t offset, bool negate,
                    uint16_t* jump) {
    const std::string_view t = Trim(test);
    const size_t first_blank = t.find_first_of(" \t\r\n");
    if (first_blank == std::string_view::npos) return false;
    const std::string_view left = t.substr(0, first_blank);
    std::string_view rest = Trim(t.substr(first_blank));
    const size_t second_blank = rest.find_first_of(" \t\r\n");
    if (second_blank == std::string_view::npos) return false;
    const std::string op = Lowered(rest.substr(0, second_blank));
    const std::string_view right = Trim(rest.substr(second_blank));
    static const struct {
      const char* name;
      uint16_t holds;
      uint16_t fails;
    } kCompares[] = {{"lt", kOpJmpLt, kOpJmpGe}, {"le", kOpJmpLe, kOpJmpGt},
                     {"gt", kOpJmpGt, kOpJmpLe}, {"ge", kOpJmpGe, kOpJmpLt},
                     {"eq", kOpJmpEq, kOpJmpNe}, {"ne", kOpJmpNe, kOpJmpEq}};
    uint16_t holds = 0;
    uint16_t fails = 0;
    for (const auto& c : kCompares) {
      if (op == c.name) holds = c.holds, fails = c.fails;
    }
    if (holds == 0 || !IsNameStart(left[0])) return false;
    const Slot g = Resolve(left);
    if (g.where != Slot::kGlobal) return false;
    int32_t k = 0;
    // Compares of globals cannot fail: no line marker.
    (void)file;
    (void)offset;
    if (WholeNumber(right, &k)) {
      code_->Emit(kOpCmpgi, g.number, k);
    } else if (!right.empty() && IsNameStart(right[0]) && Resolve(right).where == Slot::kGlobal) {
      code_->Emit(kOpCmpgg, g.number, Resolve(right).number);
    } else {
      return false;
    }
    *jump = negate ? fails : holds;
    return true;
  }

  // --- Tags ---------------------------------------------------------------
  bool CheckAttributes(const Token& t, const TagRule& rule) {
    bool ok = true;
    const std::vector<AttributeRule> rules = ParseRules(rule.attributes);
    for (const Attribute& a : t.attributes) {
      if (a.name == "errors") continue;
      const bool known = std::any_of(rules.begin(), rules.end(),
                                     [&](const AttributeRule& s) { return s.name == a.name; });
      if (!known && rule.kind != Kind::kLocalized) {
        Report(t.file, a.offset, "'" + t.written + "' has no attribute '" + a.name + "'");
        ok = false;
      }
    }
    for (const AttributeRule& s : rules) {
      if (s.required && t.Find(s.name) == nullptr) {
        Report(t, "'" + t.written + "' needs the attribute '" + s.name + "'");
        ok = false;
      }
    }
    return ok;
  }
  bool ErrorSetting(const Token& t, const TagRule& rule) {
    const Attribute* a = t.Find("errors");
    if (a == nullptr) return true;
    int32_t flags = 0;
    bool none = false;
    std::string word;
    const std::string value = Lowered(a->value) + " ";
    for (char c : value) {
      if (c != ' ' && c != ',' && c != '\t') {
        word += c;
        continue;
      }
      if (word.empty()) continue;
      if (word == "display") {
        flags |= 1;
      } else if (word == "fatal") {
        flags |= 2;
      } else if (word == "none") {
        none = true;
      } else {
        Report(t.file, a->offset,
               "'errors' takes 'display', 'fatal' or 'none', not '" + word + "'");
        return false;
      }
      word.clear();
    }
    if (none && flags != 0) {
      Report(t.file, a->offset, "'errors' cannot be 'none' and more");
      return false;
    }
    Mark(t.file, t.offset);
    code_->Emit(kOpTagerror, rule.id, flags);
    return true;
  }

  Block* Innermost(Kind kind, size_t* index) {
    for (size_t i = blocks_.size(); i > 0; --i) {
      if (blocks_[i - 1].kind == kind) {
        *index = i - 1;
        return &blocks_[i - 1];
      }
      if (blocks_[i - 1].kind == Kind::kFunction) break;
    }
    return nullptr;
  }
  // Leaving blocks early (stop, continue): the features of the blocks left
  // behind are closed on the way, innermost first.
  void CloseAbove(size_t index) {
    for (size_t i = blocks_.size(); i > index + 1; --i) {
      const Block& b = blocks_[i - 1];
      if (b.stop_word != 0) {
        code_->Emit(b.stop_word, 0);
      } else if (b.kind == Kind::kCapture) {
        code_->Emit(kOpCaptureEnd);
      } else if (b.kind == Kind::kLockfile) {
        code_->Emit(kOpLockfileEnd);
      }
    }
  }
  void StopOrContinue(const Token& t, Kind loop, bool stop) {
    size_t index = 0;
    Block* b = Innermost(loop, &index);
    if (b == nullptr) {
      Report(t, "'" + t.written + "' stands outside any '" + BlockName(loop) + "'");
      return;
    }
    Mark(t.file, t.offset);
    CloseAbove(index);
    Block& target = blocks_[index];
    const bool feature = target.stop_word != 0;
    if (stop && feature) {
      target.to_end.push_back(code_->EmitForward(target.stop_word));
    } else if (stop) {
      target.to_end.push_back(code_->EmitForward(kOpJmp));
    } else {
      target.to_continue.push_back(code_->EmitForward(kOpJmp));
    }
  }

  Block& Open(Kind kind, const Token& t) {
    Block b;
    b.kind = kind;
    b.open = &t;
    blocks_.push_back(std::move(b));
    return blocks_.back();
  }

  void Tag(const Token& t) {
    const TagRule* rule = FindTag(t.text);
    if (rule == nullptr) {
      Report(t, "unknown tag '" + t.written + "'");
      return;
    }
    if (!CheckAttributes(t, *rule) || !ErrorSetting(t, *rule)) {
      // Still open the block, so that its closing tag matches.
      if (BlockName(rule->kind) != nullptr) Open(rule->kind, t).ok = false;
      return;
    }
    if (blocks_.size() >= static_cast<size_t>(kMaxBlockDepth) && BlockName(rule->kind) != nullptr) {
      Report(t, "blocks nested deeper than 10000");
      stopped_ = true;
      return;
    }
    const int32_t file = t.file;
    auto attribute = [&t](const char* name) { return t.Find(name); };
    switch (rule->kind) {
      case Kind::kIf: {
        Block& b = Open(Kind::kIf, t);
        uint16_t jump = 0;
        const Attribute& test = *attribute("test");
        bool truth = false;
        if (ConstantTruth(test.value, &truth)) {
          if (!truth) b.next = code_->EmitForward(kOpJmp);
          break;
        }
        if (FusedCompare(test.value, file, test.offset, true, &jump)) {
          b.next = code_->EmitForward(jump);
          break;
        }
        uint16_t last = 0;
        if (Expression(test, file, &last)) b.next = JumpUnless(last);
        break;
      }
      case Kind::kElseIf:
      case Kind::kElse: {
        Block* b = blocks_.empty() ? nullptr : &blocks_.back();
        const bool in_if = b != nullptr && b->kind == Kind::kIf;
        const bool in_ifdef = b != nullptr && (b->kind == Kind::kIfdef || b->kind == Kind::kIfndef);
        if (!in_if && !(in_ifdef && rule->kind == Kind::kElse)) {
          Report(t, "'" + t.written + "' stands outside any '" +
                        (rule->kind == Kind::kElse ? "LmIF', 'LmIFDEF' or 'LmIFNDEF'" : "LmIF'"));
          return;
        }
        if (b->seen_else) {
          Report(t, "'" + t.written + "' follows the 'LmELSE' of its block");
          return;
        }
        Mark(file, t.offset);
        b->to_end.push_back(code_->EmitForward(kOpJmp));
        PatchHere(b->next);
        b->next = Fixup();
        if (rule->kind == Kind::kElse) {
          b->seen_else = true;
          break;
        }
        uint16_t jump = 0;
        const Attribute& test = *attribute("test");
        bool truth = false;
        if (ConstantTruth(test.value, &truth)) {
          if (!truth) b->next = code_->EmitForward(kOpJmp);
          break;
        }
        if (FusedCompare(test.value, file, test.offset, true, &jump)) {
          b->next = code_->EmitForward(jump);
          break;
        }
        uint16_t last = 0;
        if (Expression(test, file, &last)) b->next = JumpUnless(last);
        break;
      }
      case Kind::kIfdef:
      case Kind::kIfndef: {
        Block& b = Open(rule->kind, t);
        if (Variable(attribute("var")->value, file, attribute("var")->offset)) {
          code_->Emit(kOpIsnull);
          b.next = code_->EmitForward(rule->kind == Kind::kIfdef ? kOpJmpNe : kOpJmpEq);
        }
        break;
      }
      case Kind::kWhile: {
        Mark(file, t.offset);
        Block& b = Open(Kind::kWhile, t);
        b.to_continue.push_back(code_->EmitForward(kOpJmp));
        b.body = Label();
        break;
      }
      case Kind::kWhileStop: StopOrContinue(t, Kind::kWhile, true); break;
      case Kind::kWhileContinue: StopOrContinue(t, Kind::kWhile, false); break;
      case Kind::kFor: ForOpen(t); break;
      case Kind::kForStop: StopOrContinue(t, Kind::kFor, true); break;
      case Kind::kForContinue: StopOrContinue(t, Kind::kFor, false); break;
      case Kind::kForeach: ForeachOpen(t); break;
      case Kind::kForeachStop: StopOrContinue(t, Kind::kForeach, true); break;
      case Kind::kForeachContinue: StopOrContinue(t, Kind::kForeach, false); break;
      case Kind::kAssign: Assign(t); break;
      case Kind::kAssignArray:
      case Kind::kReferenceArray: {
        const bool refer = rule->kind == Kind::kReferenceArray;
        const Attribute& var = *attribute("var");
        const Attribute& values = *attribute(refer ? "to" : "values");
        Mark(file, t.offset);
        PushText("");
        if (!Store(var.value, file, var.offset)) break;
        int32_t n = 0;
        for (const auto& [piece, at] : SplitList(values.value)) {
          ++n;
          const int32_t offset = values.offset + at;
          if (refer ? !Variable(piece, file, offset) : !Expression(piece, file, offset)) break;
          if (!Variable(var.value, file, var.offset)) break;
          code_->Emit(kOpPushi, n);
          code_->Emit(kOpElem);
          code_->Emit(refer ? kOpRefer : kOpStore);
        }
        break;
      }
      case Kind::kDimension: Dimension(t); break;
      case Kind::kMember: {
        const Attribute& var = *attribute("var");
        const Attribute& name = *attribute("name");
        if (!Expression(*attribute("value"), file) || !Variable(var.value, file, var.offset) ||
            !Text(name.value, file, name.offset)) {
          break;
        }
        code_->Emit(kOpMemb);
        code_->Emit(kOpStore);
        break;
      }
      case Kind::kReference: {
        const Attribute& var = *attribute("var");
        const Attribute& to = *attribute("to");
        if (Variable(to.value, file, to.offset) && Variable(var.value, file, var.offset)) {
          code_->Emit(kOpRefer);
        }
        break;
      }
      case Kind::kEval:
        if (Expression(*attribute("expr"), file)) code_->Emit(kOpPop);
        break;
      case Kind::kHide:
        Mark(file, t.offset);
        if (Text(attribute("names"), file)) code_->Emit(kOpHide);
        break;
      case Kind::kFunction: FunctionOpen(t); break;
      case Kind::kFunctionReturn: {
        if (function_ == nullptr) {
          Report(t, "'" + t.written + "' stands outside any 'LmFUNCTION'");
          break;
        }
        const Attribute* value = attribute("value");
        if (value != nullptr ? Expression(*value, file) : (PushText(""), true)) {
          code_->Emit(kOpRet);
        }
        break;
      }
      case Kind::kExit:
        code_->Emit(kOpExit);
        break;
      case Kind::kDo: {
        Mark(file, t.offset);
        const Attribute* call = attribute("call");
        const Attribute* var = attribute("var");
        if (var != nullptr && call == nullptr) {
          Report(t.file, var->offset, "'var' of 'LmDO' needs 'call'");
          break;
        }
        if (!Text(attribute("file"), file)) break;
        if (call == nullptr) {
          code_->Emit(kOpDoFile);
          break;
        }
        if (!Text(call, file)) break;
        code_->Emit(kOpDoFunction);
        if (var == nullptr) {
          code_->Emit(kOpPop);
        } else {
          Store(var->value, file, var->offset);
        }
        break;
      }
      case Kind::kCapture: {
        Open(Kind::kCapture, t);
        const Attribute& var = *attribute("var");
        if (Variable(var.value, file, var.offset)) code_->Emit(kOpCapture);
        break;
      }
      case Kind::kLocalized: Localized(t); break;
      case Kind::kDatabase: Database(t, *rule); break;
      case Kind::kExport:
        Mark(file, t.offset);
        if (Text(attribute("file"), file) && Text(attribute("delimiter"), file) &&
            Text(attribute("fields"), file)) {
          code_->Emit(kOpExport);
        }
        break;
      case Kind::kLockfile:
        Open(Kind::kLockfile, t);
        Mark(file, t.offset);
        if (Text(attribute("file"), file)) code_->Emit(kOpLockfile);
        break;
      case Kind::kImport: {
        Mark(file, t.offset);
        const Attribute* filter = attribute("filter");
        if (filter != nullptr && !Text(filter, file)) break;
        if (!Text(attribute("file"), file) || !Text(attribute("delimiter"), file) ||
            !Text(attribute("fields"), file)) {
          break;
        }
        FeatureLoop(t, filter != nullptr ? kOpImportf : kOpImport, false, 0, kOpImportLoop,
                    kOpImportStop);
        break;
      }
      case Kind::kImportStop: StopOrContinue(t, Kind::kImport, true); break;
      case Kind::kImportContinue: StopOrContinue(t, Kind::kImport, false); break;
      case Kind::kPop: {
        Mark(file, t.offset);
        if (Text(attribute("server"), file) && Text(attribute("user"), file) &&
            Text(attribute("password"), file) && Text(attribute("directory"), file)) {
          FeatureLoop(t, kOpPop3, false, 0, kOpPop3loop, kOpPop3stop);
        }
        break;
      }
      case Kind::kPopStop: StopOrContinue(t, Kind::kPop, true); break;
      case Kind::kPopContinue: StopOrContinue(t, Kind::kPop, false); break;
      case Kind::kPopDelete: {
        size_t index = 0;
        if (Innermost(Kind::kPop, &index) == nullptr) {
          Report(t, "'" + t.written + "' stands outside any 'LmPOP'");
          break;
        }
        Mark(file, t.offset);
        code_->Emit(kOpPop3delete);
        break;
      }
      case Kind::kCall: Call(t); break;
      case Kind::kCallStop: StopOrContinue(t, Kind::kCall, true); break;
      case Kind::kCallContinue: StopOrContinue(t, Kind::kCall, false); break;
      case Kind::kSmtp: Smtp(t); break;
      case Kind::kCommerce: {
        Mark(file, t.offset);
        if (Text(attribute("method"), file) && Text(attribute("data"), file) &&
            Text(attribute("fields"), file)) {
          FeatureLoop(t, kOpCommerce, false, 0, kOpCommerceLoop, kOpCommerceStop);
        }
        break;
      }
      case Kind::kLocalizedText:
        Open(Kind::kLocalizedText, t);
        break;
      case Kind::kLocalizedToken:
        Report(t, "'" + t.written + "' stands outside any 'LmLOCALIZED-TEXT'");
        break;
      case Kind::kCommerceStop: StopOrContinue(t, Kind::kCommerce, true); break;
      case Kind::kCommerceContinue: StopOrContinue(t, Kind::kCommerce, false); break;
    }
  }

  void FeatureLoop(const Token& t, uint16_t open, bool second, int32_t count, uint16_t loop,
                   uint16_t stop) {
    Kind kind = Kind::kImport;
    if (open == kOpPop3) kind = Kind::kPop;
    if (open == kOpCommerce) kind = Kind::kCommerce;
    if (open == kOpHttp || open == kOpHttp8 || open == kOpHttpN) kind = Kind::kCall;
    Block& b = Open(kind, t);
    b.to_end.push_back(code_->EmitForward(open, second, count));
    b.body = Label();
    b.loop_word = loop;
    b.stop_word = stop;
  }

  void Call(const Token& t) {
    static const char* kNames[] = {"url",         "method",          "fields",     "files",
                                   "type",        "certificate",     "certificatetype",
                                   "passphrase",  "timeout",         "headers"};
    int count = 5;
    for (int i = 5; i < 10; ++i) {
      if (t.Find(kNames[i]) != nullptr) count = i < 8 ? std::max(count, 8) : i + 1;
    }
    Mark(t.file, t.offset);
    for (int i = 0; i < count; ++i) {
      const Attribute* a = t.Find(kNames[i]);
      const bool ok = i == 8 && a != nullptr ? Expression(*a, t.file) : Text(a, t.file);
      if (!ok) return;
    }
    if (count == 5) {
      FeatureLoop(t, kOpHttp, false, 0, kOpHttpLoop, kOpHttpStop);
    } else if (count == 8) {
      FeatureLoop(t, kOpHttp8, false, 0, kOpHttpLoop, kOpHttpStop);
    } else {
      FeatureLoop(t, kOpHttpN, true, count, kOpHttpLoop, kOpHttpStop);
    }
  }

  void Smtp(const Token& t) {
    static const char* kNames[] = {"to",   "from",  "server", "cc",      "subject",
                                   "port", "flags", "user",   "password"};
    int count = 5;
    for (int i = 5; i < 9; ++i) {
      if (t.Find(kNames[i]) != nullptr) count = i + 1;
    }
    Mark(t.file, t.offset);
    for (int i = 0; i < count; ++i) {
      const Attribute* a = t.Find(kNames[i]);
      const bool ok = i == 5 && a != nullptr ? Expression(*a, t.file) : Text(a, t.file);
      if (!ok) return;
    }
    Block& b = Open(Kind::kSmtp, t);
    b.to_end.push_back(count == 5 ? code_->EmitForward(kOpSmtp)
                                  : code_->EmitForward(kOpSmtpN, true, count));
  }

  void Database(const Token& t, const TagRule& rule) {
    Mark(t.file, t.offset);
    uint16_t word = rule.word;
    const std::vector<AttributeRule> rules = ParseRules(rule.attributes);
    if (word == kOpDbrevealstructuredb) {
      const bool into = t.Find("into") != nullptr;
      const bool var = t.Find("var") != nullptr;
      if (into == var) {
        Report(t, "'" + t.written + "' needs either 'into' or 'var'");
        return;
      }
      if (!Text(t.Find("alias"), t.file) || !Text(t.Find("view"), t.file)) return;
      if (into) {
        if (Text(t.Find("into"), t.file)) code_->Emit(kOpDbrevealstructuredb);
      } else if (Variable(t.Find("var")->value, t.file, t.Find("var")->offset)) {
        code_->Emit(kOpDbrevealstructureagg);
      }
      return;
    }
    for (const AttributeRule& s : rules) {
      if (word == kOpDbopen && s.name == "type") continue;  // dbopent's extra operand, below
      const Attribute* a = t.Find(s.name);
      if (s.kind == 'E') {
        if (a != nullptr ? !Expression(*a, t.file) : (PushText("1"), false)) return;
      } else if (!Text(a, t.file)) {
        return;
      }
    }
    if (word == kOpDbopen && t.Find("type") != nullptr) {
      if (!Text(t.Find("type"), t.file)) return;
      word = kOpDbopent;
    }
    code_->Emit(word);
  }

  void Localized(const Token& t) {
    const Attribute& token = *t.Find("token");
    if (token.value.empty()) {
      Report(t.file, token.offset, "'token' of 'LmLOCALIZED' is empty");
      return;
    }
    Mark(t.file, t.offset);
    for (const Attribute& a : t.attributes) {
      if (a.name == "token" || a.name == "var" || a.name == "errors") continue;
      if (!Text(a.value, t.file, a.offset)) return;
      code_->Emit(kOpPoplvnc, Constant(a.name));
    }
    const Attribute* var = t.Find("var");
    if (var == nullptr) {
      code_->Emit(kOpLocalize, Constant(token.value));
    } else {
      code_->Emit(kOpLocalizev, Constant(token.value));
      Store(var->value, t.file, var->offset);
    }
  }

  void Assign(const Token& t) {
    const Attribute& var = *t.Find("var");
    const Attribute& value = *t.Find("value");
    bool plain = false;
    if (!CheckVariable(var, t.file, &plain)) return;
    if (plain) {
      const Slot slot = Resolve(Trim(var.value));
      int32_t k = 0;
      if (slot.where == Slot::kGlobal && WholeNumber(value.value, &k)) {
        code_->Emit(kOpStoregi, slot.number, k);
        return;
      }
      // "x + 1" into x: the fused step.
      const std::string_view v = Trim(value.value);
      const std::string_view target = Trim(var.value);
      if (slot.where == Slot::kGlobal && v.size() > target.size() &&
          Lowered(v.substr(0, target.size())) == Lowered(target)) {
        const std::string_view rest = Trim(v.substr(target.size()));
        if (!rest.empty() && (rest[0] == '+' || rest[0] == '-') &&
            WholeNumber(rest.substr(1), &k) && Trim(rest.substr(1))[0] != '-' &&
            Trim(rest.substr(1))[0] != '+') {
          code_->Emit(kOpIncg, slot.number, rest[0] == '-' ? -k : k);
          return;
        }
      }
    }
    if (Expression(value, t.file)) Store(var.value, t.file, var.offset);
  }

  void Dimension(const Token& t) {
    const Attribute& var = *t.Find("var");
    Mark(t.file, t.offset);
    PushText("");
    if (!Store(var.value, t.file, var.offset)) return;
    if (!Expression(*t.Find("size"), t.file)) return;
    const Slot k = Hidden();
    Pop(k);
    const Fixup to_test = code_->EmitForward(kOpJmp);
    const int32_t body = Label();
    PushText("");
    if (!Variable(var.value, t.file, var.offset)) return;
    Push(k);
    code_->Emit(kOpElem);
    code_->Emit(kOpStore);
    Push(k);
    code_->Emit(kOpPushi, 1);
    code_->Emit(kOpSub);
    Pop(k);
    PatchHere(to_test);
    Push(k);
    code_->Emit(kOpPushi, 0);
    code_->Emit(kOpCmp);
    code_->EmitBackward(kOpJmpGt, body);
  }

  void ForOpen(const Token& t) {
    const Attribute& var = *t.Find("var");
    Block& b = Open(Kind::kFor, t);
    b.ok = false;
    bool plain = false;
    if (!CheckVariable(var, t.file, &plain)) return;
    if (!plain) {
      Report(t.file, var.offset, "the 'var' of 'LmFOR' must be a plain name");
      return;
    }
    const Attribute* step = t.Find("step");
    if (step != nullptr && (!WholeNumber(step->value, &b.step) || b.step == 0)) {
      Report(t.file, step->offset, "'step' must be a whole number other than 0");
      return;
    }
    b.var = Resolve(Trim(var.value));
    b.var_text = std::string(Trim(var.value));
    int32_t from = 0;
    if (b.var.where == Slot::kGlobal && WholeNumber(t.Find("from")->value, &from)) {
      code_->Emit(kOpStoregi, b.var.number, from);
    } else if (!Expression(*t.Find("from"), t.file) || !Store(b.var_text, t.file, var.offset)) {
      return;
    }
    b.next = code_->EmitForward(kOpJmp);
    b.body = Label();
    b.ok = true;
  }

  void ForClose(Block& b) {
    const Token& t = *b.open;
    const Attribute& to = *t.Find("to");
    PatchAll(b.to_continue, Label());
    // The step, then the test; this is also where continue goes.
    if (b.var.where == Slot::kGlobal) {
      code_->Emit(kOpIncg, b.var.number, b.step);
    } else {
      if (!Variable(b.var_text, t.file, t.offset)) return;
      code_->Emit(kOpPushi, b.step);
      code_->Emit(kOpAdd);
      Store(b.var_text, t.file, t.offset);
    }
    PatchHere(b.next);
    const uint16_t jump = b.step > 0 ? kOpJmpLe : kOpJmpGe;
    int32_t k = 0;
    if (b.var.where == Slot::kGlobal && WholeNumber(to.value, &k)) {
      code_->Emit(kOpCmpgi, b.var.number, k);
    } else {
      if (!Variable(b.var_text, t.file, t.offset) || !Expression(to, t.file)) return;
      code_->Emit(kOpCmp);
    }
    code_->EmitBackward(jump, b.body);
  }

  void ForeachOpen(const Token& t) {
    Block& b = Open(Kind::kForeach, t);
    b.ok = false;
    const Attribute& var = *t.Find("var");
    const Attribute& in = *t.Find("in");
    const Attribute* index = t.Find("index");
    bool plain = false;
    if (!CheckVariable(var, t.file, &plain) || !CheckVariable(in, t.file, &plain)) return;
    if (index != nullptr) {
      if (!CheckVariable(*index, t.file, &plain)) return;
      if (!plain) {
        Report(t.file, index->offset, "the 'index' of 'LmFOREACH' must be a plain name");
        return;
      }
    }
    b.counter = Hidden();
    b.in_text = in.value;
    b.in_offset = in.offset;
    Mark(t.file, t.offset);
    code_->Emit(kOpPushi, 0);
    Pop(b.counter);
    b.to_continue.push_back(code_->EmitForward(kOpJmp));
    b.body = Label();
    Mark(t.file, t.offset);
    if (index != nullptr) {
      Push(b.counter);
      if (!Store(index->value, t.file, index->offset)) return;
    }
    if (!Variable(in.value, t.file, in.offset)) return;
    Push(b.counter);
    code_->Emit(kOpElemr);
    b.ok = Store(var.value, t.file, var.offset);
  }

  void ForeachClose(Block& b) {
    const Token& t = *b.open;
    PatchAll(b.to_continue, Label());
    Mark(t.file, t.offset);
    if (!Variable(b.in_text, t.file, b.in_offset)) return;
    Push(b.counter);
    code_->Emit(kOpNextelem);
    code_->Emit(kOpDup);
    Pop(b.counter);
    code_->EmitBackward(kOpJmpNe, b.body);
  }

  // --- Functions ----------------------------------------------------------
  // "name(a, &b)" into the name and its parameters.
  static bool Signature(std::string_view text, std::string* name,
                        std::vector<std::pair<std::string, bool>>* parameters) {
    text = Trim(text);
    size_t i = 0;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    if (i == 0 || !IsNameStart(text[0])) return false;
    *name = std::string(text.substr(0, i));
    std::string_view rest = Trim(text.substr(i));
    if (rest.empty()) return true;
    if (rest.front() != '(' || rest.back() != ')') return false;
    rest = Trim(rest.substr(1, rest.size() - 2));
    if (rest.empty()) return true;
    for (const auto& [piece, at] : SplitList(rest)) {
      (void)at;
      std::string_view p = Trim(piece);
      bool by_reference = false;
      if (!p.empty() && p[0] == '&') {
        by_reference = true;
        p = Trim(p.substr(1));
      }
      if (!PlainName(p)) return false;
      for (const auto& existing : *parameters) {
        if (Lowered(existing.first) == Lowered(p)) return false;
      }
      parameters->emplace_back(std::string(p), by_reference);
    }
    return true;
  }

  void DeclareFunctions() {
    for (const Token& t : tokens_) {
      if (t.kind != TokenKind::kTag || t.text != "lmfunction") continue;
      const Attribute* a = t.Find("name");
      if (a == nullptr) continue;  // reported with the tag
      std::string name;
      std::vector<std::pair<std::string, bool>> parameters;
      if (!Signature(a->value, &name, &parameters)) {
        Report(t.file, a->offset,
               "'name' of 'LmFUNCTION' must be NAME or NAME(PARAMETER, &PARAMETER, ...), not '" +
                   a->value + "'");
        continue;
      }
      const auto length = static_cast<int32_t>(name.size());
      if (parts_.functions->Find(name.data(), length) != nullptr) {
        Report(t.file, a->offset, "function '" + name + "' is defined twice");
        continue;
      }
      Segment* segment = parts_.segments->NewSegment();
      Function* f = parts_.functions->Add(name.data(), length, 0, segment->Number(), 0);
      for (const auto& [parameter, by_reference] : parameters) {
        const int32_t slot = f->Locals().AddEntry(parameter.data(),
                                                  static_cast<int32_t>(parameter.size()));
        f->AddParameter(f->Locals().EntryNameNumber(slot),
                        by_reference ? FunctionParameter::kByReference : 0, slot);
      }
      function_segments_[f] = segment->Number();
    }
  }

  void FunctionOpen(const Token& t) {
    Block& b = Open(Kind::kFunction, t);
    if (blocks_.size() > 1) {
      Report(t, "'" + t.written + "' must stand outside other blocks");
      return;
    }
    std::string name;
    std::vector<std::pair<std::string, bool>> parameters;
    if (!Signature(t.Find("name")->value, &name, &parameters)) return;  // reported
    Function* f = parts_.functions->Find(name.data(), static_cast<int32_t>(name.size()));
    if (f == nullptr || function_segments_.count(f) == 0 || defined_[Lowered(name)]) return;
    defined_[Lowered(name)] = true;
    b.function = f;
    function_ = f;
    function_code_ = CodeWriter();
    code_ = &function_code_;
    top_marks_[0] = marked_file_;
    top_marks_[1] = marked_line_;
    marked_file_ = -1;
    marked_line_ = -1;
  }

  void FunctionClose(Block& b) {
    if (b.function == nullptr) return;
    // Running off the end returns an empty text, so every call leaves a value.
    PushText("");
    code_->Emit(kOpRet);
    Segment* segment = parts_.segments->Segment(function_segments_[b.function]);
    if (function_code_.Size() > 0) {
      segment->WriteBytes(0, function_code_.Bytes().data(), function_code_.Size());
    }
    function_ = nullptr;
    code_ = &top_;
    marked_file_ = top_marks_[0];
    marked_line_ = top_marks_[1];
  }

  // --- Closing tags -------------------------------------------------------
  void EndTag(const Token& t) {
    const TagRule* rule = FindTag(t.text);
    const char* name = rule != nullptr ? BlockName(rule->kind) : nullptr;
    if (rule == nullptr || name == nullptr || rule->name != Lowered(name)) {
      Report(t, "'</" + t.written + ">' closes no block");
      return;
    }
    if (blocks_.empty()) {
      Report(t, "'</" + t.written + ">' has no opening '<" + name + ">'");
      return;
    }
    Block& b = blocks_.back();
    if (b.kind != rule->kind) {
      const Token& open = *b.open;
      int32_t line = 0;
      int32_t column = 0;
      files_[static_cast<size_t>(open.file)].Position(open.offset, &line, &column);
      Report(t, "'</" + t.written + ">' where '" + BlockName(b.kind) + "' of line " +
                    std::to_string(line) + " must be closed first");
      return;
    }
    Close(b);
    blocks_.pop_back();
  }

  void Close(Block& b) {
    if (!b.ok) return;
    switch (b.kind) {
      case Kind::kIf:
      case Kind::kIfdef:
      case Kind::kIfndef: {
        const int32_t end = Label();
        code_->Patch(b.next, end);
        PatchAll(b.to_end, end);
        break;
      }
      case Kind::kWhile: {
        PatchAll(b.to_continue, Label());
        const Attribute& test = *b.open->Find("test");
        uint16_t jump = 0;
        bool truth = false;
        if (ConstantTruth(test.value, &truth)) {
          if (truth) code_->EmitBackward(kOpJmp, b.body);
        } else if (FusedCompare(test.value, b.open->file, test.offset, false, &jump)) {
          code_->EmitBackward(jump, b.body);
        } else {
          uint16_t last = 0;
          if (Expression(test, b.open->file, &last)) JumpBackIf(last, b.body);
        }
        PatchAll(b.to_end, Label());
        break;
      }
      case Kind::kFor:
        ForClose(b);
        PatchAll(b.to_end, Label());
        break;
      case Kind::kForeach:
        ForeachClose(b);
        PatchAll(b.to_end, Label());
        break;
      case Kind::kFunction:
        FunctionClose(b);
        break;
      case Kind::kCapture:
        code_->Emit(kOpCaptureEnd);
        break;
      case Kind::kLocalizedText:
        DefineLocalizedText(b);
        break;
      case Kind::kLockfile:
        code_->Emit(kOpLockfileEnd);
        break;
      case Kind::kSmtp:
        code_->Emit(kOpSmtpEnd);
        PatchAll(b.to_end, Label());
        break;
      case Kind::kImport:
      case Kind::kPop:
      case Kind::kCall:
      case Kind::kCommerce:
        PatchAll(b.to_continue, Label());
        if (b.loop_word != 0) code_->EmitBackward(b.loop_word, b.body);
        PatchAll(b.to_end, Label());
        break;
      default:
        break;
    }
  }

  // Inside LmLOCALIZED-TEXT: text and LmLOCALIZED-TOKEN make the pieces
  // of the text; the closing tag defines it.
  void LocalizedPiece(const Token& t) {
    Block& b = blocks_.back();
    if (t.kind == TokenKind::kText) {
      b.pieces.emplace_back(false, t.text);
    } else if (t.kind == TokenKind::kTag && t.text == "lmlocalized-token") {
      const Attribute* name = t.Find("name");
      if (name == nullptr || !PlainName(Trim(name->value)) || t.attributes.size() != 1) {
        Report(t, "'" + t.written + "' takes one attribute, 'name', naming a variable");
        return;
      }
      b.pieces.emplace_back(true, std::string(Trim(name->value)));
    } else if (t.kind == TokenKind::kEndTag && t.text == "lmlocalized-text") {
      EndTag(t);
    } else {
      Report(t, "only text and 'LmLOCALIZED-TOKEN' belong inside 'LmLOCALIZED-TEXT'");
    }
  }

  void DefineLocalizedText(Block& b) {
    const Token& t = *b.open;
    auto* languages = dynamic_cast<LocalizedLanguages*>(parts_.localized);
    if (languages == nullptr) {
      Report(t, "this program has no localized tables for 'LmLOCALIZED-TEXT'");
      return;
    }
    const std::string language(Trim(t.Find("language")->value));
    const std::string token(Trim(t.Find("token")->value));
    if (language.empty() || token.empty()) {
      Report(t, "'LmLOCALIZED-TEXT' needs a language and a token");
      return;
    }
    const int32_t index = languages->AddLanguage(Constant(language));
    const int32_t token_entry = Constant(token);
    if (index < 0 || token_entry < 0) {
      Report(t, "the localized text cannot be stored");
      return;
    }
    if (languages->Index(index, true)->Find(token_entry) != nullptr) {
      Report(t.file, t.Find("token")->offset,
             "token '" + token + "' is already in language '" + language + "'");
      return;
    }
    // The line ends right after the opening tag and right before the
    // closing one belong to the tags' lines, not to the text.
    if (!b.pieces.empty() && !b.pieces.front().first) {
      std::string& head = b.pieces.front().second;
      if (head.rfind("\r\n", 0) == 0) {
        head.erase(0, 2);
      } else if (head.rfind('\n', 0) == 0) {
        head.erase(0, 1);
      }
      if (head.empty()) b.pieces.erase(b.pieces.begin());
    }
    if (!b.pieces.empty() && !b.pieces.back().first) {
      std::string& tail = b.pieces.back().second;
      if (!tail.empty() && tail.back() == '\n') tail.pop_back();
      if (!tail.empty() && tail.back() == '\r') tail.pop_back();
      if (tail.empty()) b.pieces.pop_back();
    }
    int32_t first = -1;
    int32_t last = -1;
    for (const auto& [variable, text] : b.pieces) {
      const uint32_t kind =
          variable ? LocalizedDictionary::kVariablePiece : LocalizedDictionary::kLiteralPiece;
      last = languages->Pieces()->AddPiece(kind, Constant(text), last);
      if (first < 0) first = last;
    }
    languages->AddToken(index, token_entry, first);
  }

  void Assembly(const Token& t) {
    const SourceFile& f = files_[static_cast<size_t>(t.file)];
    std::vector<unsigned char> bytes;
    int error_line = 0;
    std::string error;
    if (!AssembleFragment(t.text, f.name, LineOf(t.file, t.body_offset), parts_, function_,
                          &bytes, &error_line, &error)) {
      const size_t index = static_cast<size_t>(std::max(error_line, 1) - 1);
      Report(t.file, index < f.line_starts.size() ? f.line_starts[index] : t.offset, error);
      return;
    }
    code_->Append(bytes);
    // Whatever the instructions did to the machine's file and line.
    marked_line_ = -1;
    marked_file_ = -1;
  }

  // --- The whole page -----------------------------------------------------
  void Generate() {
    for (const SourceFile& f : files_) file_entries_.push_back(Constant(f.name));
    // The page's own file is marked once at the start, outside any loop.
    top_.Emit(kOpSourcefile, file_entries_[0]);
    marked_file_ = 0;
    DeclareFunctions();
    for (const Token& t : tokens_) {
      if (stopped_) break;
      if (!blocks_.empty() && blocks_.back().kind == Kind::kLocalizedText) {
        LocalizedPiece(t);
        continue;
      }
      switch (t.kind) {
        case TokenKind::kText:
          PushText(t.text);
          code_->Emit(kOpOut);
          break;
        case TokenKind::kPrint:
        case TokenKind::kRawPrint:
          if (Expression(t.text, t.file, t.body_offset)) {
            code_->Emit(t.kind == TokenKind::kPrint ? kOpOutEnc : kOpOut);
          }
          break;
        case TokenKind::kTag:
          Tag(t);
          break;
        case TokenKind::kEndTag:
          EndTag(t);
          break;
        case TokenKind::kAssembly:
          Assembly(t);
          break;
        default:
          break;
      }
    }
    while (!blocks_.empty()) {
      const Token& open = *blocks_.back().open;
      Report(open, "'<" + open.written + ">' is not closed");
      if (blocks_.back().kind == Kind::kFunction) FunctionClose(blocks_.back());
      blocks_.pop_back();
    }
    Segment* entry = parts_.segments->EntrySegment();
    if (top_.Size() > 0) entry->WriteBytes(0, top_.Bytes().data(), top_.Size());
  }
};

// --- LumoCompiler ------------------------------------------------------------

LumoCompiler::LumoCompiler(CompileOptions options, SourceReader* reader)
    : options_(std::move(options)), reader_(reader != nullptr ? reader : &posix_reader_) {}

LumoCompiler::~LumoCompiler() = default;

namespace {

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool LumoCompiler::CompileInto(std::string_view source, const std::string& path,
                               const ProgramParts& parts, std::string_view display_name) {
  messages_.clear();
  read_failed_ = false;
  Impl impl(this, parts);
  SourceFile root;
  root.name = display_name.empty() ? LastComponent(path) : std::string(display_name);
  root.path = path;
  root.text = std::string(source);
  root.IndexLines();
  impl.files_.push_back(std::move(root));
  // Touch the entry segment first: functions' segments come after it.
  parts.segments->EntrySegment();
  PageLexer lexer(reader_, options_.include_dirs,
                  [&impl](int32_t file, int32_t offset, const std::string& text) {
                    impl.Report(file, offset, text);
                  });
  std::string identity = reader_->Identity(path);
  if (identity.empty()) identity = path;
  lexer.LexRoot(impl.files_, identity, impl.tokens_);
  impl.Generate();
  return messages_.empty();
}

bool LumoCompiler::CompileSource(std::string_view source, const std::string& path, String* image,
                                 std::string_view display_name) {
  Dictionary dictionary;
  VariableHash system(&dictionary);
  VariableHash globals(&dictionary);
  SegmentManager segments;
  FunctionManager functions(&dictionary);
  LocalizedDictionary pieces;
  LocalizedLanguages languages(&dictionary, &pieces);
  ProgramParts parts{&dictionary, &system, &globals, &segments, &functions, &languages};
  if (!CompileInto(source, path, parts, display_name)) return false;
  // A page without localized texts has no localized sections.
  if (languages.Count() == 0) parts.localized = nullptr;
  MemoryStream out;
  String error;
  if (!WriteProgram(out, parts, &error)) {
    CompileMessage m;
    m.file = display_name.empty() ? LastComponent(path) : std::string(display_name);
    m.line = 1;
    m.column = 1;
    m.text = "the program cannot be written: " + std::string(error.View());
    messages_.push_back(std::move(m));
    return false;
  }
  *image = out.Contents();
  return true;
}

bool LumoCompiler::CompileFile(const std::string& path, String* image,
                               std::string_view display_name) {
  std::string source;
  std::string error;
  if (!reader_->Read(path, &source, &error)) {
    messages_.clear();
    CompileMessage m;
    m.file = path;
    m.text = "cannot read '" + path + "': " + error;
    messages_.push_back(std::move(m));
    read_failed_ = true;
    return false;
  }
  return CompileSource(source, path, image, display_name);
}

std::string LumoCompiler::FormattedMessages() const {
  std::string out;
  for (const CompileMessage& m : messages_) {
    if (m.line == 0) {
      out += "lumoc: " + m.text + "\n";
      continue;
    }
    out += m.file + ":" + std::to_string(m.line) + ":" + std::to_string(m.column) + ": " + m.text +
           "\n";
    out += "  " + m.source_line + "\n  ";
    for (int32_t i = 1; i < m.column && static_cast<size_t>(i - 1) < m.source_line.size(); ++i) {
      out += m.source_line[static_cast<size_t>(i - 1)] == '\t' ? '\t' : ' ';
    }
    out += "^\n";
  }
  return out;
}

}  // namespace lumo
