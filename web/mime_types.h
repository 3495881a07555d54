// The Content-Type of a static file, from its name's extension.
//
// Types come from /etc/mime.types (read once per process) with a built-in
// table of the common ones behind it. ".lmc" in any case is always a
// compiled program; a name without an extension, or with one nobody knows,
// is "text/plain".
#ifndef LUMO_WEB_MIME_TYPES_H_
#define LUMO_WEB_MIME_TYPES_H_

#include <string_view>

namespace lumo {

inline constexpr std::string_view kCompiledProgramType = "application/x-lumo-compiled";
// A page's source (.lum): compiled and run, or refused, never sent as text.
inline constexpr std::string_view kSourcePageType = "application/x-lumo-source";

// The extension of a path with its dot (".html"), or "" when it has none.
// Trailing '.', '/' and '\' are ignored, so "a.lmc." has ".lmc"; a name
// whose only dot is its first character (".profile") has none.
std::string_view PathExtension(std::string_view path);

// The content type for a path. The text lives as long as the process.
std::string_view ContentTypeOf(std::string_view path);

// Reads a mime.types file over the built-in table (tests, other systems);
// call it before any thread looks types up. False when the file cannot be
// read.
bool LoadMimeTypes(const char* file);

}  // namespace lumo

#endif  // LUMO_WEB_MIME_TYPES_H_
