// LocalizedIndex: one language's tokens, token name -> first piece of its
// text in the LocalizedDictionary.
#ifndef LUMO_EXPR_LOCALIZED_INDEX_H_
#define LUMO_EXPR_LOCALIZED_INDEX_H_

#include <cstdint>
#include <string_view>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "core/base/string.h"
#include "expr/localized_dictionary.h"
#include "expr/localized_name_hash.h"

namespace lumo {

struct LocalizedIndexEntry {
  int32_t token;        // dictionary entry number of the token's name
  int32_t first_piece;  // -1 for an empty text
};

class LocalizedIndex {
 public:
  static constexpr int kBits = 12;
  static constexpr int32_t kCapacity = 128;
  static constexpr int32_t kGrowStep = 128;
  static constexpr int32_t kHeaderSize = 11;
  static constexpr int32_t kEntryRecord = 12;

  // The dictionary and the pieces must outlive the index.
  LocalizedIndex(int32_t language, const Dictionary* dictionary,
                 const LocalizedDictionary* pieces);
  LocalizedIndex(const LocalizedIndex&) = delete;
  LocalizedIndex& operator=(const LocalizedIndex&) = delete;
  virtual ~LocalizedIndex();

  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

  // Adds the token's text; -1 when the name number has no text.
  int32_t AddToken(int32_t token, int32_t first_piece);
  // The entry of the token (by its name's text, ignoring case), or null.
  const LocalizedIndexEntry* Find(int32_t token) const;
  const LocalizedIndexEntry* Find(std::string_view token) const;
  const LocalizedIndexEntry* Entry(int32_t n) const {
    return n >= 0 && n < hash_.Count() ? &entries_[n] : nullptr;
  }
  int32_t Count() const { return hash_.Count(); }
  int32_t Language() const { return language_; }

  // A whole index section: the 11-byte header (buckets used, bits, entry
  // count, four reserved bytes), the used buckets, the entries (token,
  // next, first piece). First pieces must name a piece of the dictionary
  // or be -1. On failure the index is unchanged.
  bool Read(Stream& section);
  bool Write(Stream& out);
  // Read in two steps, for tables that check every index when a program
  // loads but build one only when it is first used: ReadImage takes the
  // section's bytes and checks them (`error` says why it failed), Load
  // builds the index from bytes ReadImage accepted.
  static bool ReadImage(Stream& section, const Dictionary* dictionary,
                        const LocalizedDictionary* pieces, String* image, String* error);
  bool Load(std::string_view image);

 private:
  int32_t language_;
  const Dictionary* dictionary_;
  const LocalizedDictionary* pieces_;
  LocalizedNameHash hash_;
  LocalizedIndexEntry* entries_ = nullptr;
  int32_t capacity_ = 0;
  String error_;
};

}  // namespace lumo

#endif  // LUMO_EXPR_LOCALIZED_INDEX_H_
