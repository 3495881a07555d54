// The first half of lumoc: a page's text cut into text, prints and tags,
// with comments dropped, includes read in place and the lines that hold
// only tags taken out, so the code generator sees one flat list.
#ifndef LUMO_TOOLS_LUMOC_PAGE_LEXER_H_
#define LUMO_TOOLS_LUMOC_PAGE_LEXER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lumoc/compiler.h"

namespace lumo {

struct SourceFile {
  std::string name;  // as messages and source markers show it
  std::string path;  // as the reader opens it
  std::string text;
  std::vector<int32_t> line_starts;

  void IndexLines();
  // 1-based line and column of a byte offset.
  void Position(int32_t offset, int32_t* line, int32_t* column) const;
  std::string_view Line(int32_t line) const;
};

struct Attribute {
  std::string name;   // lower case
  std::string value;
  int32_t offset = 0;  // of the value's first byte in its file
};

enum class TokenKind { kText, kPrint, kRawPrint, kTag, kEndTag, kAssembly, kComment, kInclude };

struct Token {
  TokenKind kind = TokenKind::kText;
  int32_t file = 0;
  int32_t offset = 0;       // of the token's first byte
  std::string text;         // text; print expression; tag name lower case ("lmif")
  std::string written;      // the tag name as written
  int32_t body_offset = 0;  // print expression / assembly body start
  std::vector<Attribute> attributes;
  bool deleted = false;

  const Attribute* Find(std::string_view name) const;
};

class PageLexer {
 public:
  // Reports a fault at a byte offset of a file.
  using Report = std::function<void(int32_t file, int32_t offset, const std::string& text)>;

  PageLexer(SourceReader* reader, const std::vector<std::string>& include_dirs, Report report)
      : reader_(reader), include_dirs_(include_dirs), report_(std::move(report)) {}

  // Lexes files[0] and everything it includes into `out`; `identity` is
  // the reader's identity of files[0] (for include cycles).
  void LexRoot(std::deque<SourceFile>& files, const std::string& identity,
               std::vector<Token>& out) {
    include_stack_.push_back(identity);
    Lex(files, 0, out);
    include_stack_.pop_back();
  }
  bool ReadFailed() const { return read_failed_; }

 private:
  void Lex(std::deque<SourceFile>& files, int32_t index, std::vector<Token>& out);
  void LexOne(std::deque<SourceFile>& files, int32_t index, std::vector<Token>& tokens);
  bool LexTag(const SourceFile& file, int32_t index, size_t* position, Token* tag);
  void DropTagLines(std::vector<Token>& tokens);
  void Include(std::deque<SourceFile>& files, const Token& tag, std::vector<Token>& out);

  SourceReader* reader_;
  const std::vector<std::string>& include_dirs_;
  Report report_;
  std::vector<std::string> include_stack_;  // identities of the files being read
  bool read_failed_ = false;
};

}  // namespace lumo

#endif  // LUMO_TOOLS_LUMOC_PAGE_LEXER_H_
