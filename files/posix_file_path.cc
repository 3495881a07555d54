#include "files/posix_file_path.h"

#include "core/base/ascii.h"

namespace lumo {

using namespace std::string_view_literals;

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

void PosixFilePath::Parse(std::string_view text) {
  text_.Assign(text.data(), static_cast<int32_t>(text.size()));
  components_.clear();
  canonical_.clear();
  const std::string_view stored = text_.View();
  absolute_ = !stored.empty() && IsSeparator(stored[0]);
  size_t i = 0;
  while (i < stored.size()) {
    while (i < stored.size() && IsSeparator(stored[i])) ++i;
    const size_t start = i;
    while (i < stored.size() && !IsSeparator(stored[i])) ++i;
    if (i > start) components_.push_back(stored.substr(start, i - start));
  }
  for (std::string_view c : components_) {
    if (c == "."sv) continue;
    if (c == ".."sv && !canonical_.empty() && canonical_.back() != ".."sv) {
      canonical_.pop_back();
      continue;
    }
    // Above the root of an absolute path there is only the root.
    if (c == ".."sv && absolute_ && canonical_.empty()) continue;
    canonical_.push_back(c);
  }
}

bool PosixFilePath::IsWithin(const PosixFilePath& base) const {
  if (absolute_ != base.absolute_ || canonical_.size() < base.canonical_.size()) return false;
  for (size_t i = 0; i < base.canonical_.size(); ++i) {
    if (canonical_[i] != base.canonical_[i]) return false;
  }
  return true;
}

String PosixFilePath::CanonicalText() const {
  String out;
  if (absolute_ && canonical_.empty()) out.Append('/');
  for (size_t i = 0; i < canonical_.size(); ++i) {
    if (i > 0 || absolute_) out.Append('/');
    out.Append(canonical_[i]);
  }
  return out;
}

bool IsReservedDeviceName(std::string_view component) {
  auto lower = [&](size_t i) { return LowerByte(static_cast<unsigned char>(component[i])); };
  auto ends_after = [&](size_t n) { return component.size() == n || component[n] == '.'; };
  if (component.size() < 3) return false;
  const char a = static_cast<char>(lower(0));
  const char b = static_cast<char>(lower(1));
  const char c = static_cast<char>(lower(2));
  if ((a == 'a' && b == 'u' && c == 'x') || (a == 'c' && b == 'o' && c == 'n') ||
      (a == 'n' && b == 'u' && c == 'l') || (a == 'p' && b == 'r' && c == 'n')) {
    return ends_after(3);
  }
  if ((a == 'c' && b == 'o' && c == 'm') || (a == 'l' && b == 'p' && c == 't')) {
    return component.size() >= 4 && component[3] >= '1' && component[3] <= '9' && ends_after(4);
  }
  return false;
}

}  // namespace lumo
