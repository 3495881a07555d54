// LocalizedLanguages: the languages a program carries texts in and, per
// language, its LocalizedIndex; together with the LocalizedDictionary of
// pieces they are a program's localized text tables. They load and write
// themselves with the program (ProgramSectionTables), and FindToken gives
// the machine a token's text in the run's language or its default one.
//
// Loading checks every language's index section but builds an index only
// when its language is first looked up. The program file's stream is gone
// once loading ends, so the checked bytes are kept instead; a run looks up
// one or two languages, and a damaged section still fails the load rather
// than a later request for a token.
#ifndef LUMO_EXPR_LOCALIZED_LANGUAGES_H_
#define LUMO_EXPR_LOCALIZED_LANGUAGES_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/base/dictionary.h"
#include "core/base/string.h"
#include "core/program/program_file.h"
#include "core/program/tagged_file.h"
#include "expr/localized_dictionary.h"
#include "expr/localized_index.h"
#include "expr/localized_name_hash.h"

namespace lumo {

class LocalizedLanguages : public ProgramSectionTables {
 public:
  static constexpr int kBits = 12;
  static constexpr int32_t kCapacity = 8;
  static constexpr int32_t kGrowStep = 8;
  static constexpr int32_t kHeaderSize = 7;
  static constexpr int32_t kEntryRecord = 8;
  // From this file version on each language has an index section of its
  // own, tagged (language << 16) | 0x584C ("LX" and the language number);
  // older files have one index section, tagged 0, that serves them all.
  static constexpr uint32_t kIndexPerLanguageVersion = 0x10008;
  static constexpr uint32_t kIndexTag = 0x584C;
  // The language number has 16 bits in a section tag.
  static constexpr int32_t kMaxLanguages = 0x10000;

  // A language of the run, as the program context keeps it: the name and
  // the count of changes made to it so far.
  struct RunLanguage {
    std::string_view name;
    uint32_t changes;
  };

  // The dictionary and the pieces must outlive the tables.
  LocalizedLanguages(const Dictionary* dictionary, LocalizedDictionary* pieces);
  ~LocalizedLanguages() override;

  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

  // The entry of the language named by the dictionary entry, made when
  // missing; -1 for a number without text.
  int32_t AddLanguage(int32_t name);
  // The language's entry, or -1.
  int32_t FindLanguage(std::string_view name) const;
  int32_t Count() const { return hash_->Count(); }
  int32_t LanguageName(int32_t language) const {
    return language >= 0 && language < Count() ? hash_->NameOf(language) : -1;
  }
  // The language's index, built from the loaded section on first use, or
  // with `create` a new empty one when it has none. Null otherwise, and
  // for a number that names no language.
  LocalizedIndex* Index(int32_t language, bool create);
  // Adds a token's text to a language's index; -1 when either number is
  // not valid.
  int32_t AddToken(int32_t language, int32_t token, int32_t first_piece);

  // The token's text in the current language, else in the fallback one,
  // else null. Each language is looked up again only when its change
  // count differs from the one seen last time.
  const LocalizedIndexEntry* FindToken(int32_t token, RunLanguage current, RunLanguage fallback);

  LocalizedDictionary* Pieces() const { return pieces_; }

  // "locd", "locl" and the index sections, replacing the tables. A
  // program without "locl" has no languages, one without "locd" no pieces.
  bool Read(TaggedFile& file, String* error) override;
  bool Write(TaggedFileWriter& writer, String* error) override;

  // The tag of a language's index section in a file of this version.
  static std::array<char, 4> IndexTag(int32_t language, uint32_t version);

 private:
  // Where a language's index comes from. Languages of an old file share
  // one.
  struct Source {
    String image;  // checked bytes of the section, until built
    std::unique_ptr<LocalizedIndex> index;
  };
  struct Choice {
    uint32_t changes = 0;  // a context's counts start at 1
    LocalizedIndex* index = nullptr;
  };

  LocalizedIndex* Lookup(Choice& choice, RunLanguage language);
  LocalizedIndex* Built(Source& source, int32_t language);
  bool Fail(String* error, const String& text);
  void Forget() { current_ = fallback_ = Choice(); }

  const Dictionary* dictionary_;
  LocalizedDictionary* pieces_;
  std::unique_ptr<LocalizedNameHash> hash_;
  std::vector<int32_t> source_of_;  // per language
  std::vector<std::unique_ptr<Source>> sources_;
  Choice current_;
  Choice fallback_;
  String error_;
};

}  // namespace lumo

#endif  // LUMO_EXPR_LOCALIZED_LANGUAGES_H_
