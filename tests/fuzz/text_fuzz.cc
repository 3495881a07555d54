// The standard library's readers of text that scripts take from requests:
// Base64, hex, URL and entity decoding, ISO 8601 dates, time patterns and
// number formatting. The first byte picks the reader, the rest is its
// input. Beside the sanitizers the judge is each codec's round trip: what
// one writes, the other reads back to the same bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "stdlib/calendar.h"
#include "stdlib/codec.h"
#include "stdlib/number_text.h"

namespace {

using lumostd::CivilTime;

void Check(bool holds) {
  if (!holds) abort();
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

using Encoder = void (*)(std::string_view, std::string&);

// What encode writes, decode reads back; what decode accepts of the raw
// input, written again, reads back the same.
void CheckedRoundTrip(std::string_view in, Encoder encode,
                      bool (*decode)(std::string_view, std::string&)) {
  std::string encoded, decoded;
  encode(in, encoded);
  Check(decode(encoded, decoded) && decoded == in);
  decoded.clear();
  if (decode(in, decoded)) {
    std::string again, back;
    encode(decoded, again);
    Check(decode(again, back) && back == decoded);
  }
}

// A decoder that never fails: it reads back what encode writes, and never
// lengthens the raw input (an escape or a reference is never shorter than
// the bytes it stands for).
void LenientRoundTrip(std::string_view in, Encoder encode,
                      void (*decode)(std::string_view, std::string&)) {
  std::string encoded, decoded;
  encode(in, encoded);
  decode(encoded, decoded);
  Check(decoded == in);
  decoded.clear();
  decode(in, decoded);
  Check(decoded.size() <= in.size());
}

void Codecs(std::string_view in) {
  CheckedRoundTrip(in, lumostd::Base64Encode, lumostd::Base64Decode);
  CheckedRoundTrip(in, lumostd::HexEncode, lumostd::HexDecode);
  std::string decoded, again;
  if (lumostd::HexDecode(in, decoded)) {
    lumostd::HexEncode(decoded, again);
    Check(again == Lower(in));
  }
  LenientRoundTrip(in, lumostd::UrlEncode, lumostd::UrlDecode);
  LenientRoundTrip(in, lumostd::EntityEncode, lumostd::EntityDecode);
}

// A date the reader accepts is an instant of the years 1 to 9999 (give or
// take a day), and written back in the extended form it reads as the same
// instant.
void Dates(std::string_view in) {
  int64_t time = 0;
  std::string error;
  if (!lumostd::ParseIso8601(in, &time, &error)) {
    Check(!error.empty());
    return;
  }
  // A zone or 24:00 may move the first and last days' instants a day past
  // the years 1 to 9999; timeparse refuses those with its range check.
  Check(time >= lumostd::kFirstTime - 86400 && time <= lumostd::kLastTime + 86400);
  if (time < lumostd::kFirstTime || time > lumostd::kLastTime) return;
  std::string written;
  Check(lumostd::FormatTime("%Y-%m-%dT%H:%M:%SZ", lumostd::ToCivil(time, 0, "UTC"), written,
                            &error));
  int64_t again = 0;
  Check(lumostd::ParseIso8601(written, &again, &error) && again == time);
}

// A pattern of the input over an instant (and a month step) taken from
// its first bytes, kept within the years the library's functions accept.
void Patterns(std::string_view in) {
  int64_t raw = 0;
  int32_t months = 0;
  const size_t head = sizeof raw + sizeof months;
  if (in.size() < head) return;
  memcpy(&raw, in.data(), sizeof raw);
  memcpy(&months, in.data() + sizeof raw, sizeof months);
  in.remove_prefix(head);
  const int64_t span = lumostd::kLastTime - lumostd::kFirstTime + 1;
  int64_t time = lumostd::kFirstTime + static_cast<int64_t>(static_cast<uint64_t>(raw) % span);
  months %= 120001;
  const int64_t moved = lumostd::AddMonths(time, months);
  if (moved >= lumostd::kFirstTime && moved <= lumostd::kLastTime) time = moved;
  const CivilTime civil = lumostd::ToCivil(time, (raw >> 40) % 86400, "zone");
  Check(civil.month >= 1 && civil.month <= 12 && civil.day >= 1 && civil.day <= 31);
  std::string out, error;
  if (!lumostd::FormatTime(in, civil, out, &error)) Check(!error.empty());
}

void Numbers(std::string_view in) {
  double x = 0;
  if (in.size() < sizeof x + 1) return;
  memcpy(&x, in.data(), sizeof x);
  const int decimals = static_cast<unsigned char>(in[sizeof x]) % (lumostd::kMaxDecimals + 1);
  in.remove_prefix(sizeof x + 1);
  if (!std::isfinite(x)) return;
  std::string out;
  lumostd::AppendRounded(x, decimals, in.substr(0, 4), out);
  Check(out.find('e') == std::string::npos || in.substr(0, 4).find('e') != std::string::npos);
  const double rounded = lumostd::RoundHalfAway(x, decimals);
  Check(std::isfinite(rounded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: Codecs(in); break;
    case 1: Dates(in); break;
    case 2: Patterns(in); break;
    default: Numbers(in); break;
  }
  return 0;
}
