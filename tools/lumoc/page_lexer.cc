#include "tools/lumoc/page_lexer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumo {

namespace {

char Lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

bool IsTagNameChar(char c) { return isalnum(static_cast<unsigned char>(c)) != 0 || c == '-'; }
bool IsAttributeChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() < at || text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[at + i]) != prefix[i]) return false;
  }
  return true;
}

// The first "</name" (any case) at or after `from`, or npos.
size_t FindCloser(std::string_view text, size_t from, std::string_view lowered_name) {
  for (size_t i = text.find('<', from); i != std::string_view::npos; i = text.find('<', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '/' && StartsWithNoCase(text, i + 2, lowered_name)) {
      const size_t after = i + 2 + lowered_name.size();
      if (after >= text.size() || !IsTagNameChar(text[after])) return i;
    }
  }
  return std::string_view::npos;
}

// The end of a print: the first `closer` outside quotes, or npos. Quotes
// close as in expressions: the next quote of the same kind without a
// backslash before it.
size_t FindPrintEnd(std::string_view text, size_t from, std::string_view closer) {
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      size_t j = i + 1;
      while (j < text.size() && !(text[j] == c && text[j - 1] != '\\')) ++j;
      if (j >= text.size()) return std::string_view::npos;
      i = j;
    } else if (text.compare(i, closer.size(), closer) == 0) {
      return i;
    }
  }
  return std::string_view::npos;
}

std::string Directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

void SourceFile::IndexLines() {
  line_starts.clear();
  line_starts.push_back(0);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') line_starts.push_back(static_cast<int32_t>(i + 1));
  }
}

void SourceFile::Position(int32_t offset, int32_t* line, int32_t* column) const {
  const auto it = std::upper_bound(line_starts.begin(), line_starts.end(), offset);
  const auto index = static_cast<int32_t>(it - line_starts.begin()) - 1;
  *line = index + 1;
  *column = offset - line_starts[static_cast<size_t>(index)] + 1;
}

std::string_view SourceFile::Line(int32_t line) const {
  if (line < 1 || static_cast<size_t>(line) > line_starts.size()) return {};
  const auto start = static_cast<size_t>(line_starts[static_cast<size_t>(line - 1)]);
  size_t end = text.find('\n', start);
  if (end == std::string::npos) end = text.size();
  if (end > start && text[end - 1] == '\r') --end;
  return std::string_view(text).substr(start, end - start);
}

const Attribute* Token::Find(std::string_view name) const {
  for (const Attribute& a : attributes) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

void PageLexer::Lex(std::deque<SourceFile>& files, int32_t index, std::vector<Token>& out) {
  std::vector<Token> tokens;
  LexOne(files, index, tokens);
  DropTagLines(tokens);
  for (Token& token : tokens) {
    if (token.deleted) continue;
    if (token.kind == TokenKind::kInclude) {
      Include(files, token, out);
    } else if (token.kind != TokenKind::kComment) {
      out.push_back(std::move(token));
    }
  }
}

void PageLexer::LexOne(std::deque<SourceFile>& files, int32_t index, std::vector<Token>& tokens) {
  const std::string_view text = files[static_cast<size_t>(index)].text;
  const SourceFile& file = files[static_cast<size_t>(index)];
  std::string pending;
  int32_t pending_offset = 0;
  auto flush = [&] {
    if (pending.empty()) return;
    Token t;
    t.kind = TokenKind::kText;
    t.file = index;
    t.offset = pending_offset;
    t.text = std::move(pending);
    pending.clear();
    tokens.push_back(std::move(t));
  };
  auto add_text = [&](int32_t at, std::string_view bytes) {
    if (pending.empty()) pending_offset = at;
    pending.append(bytes);
  };
  size_t p = 0;
  while (p < text.size()) {
    const char c = text[p];
    const auto at = static_cast<int32_t>(p);
    if (c == '\\' && text.compare(p + 1, 2, "{{") == 0) {
      add_text(at, "{{");
      p += 3;
      continue;
    }
    if (c == '{' && p + 1 < text.size() && text[p + 1] == '{') {
      const bool raw = p + 2 < text.size() && text[p + 2] == '{';
      const size_t open = raw ? 3 : 2;
      const std::string_view closer = raw ? "}}}" : "}}";
      const size_t end = FindPrintEnd(text, p + open, closer);
      if (end == std::string_view::npos) {
        // Reported, then read on as text, so that the tags after it still
        // pair up and their own faults are found.
        report_(index, at, raw ? "'{{{' has no closing '}}}'" : "'{{' has no closing '}}'");
        add_text(at, text.substr(p, open));
        p += open;
        continue;
      }
      flush();
      Token t;
      t.kind = raw ? TokenKind::kRawPrint : TokenKind::kPrint;
      t.file = index;
      t.offset = at;
      t.body_offset = static_cast<int32_t>(p + open);
      t.text = std::string(text.substr(p + open, end - p - open));
      if (std::all_of(t.text.begin(), t.text.end(), IsBlank)) {
        report_(index, at, raw ? "nothing to print in '{{{ }}}'" : "nothing to print in '{{ }}'");
      } else {
        tokens.push_back(std::move(t));
      }
      p = end + closer.size();
      continue;
    }
    if (c == '<') {
      const size_t name_at = p + 1 < text.size() && text[p + 1] == '/' ? p + 2 : p + 1;
      size_t name_end = name_at;
      while (name_end < text.size() && IsTagNameChar(text[name_end])) ++name_end;
      if (name_end - name_at > 2 && StartsWithNoCase(text, name_at, "lm")) {
        flush();
        Token tag;
        tag.file = index;
        tag.offset = at;
        tag.written = std::string(text.substr(name_at, name_end - name_at));
        tag.text = Lowered(tag.written);
        tag.kind = name_at == p + 2 ? TokenKind::kEndTag : TokenKind::kTag;
        size_t position = name_end;
        if (!LexTag(file, index, &position, &tag)) {
          // Resynchronise after the next '>'.
          const size_t next = text.find('>', name_end);
          if (next == std::string_view::npos) return;
          p = next + 1;
          continue;
        }
        p = position;
        if (tag.kind == TokenKind::kTag && (tag.text == "lmcomment" || tag.text == "lmassembly")) {
          const size_t closer = FindCloser(text, p, tag.text);
          if (closer == std::string_view::npos) {
            report_(index, at, "'<" + tag.written + ">' has no closing '</" + tag.written + ">'");
            return;
          }
          tag.kind = tag.text == "lmcomment" ? TokenKind::kComment : TokenKind::kAssembly;
          tag.body_offset = static_cast<int32_t>(p);
          tag.text = tag.kind == TokenKind::kAssembly ? std::string(text.substr(p, closer - p))
                                                      : std::string();
          const size_t gt = text.find('>', closer);
          p = gt == std::string_view::npos ? text.size() : gt + 1;
        } else if (tag.kind == TokenKind::kTag && tag.text == "lminclude") {
          tag.kind = TokenKind::kInclude;
        }
        tokens.push_back(std::move(tag));
        continue;
      }
    }
    add_text(at, text.substr(p, 1));
    ++p;
  }
  flush();
}

// Attributes up to the tag's '>'. `position` starts after the name.
bool PageLexer::LexTag(const SourceFile& file, int32_t index, size_t* position, Token* tag) {
  size_t& p = *position;
  const std::string_view text = file.text;
  const std::string shown = "'<" + std::string(tag->kind == TokenKind::kEndTag ? "/" : "") +
                            tag->written + "'";
  for (;;) {
    while (p < text.size() && IsBlank(text[p])) ++p;
    if (p >= text.size()) {
      report_(index, tag->offset, shown + " has no closing '>'");
      return false;
    }
    if (text[p] == '>') {
      ++p;
      return true;
    }
    if (text[p] == '/' && p + 1 < text.size() && text[p + 1] == '>') {
      p += 2;
      return true;
    }
    if (!IsAttributeChar(text[p])) {
      report_(index, static_cast<int32_t>(p),
              std::string("unexpected '") + text[p] + "' in " + shown);
      return false;
    }
    const size_t name_start = p;
    while (p < text.size() && IsAttributeChar(text[p])) ++p;
    Attribute attribute;
    attribute.name = Lowered(text.substr(name_start, p - name_start));
    while (p < text.size() && IsBlank(text[p])) ++p;
    if (p >= text.size() || text[p] != '=') {
      report_(index, static_cast<int32_t>(name_start),
              "attribute '" + attribute.name + "' has no value");
      return false;
    }
    ++p;
    while (p < text.size() && IsBlank(text[p])) ++p;
    if (p >= text.size() || (text[p] != '"' && text[p] != '\'')) {
      report_(index, static_cast<int32_t>(p < text.size() ? p : name_start),
              "the value of attribute '" + attribute.name + "' must stand in quotes");
      return false;
    }
    const char quote = text[p];
    const size_t close = text.find(quote, p + 1);
    if (close == std::string_view::npos) {
      report_(index, static_cast<int32_t>(p),
              "the value of attribute '" + attribute.name + "' has no closing quote");
      return false;
    }
    attribute.offset = static_cast<int32_t>(p + 1);
    attribute.value = std::string(text.substr(p + 1, close - p - 1));
    p = close + 1;
    if (tag->Find(attribute.name) != nullptr) {
      report_(index, static_cast<int32_t>(name_start),
              "attribute '" + attribute.name + "' is given twice");
      continue;
    }
    tag->attributes.push_back(std::move(attribute));
  }
}

// A line that holds tags and blanks only sends nothing: its blanks and its
// line end go. Text tokens are cut at their line ends first, so a line is
// a run of tokens ending with a text that ends in '\n'.
void PageLexer::DropTagLines(std::vector<Token>& tokens) {
  std::vector<Token> cut;
  cut.reserve(tokens.size());
  for (Token& token : tokens) {
    if (token.kind != TokenKind::kText) {
      cut.push_back(std::move(token));
      continue;
    }
    size_t start = 0;
    while (start < token.text.size()) {
      size_t end = token.text.find('\n', start);
      end = end == std::string::npos ? token.text.size() : end + 1;
      Token piece;
      piece.kind = TokenKind::kText;
      piece.file = token.file;
      piece.offset = token.offset + static_cast<int32_t>(start);
      piece.text = token.text.substr(start, end - start);
      cut.push_back(std::move(piece));
      start = end;
    }
  }
  // The text of a localized-text definition is no page text: a line
  // holding a definition sends nothing, and the definition keeps its text.
  std::vector<bool> defining(cut.size(), false);
  bool inside = false;
  for (size_t k = 0; k < cut.size(); ++k) {
    if (cut[k].kind == TokenKind::kTag && cut[k].text == "lmlocalized-text") inside = true;
    if (cut[k].kind == TokenKind::kEndTag && cut[k].text == "lmlocalized-text") inside = false;
    defining[k] = inside && cut[k].kind == TokenKind::kText;
  }
  size_t i = 0;
  while (i < cut.size()) {
    size_t j = i;
    while (j + 1 < cut.size() &&
           !(cut[j].kind == TokenKind::kText && !cut[j].text.empty() && cut[j].text.back() == '\n')) {
      ++j;
    }
    bool statement = false;
    bool content = false;
    for (size_t k = i; k <= j; ++k) {
      switch (cut[k].kind) {
        case TokenKind::kText:
          if (!defining[k] && !std::all_of(cut[k].text.begin(), cut[k].text.end(), IsBlank)) {
            content = true;
          }
          break;
        case TokenKind::kPrint:
        case TokenKind::kRawPrint:
          content = true;
          break;
        default:
          statement = true;
      }
    }
    if (statement && !content) {
      for (size_t k = i; k <= j; ++k) {
        if (cut[k].kind == TokenKind::kText && !defining[k]) cut[k].deleted = true;
      }
    }
    i = j + 1;
  }
  tokens.clear();
  for (Token& token : cut) {
    if (token.deleted) continue;
    if (token.kind == TokenKind::kText && !tokens.empty() && tokens.back().kind == TokenKind::kText) {
      tokens.back().text += token.text;
    } else {
      tokens.push_back(std::move(token));
    }
  }
}

void PageLexer::Include(std::deque<SourceFile>& files, const Token& tag, std::vector<Token>& out) {
  const Attribute* name = tag.Find("file");
  if (name == nullptr || name->value.empty()) {
    report_(tag.file, tag.offset, "'LmINCLUDE' needs the attribute 'file'");
    return;
  }
  for (const Attribute& a : tag.attributes) {
    if (a.name != "file") {
      report_(tag.file, a.offset, "'LmINCLUDE' has no attribute '" + a.name + "'");
    }
  }
  if (include_stack_.size() >= static_cast<size_t>(LumoCompiler::kMaxIncludeDepth)) {
    report_(tag.file, tag.offset, "includes nested deeper than 64 files");
    return;
  }
  std::vector<std::string> candidates;
  if (name->value[0] == '/') {
    candidates.push_back(name->value);
  } else {
    candidates.push_back(Directory(files[static_cast<size_t>(tag.file)].path) + name->value);
    for (const std::string& dir : include_dirs_) {
      candidates.push_back(dir.empty() || dir.back() == '/' ? dir + name->value
                                                            : dir + "/" + name->value);
    }
  }
  std::string path;
  std::string identity;
  for (const std::string& candidate : candidates) {
    identity = reader_->Identity(candidate);
    if (!identity.empty()) {
      path = candidate;
      break;
    }
  }
  if (path.empty()) {
    report_(tag.file, name->offset, "cannot find the included file '" + name->value + "'");
    return;
  }
  if (std::find(include_stack_.begin(), include_stack_.end(), identity) != include_stack_.end()) {
    report_(tag.file, name->offset,
            "include cycle: '" + name->value + "' is already being included");
    return;
  }
  SourceFile included;
  std::string error;
  if (!reader_->Read(path, &included.text, &error)) {
    report_(tag.file, name->offset, "cannot read '" + name->value + "': " + error);
    return;
  }
  included.name = name->value;
  included.path = path;
  included.IndexLines();
  files.push_back(std::move(included));
  include_stack_.push_back(identity);
  Lex(files, static_cast<int32_t>(files.size() - 1), out);
  include_stack_.pop_back();
}

}  // namespace lumo
