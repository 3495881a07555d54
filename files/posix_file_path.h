// PosixFilePath: a path split into components, and its canonical form.
//
// Both '/' and '\' separate (scripts written for other systems use
// either); runs of separators count as one and a trailing separator is
// dropped. The canonical form is worked out from the text alone: "." is
// dropped and ".." removes the component before it. A ".." with nothing
// before it to remove stays, so a path that climbs above its start keeps
// saying so and can never compare equal to a path below a base.
//
// The file system is never asked: symbolic links are not followed while
// canonicalising. Only the administrator can place links (scripts cannot
// make them), and such a link is followed when the path is opened.
#ifndef LUMO_FILES_POSIX_FILE_PATH_H_
#define LUMO_FILES_POSIX_FILE_PATH_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/string.h"

namespace lumo {

class PosixFilePath {
 public:
  PosixFilePath() = default;
  explicit PosixFilePath(std::string_view text) { Parse(text); }

  void Parse(std::string_view text);

  const String& Text() const { return text_; }
  // Starts with a separator.
  bool IsAbsolute() const { return absolute_; }
  int32_t ComponentCount() const { return static_cast<int32_t>(components_.size()); }
  std::string_view Component(int32_t i) const { return components_[static_cast<size_t>(i)]; }
  // The components after "." and ".." are worked out.
  const std::vector<std::string_view>& Canonical() const { return canonical_; }

  // True when this path's canonical components begin with all of base's
  // (compared byte for byte: file names are case-sensitive here).
  bool IsWithin(const PosixFilePath& base) const;
  // The canonical components joined by '/', with a leading '/' when the
  // path is absolute ("/" for an absolute path without components).
  String CanonicalText() const;

 private:
  String text_;
  bool absolute_ = false;
  std::vector<std::string_view> components_;  // views into text_
  std::vector<std::string_view> canonical_;
};

// AUX, CON, NUL, PRN, COM1-COM9 and LPT1-LPT9 in any case, alone or
// followed by '.' ("con.txt"). Refused as file names so that sites stay
// portable to systems where they name devices.
bool IsReservedDeviceName(std::string_view component);

}  // namespace lumo

#endif  // LUMO_FILES_POSIX_FILE_PATH_H_
