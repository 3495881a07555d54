// Byte-level codecs of the standard library: Base64, hex, URL and HTML
// entities. They work on plain byte ranges and append to a std::string, so
// they know nothing of the host and are tested on their own.
#ifndef LUMO_STDLIB_CODEC_H_
#define LUMO_STDLIB_CODEC_H_

#include <string>
#include <string_view>

namespace lumostd {

// RFC 4648 with '=' padding.
void Base64Encode(std::string_view in, std::string& out);
// Accepts the padded and the unpadded form and skips ASCII white space
// (mail bodies wrap their lines). False for any other byte outside the
// alphabet, padding in the middle, or a length that leaves a lone sextet;
// `out` then holds what was decoded before the fault.
bool Base64Decode(std::string_view in, std::string& out);

// Lower-case pairs.
void HexEncode(std::string_view in, std::string& out);
// Either case; false on an odd length or a byte that is not a hex digit.
bool HexDecode(std::string_view in, std::string& out);

// The server's own rule for query strings: a space becomes '+', bytes
// below 32 or above 127 and the URL's punctuation become %XX (upper case),
// everything else (DEL included) is copied.
void UrlEncode(std::string_view in, std::string& out);
// '+' gives a space and %XX its byte; a '%' not followed by two hex digits
// is copied, as the request parser does, so decoding never fails.
void UrlDecode(std::string_view in, std::string& out);

// The machine's entities: '"' '&' '(' ')' '<' '>' and nothing else.
void EntityEncode(std::string_view in, std::string& out);
// The reverse of EntityEncode plus &apos;, &nbsp; and numeric references
// (&#65; &#x41;), written as UTF-8 (one byte below 128). Anything
// that is not a complete known reference is copied as it stands.
void EntityDecode(std::string_view in, std::string& out);

}  // namespace lumostd

#endif  // LUMO_STDLIB_CODEC_H_
