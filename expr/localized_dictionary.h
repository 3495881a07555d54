// LocalizedDictionary: the pieces every localized text is made of. A text
// is a chain of pieces; a literal piece is a dictionary text, a variable
// piece names a variable whose value the machine inserts. Pieces of all
// languages share one array, so a text is just the number of its first
// piece.
#ifndef LUMO_EXPR_LOCALIZED_DICTIONARY_H_
#define LUMO_EXPR_LOCALIZED_DICTIONARY_H_

#include <cstdint>
#include <string_view>

#include "core/base/stream.h"
#include "core/base/string.h"

namespace lumo {

struct LocalizedPiece {
  uint32_t kind;  // kVariablePiece, or anything else for a literal
  int32_t text;   // dictionary entry number: the literal, or the variable's name
  int32_t next;   // the next piece of the same text, -1 after the last
};

class LocalizedDictionary {
 public:
  static constexpr uint32_t kVariablePiece = 0;
  static constexpr uint32_t kLiteralPiece = 1;
  static constexpr int32_t kGrowStep = 128;
  static constexpr int32_t kPieceRecord = 12;

  LocalizedDictionary() = default;
  LocalizedDictionary(const LocalizedDictionary&) = delete;
  LocalizedDictionary& operator=(const LocalizedDictionary&) = delete;
  virtual ~LocalizedDictionary();

  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

  // Appends a piece ending a text; when `after` is a piece, that piece's
  // text continues with the new one. Returns the new piece's number.
  int32_t AddPiece(uint32_t kind, int32_t text, int32_t after = -1);
  // Null for a number that names no piece.
  const LocalizedPiece* Piece(int32_t n) const {
    return n >= 0 && n < count_ ? &pieces_[n] : nullptr;
  }
  // Rewires a piece's link: for tools and tests that need texts a
  // compiler would not write. False for numbers that name no piece.
  bool Link(int32_t piece, int32_t next);
  int32_t Count() const { return count_; }
  void Clear() { count_ = 0; }

  // The "locd" section: a count, then per piece kind, text and next. Links
  // are checked on reading (they must name a piece or be -1); text numbers
  // are not, since the machine reports those when it meets them. On failure
  // the pieces are unchanged.
  bool Read(Stream& section);
  bool Write(Stream& out);

 private:
  String error_;
  LocalizedPiece* pieces_ = nullptr;
  int32_t count_ = 0;
  int32_t capacity_ = 0;
};

}  // namespace lumo

#endif  // LUMO_EXPR_LOCALIZED_DICTIONARY_H_
