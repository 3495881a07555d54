// The localize and localizev instructions: a token's text in the run's
// language (or its default language) from the program's localized tables,
// with the values of the token variables that poplvnc collected.
#include "core/vm/lumo_vm.h"
#include "expr/localized_languages.h"

namespace lumo {

void LumoVM::StepLocalize(int32_t token, bool push) {
  int32_t length = 0;
  if (dictionary_->Entry(token, &length) == nullptr) {
    localized_tokens_.Clear();
    FatalError("Invalid dictionary reference");
    return;
  }
  const LocalizedIndexEntry* entry = nullptr;
  if (localized_ != nullptr) {
    entry = localized_->FindToken(
        token, {context_->Language().View(), context_->LanguageChanges()},
        {context_->DefaultLanguage().View(), context_->DefaultLanguageChanges()});
  }
  // A token that neither language has writes nothing.
  String joined;
  int32_t piece_number = entry != nullptr ? entry->first_piece : -1;
  const LocalizedDictionary* pieces = localized_ != nullptr ? localized_->Pieces() : nullptr;
  // A text cannot have more pieces than the table: a chain that loops ends
  // there instead of hanging the run.
  for (int32_t walked = 0; piece_number >= 0 && walked < pieces->Count(); ++walked) {
    const LocalizedPiece* piece = pieces->Piece(piece_number);
    if (piece == nullptr) break;
    piece_number = piece->next;
    const char* text = dictionary_->Entry(piece->text, &length);
    if (text == nullptr) {
      localized_tokens_.Clear();
      FatalError("Invalid dictionary reference");
      return;
    }
    if (piece->kind == LocalizedDictionary::kVariablePiece) {
      Variable* value = localized_tokens_.Find(text, length);
      if (value == nullptr) continue;
      const String& value_text = value->Value();
      text = value_text.Text();
      length = value_text.Length();
    }
    if (!push) {
      context_->Write(text, length);
      continue;
    }
    if (int64_t{joined.Length()} + length > kMaxTextLength) {
      localized_tokens_.Clear();
      FatalError("Out of memory");
      return;
    }
    joined.Append(text, length);
  }
  localized_tokens_.Clear();
  if (push) stack_->PushString(std::move(joined));
}

}  // namespace lumo
