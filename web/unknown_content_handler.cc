#include "web/unknown_content_handler.h"

#include <algorithm>

#include "core/vm/lumo_vm.h"

namespace lumo {

UnknownContentHandler::UnknownContentHandler(VariableHash* system_variables,
                                             int64_t content_length)
    : HTTPContentParser(system_variables), declared_(std::max<int64_t>(content_length, 0)) {
  if (declared_ > LumoVM::kMaxTextLength) SetError(kPostOutOfMemory);
}

bool UnknownContentHandler::Parse(const char* data, int32_t length) {
  if (Failed()) return false;
  const int64_t room = declared_ - body_.Length();
  const auto n = static_cast<int32_t>(std::min<int64_t>(std::max(length, 0), room));
  if (n <= 0) return true;
  const int64_t needed = int64_t{body_.Length()} + n;
  if (needed + 1 > body_.Capacity()) {
    // Doubling keeps a large body linear to collect; the declared length
    // bounds it.
    const int64_t grown = std::max<int64_t>(needed, int64_t{body_.Capacity()} * 2);
    body_.Reserve(static_cast<int32_t>(std::min(grown, declared_)));
  }
  body_.Append(data, n);
  return true;
}

bool UnknownContentHandler::Finish() {
  if (Failed()) return false;
  variables_->SetVariable("content_data", -1, body_.Text(), body_.Length());
  return true;
}

}  // namespace lumo
