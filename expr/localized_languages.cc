#include "expr/localized_languages.h"

#include <algorithm>
#include <utility>

#include "core/base/byte_order.h"

namespace lumo {

LocalizedLanguages::LocalizedLanguages(const Dictionary* dictionary, LocalizedDictionary* pieces)
    : dictionary_(dictionary),
      pieces_(pieces),
      hash_(std::make_unique<LocalizedNameHash>(dictionary, kBits, kCapacity, kGrowStep)) {}

LocalizedLanguages::~LocalizedLanguages() = default;

std::array<char, 4> LocalizedLanguages::IndexTag(int32_t language, uint32_t version) {
  const uint32_t tag = version >= kIndexPerLanguageVersion
                           ? (static_cast<uint32_t>(language) << 16) | kIndexTag
                           : 0;
  std::array<char, 4> bytes;
  EncodeLe32(bytes.data(), tag);
  return bytes;
}

int32_t LocalizedLanguages::AddLanguage(int32_t name) {
  const int32_t found = hash_->Find(name);
  if (found >= 0) return found;
  const int32_t language = hash_->Add(name);
  if (language < 0) return -1;
  source_of_.push_back(static_cast<int32_t>(sources_.size()));
  sources_.push_back(std::make_unique<Source>());
  Forget();
  return language;
}

int32_t LocalizedLanguages::FindLanguage(std::string_view name) const {
  return hash_->Find(name.data(), static_cast<int32_t>(name.size()));
}

LocalizedIndex* LocalizedLanguages::Built(Source& source, int32_t language) {
  if (source.index == nullptr && !source.image.IsEmpty()) {
    auto index = std::make_unique<LocalizedIndex>(language, dictionary_, pieces_);
    // The image was checked when it was read; this can fail only if the
    // pieces changed since.
    if (!index->Load(source.image)) {
      SetErrorText(index->ErrorText());
      return nullptr;
    }
    source.index = std::move(index);
    source.image = String();
  }
  return source.index.get();
}

LocalizedIndex* LocalizedLanguages::Index(int32_t language, bool create) {
  if (language < 0 || language >= Count()) return nullptr;
  Source& source = *sources_[static_cast<size_t>(source_of_[static_cast<size_t>(language)])];
  LocalizedIndex* index = Built(source, language);
  if (index == nullptr && create) {
    source.index = std::make_unique<LocalizedIndex>(language, dictionary_, pieces_);
    index = source.index.get();
    Forget();
  }
  return index;
}

int32_t LocalizedLanguages::AddToken(int32_t language, int32_t token, int32_t first_piece) {
  LocalizedIndex* index = Index(language, true);
  return index != nullptr ? index->AddToken(token, first_piece) : -1;
}

LocalizedIndex* LocalizedLanguages::Lookup(Choice& choice, RunLanguage language) {
  if (choice.changes != language.changes) {
    choice.index = Index(FindLanguage(language.name), false);
    choice.changes = language.changes;
  }
  return choice.index;
}

const LocalizedIndexEntry* LocalizedLanguages::FindToken(int32_t token, RunLanguage current,
                                                         RunLanguage fallback) {
  if (LocalizedIndex* index = Lookup(current_, current)) {
    if (const LocalizedIndexEntry* entry = index->Find(token)) return entry;
  }
  LocalizedIndex* index = Lookup(fallback_, fallback);
  return index != nullptr ? index->Find(token) : nullptr;
}

bool LocalizedLanguages::Fail(String* error, const String& text) {
  SetErrorText(text);
  *error = text;
  return false;
}

bool LocalizedLanguages::Read(TaggedFile& file, String* error) {
  // Tables read again hold only what this file has.
  if (file.HasSection("locd")) {
    if (!file.SelectSection("locd", nullptr)) return Fail(error, file.ErrorText());
    if (!pieces_->Read(file.Section())) return Fail(error, pieces_->ErrorText());
  } else {
    pieces_->Clear();
  }
  if (!file.HasSection("locl")) {
    hash_ = std::make_unique<LocalizedNameHash>(dictionary_, kBits, kCapacity, kGrowStep);
    sources_.clear();
    source_of_.clear();
    Forget();
    return true;
  }
  if (!file.SelectSection("locl", nullptr)) return Fail(error, file.ErrorText());
  Stream& section = file.Section();
  unsigned char header[kHeaderSize];
  if (!ReadFully(section, header, kHeaderSize)) return Fail(error, section.ErrorText());
  const int32_t used = DecodeLe16(header);
  const int bits = header[2];
  const int32_t count = DecodeLeInt32(header + 3);
  if (count < 0 || count > kMaxLanguages) return Fail(error, String(kCorruptProgramText));
  String buckets;
  String records;
  if (!ReadFullyGrowing(section, int64_t{used} * LocalizedNameHash::kBucketRecord, buckets) ||
      !ReadFullyGrowing(section, int64_t{count} * kEntryRecord, records)) {
    return Fail(error, section.ErrorText());
  }
  auto hash = std::make_unique<LocalizedNameHash>(dictionary_, kBits, kCapacity, kGrowStep);
  if (!hash->Load(bits, used, reinterpret_cast<const unsigned char*>(buckets.Text()), count,
                  reinterpret_cast<const unsigned char*>(records.Text()), kEntryRecord)) {
    return Fail(error, String(kCorruptProgramText));
  }

  // Each index is checked now and built on first use (see the header).
  const bool per_language = file.Version() >= kIndexPerLanguageVersion;
  const int32_t source_count = per_language ? count : count > 0 ? 1 : 0;
  std::vector<std::unique_ptr<Source>> sources;
  std::vector<std::pair<int64_t, int64_t>> extents;
  for (int32_t i = 0; i < source_count; ++i) {
    const std::array<char, 4> tag = IndexTag(i, file.Version());
    const std::string_view tag_view(tag.data(), tag.size());
    int64_t offset = 0;
    int64_t size = 0;
    if (!file.SelectSection(tag_view, nullptr)) return Fail(error, file.ErrorText());
    file.SectionExtent(tag_view, &offset, &size);
    extents.emplace_back(offset, size);
    auto source = std::make_unique<Source>();
    String why;
    if (!LocalizedIndex::ReadImage(file.Section(), dictionary_, pieces_, &source->image, &why)) {
      return Fail(error, why);
    }
    sources.push_back(std::move(source));
  }
  // Languages whose sections share bytes would make a small file hold
  // many large tables; a writer gives each its own.
  std::sort(extents.begin(), extents.end());
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].first < extents[i - 1].first + extents[i - 1].second) {
      return Fail(error, String(kCorruptProgramText));
    }
  }

  hash_ = std::move(hash);
  sources_ = std::move(sources);
  source_of_.clear();
  for (int32_t i = 0; i < count; ++i) source_of_.push_back(per_language ? i : 0);
  Forget();
  return true;
}

bool LocalizedLanguages::Write(TaggedFileWriter& writer, String* error) {
  auto fail = [&](const String& text) {
    return Fail(error, writer.ErrorText().IsEmpty() ? text : writer.ErrorText());
  };
  const uint32_t version = writer.Version();
  const int32_t count = Count();
  if (count > kMaxLanguages) return fail(String("Too many languages to store"));
  // An old file has one index for all languages: only tables whose
  // languages share one (or have none) can be written that way.
  int32_t shared = -1;
  if (version < kIndexPerLanguageVersion) {
    for (int32_t i = 0; i < count; ++i) {
      const int32_t s = source_of_[static_cast<size_t>(i)];
      const Source& source = *sources_[static_cast<size_t>(s)];
      if (source.index == nullptr && source.image.IsEmpty()) continue;
      if (shared >= 0 && shared != s) {
        return fail(String("Files of versions below 0x10008 hold one index for all languages"));
      }
      shared = s;
    }
  }

  if (!writer.BeginSection("locd") || !pieces_->Write(writer.Out()) || !writer.EndSection()) {
    return fail(pieces_->ErrorText());
  }
  const int32_t used = hash_->BucketsUsed();
  if (used > 0xFFFF) return fail(String("Too many languages to store"));
  String image;
  image.SetLength(kHeaderSize + used * LocalizedNameHash::kBucketRecord + count * kEntryRecord);
  auto* p = reinterpret_cast<unsigned char*>(image.Data());
  EncodeLe16(p, static_cast<uint16_t>(used));
  p[2] = static_cast<unsigned char>(hash_->Bits());
  EncodeLeInt32(p + 3, count);
  p += kHeaderSize;
  hash_->WriteBuckets(p);
  p += used * LocalizedNameHash::kBucketRecord;
  for (int32_t i = 0; i < count; ++i, p += kEntryRecord) {
    EncodeLeInt32(p, hash_->NameOf(i));
    EncodeLeInt32(p + 4, hash_->NextOf(i));
  }
  if (!writer.AddSection("locl", image.Text(), image.Length())) return fail(writer.ErrorText());

  const int32_t sections =
      version >= kIndexPerLanguageVersion ? count : count > 0 ? 1 : 0;
  for (int32_t i = 0; i < sections; ++i) {
    const int32_t language = version >= kIndexPerLanguageVersion ? i : std::max(shared, 0);
    LocalizedIndex empty(language, dictionary_, pieces_);
    LocalizedIndex* index = nullptr;
    if (version >= kIndexPerLanguageVersion) {
      index = Index(i, false);
    } else if (shared >= 0) {
      index = Built(*sources_[static_cast<size_t>(shared)], 0);
    }
    if (index == nullptr) index = &empty;
    const std::array<char, 4> tag = IndexTag(i, version);
    if (!writer.BeginSection(std::string_view(tag.data(), tag.size())) ||
        !index->Write(writer.Out()) || !writer.EndSection()) {
      return fail(index->ErrorText());
    }
  }
  return true;
}

}  // namespace lumo
