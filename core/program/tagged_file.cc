#include "core/program/tagged_file.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/base/byte_order.h"
#include "core/base/dictionary.h"
#include "files/file_manager.h"

namespace lumo {

namespace {

constexpr char kDirectoryEndText[] = "Unexpected end of file while reading directory";
constexpr char kInvalidSectionText[] = "Invalid section";
constexpr char kPastSectionText[] = "Read past end of section boundary";
constexpr char kUnexpectedEndText[] = "Unexpected end of file";

bool TagEquals(const char stored[4], std::string_view tag) {
  return tag.size() == 4 && memcmp(stored, tag.data(), 4) == 0;
}

}  // namespace

// --- TaggedSectionStream ------------------------------------------------

int32_t TaggedSectionStream::Read(void* buffer, int32_t length) {
  return file_->Read(buffer, length);
}

int32_t TaggedSectionStream::Write(const void*, int32_t) {
  file_->SetErrorText("Compiled program files are read-only");
  return -1;
}

bool TaggedSectionStream::Seek(int64_t position) {
  if (file_->selected_ == nullptr) {
    file_->SetErrorText(kInvalidSectionText);
    return false;
  }
  if (position < 0 || position > file_->selected_->size) {
    file_->SetErrorText(kPastSectionText);
    return false;
  }
  file_->position_ = position;
  return true;
}

int64_t TaggedSectionStream::Position() const { return file_->position_; }

const String& TaggedSectionStream::ErrorText() const { return file_->ErrorText(); }

void TaggedSectionStream::SetErrorText(std::string_view text) { file_->SetErrorText(text); }

// --- TaggedFile -------------------------------------------------------------

TaggedFile::~TaggedFile() {
  Close();
  free(directory_);
}

bool TaggedFile::Open(FileManager* files, FileLocation location, std::string_view path) {
  std::unique_ptr<File> file = files->Open(location, path, kOpenRead);
  if (!file) {
    SetErrorText(files->ErrorText().View());
    return false;
  }
  const int64_t length = file->Length();
  if (length < 0) {
    SetErrorText(file->ErrorText().View());
    return false;
  }
  if (length > String::kMaxLength) {
    SetErrorText("File too large");
    return false;
  }
  // Programs are read whole: the loader then works on memory, and the
  // descriptor is free again before the run starts.
  String contents;
  contents.Reserve(static_cast<int32_t>(length));
  const int64_t got = file->Read(contents.Data(), length);
  if (got < 0) {
    SetErrorText(file->ErrorText().View());
    return false;
  }
  contents.SetLength(static_cast<int32_t>(got));
  auto* stream = new MemoryStream();
  stream->Adopt(std::move(contents));
  return Attach(path, stream);
}

bool TaggedFile::Attach(std::string_view name, Stream* stream) {
  Close();
  free(directory_);
  directory_ = nullptr;
  directory_count_ = 0;
  last_found_ = selected_ = nullptr;
  // Ours from here, also should the name's copy fail.
  stream_ = stream;
  name_ = String(name);
  if (stream_ == nullptr) {
    SetErrorText(kCorruptProgramText);
    return false;
  }

  unsigned char header[kHeaderSize];
  if (!stream_->Seek(0) || !ReadFully(*stream_, header, kHeaderSize) ||
      memcmp(header, "Lumo", 4) != 0) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  version_ = DecodeLe32(header + 4);
  if (version_ < kMinVersion || version_ > kMaxVersion) {
    SetErrorText(kIncompatibleVersionText);
    return false;
  }
  memcpy(identification_, header + 8, kIdentificationSize);
  const uint32_t directory_offset = DecodeLe32(header + 24);
  const int32_t count = DecodeLeInt32(header + 28);
  if (count <= 0) return true;

  // The table is read as it arrives, so a count far beyond the file's size
  // fails at the file's end instead of allocating what it claims.
  String table;
  if (!stream_->Seek(directory_offset) ||
      !ReadFullyGrowing(*stream_, static_cast<int64_t>(count) * kDirectoryEntrySize, table)) {
    SetErrorText(kDirectoryEndText);
    return false;
  }
  directory_ = static_cast<DirectoryEntry*>(
      malloc(sizeof(DirectoryEntry) * static_cast<size_t>(count)));
  if (directory_ == nullptr) OutOfMemory("TaggedFile");
  const auto* p = reinterpret_cast<const unsigned char*>(table.Text());
  for (int32_t i = 0; i < count; ++i, p += kDirectoryEntrySize) {
    memcpy(directory_[i].tag, p, 4);
    directory_[i].offset = DecodeLe32(p + 4);
    directory_[i].size = DecodeLe32(p + 8);
  }
  directory_count_ = count;
  return true;
}

const TaggedFile::DirectoryEntry* TaggedFile::FindSection(std::string_view tag) {
  if (last_found_ != nullptr && TagEquals(last_found_->tag, tag)) return last_found_;
  for (int32_t i = 0; i < directory_count_; ++i) {
    if (TagEquals(directory_[i].tag, tag)) {
      last_found_ = &directory_[i];
      return last_found_;
    }
  }
  return nullptr;
}

bool TaggedFile::HasSection(std::string_view tag) { return FindSection(tag) != nullptr; }

bool TaggedFile::SectionExtent(std::string_view tag, int64_t* offset, int64_t* size) {
  const DirectoryEntry* section = FindSection(tag);
  if (section == nullptr) return false;
  *offset = section->offset;
  *size = section->size;
  return true;
}

bool TaggedFile::SelectSection(std::string_view tag, int32_t* size) {
  const DirectoryEntry* section = FindSection(tag);
  if (section == nullptr) {
    SetErrorText(kInvalidSectionText);
    return false;
  }
  if (stream_ == nullptr || !stream_->Seek(section->offset)) {
    SetErrorText(kUnexpectedEndText);
    return false;
  }
  selected_ = section;
  position_ = 0;
  if (size != nullptr) {
    *size = section->size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(section->size);
  }
  return true;
}

int32_t TaggedFile::ReadBounded(const DirectoryEntry* section, int64_t offset, void* buffer,
                                int32_t length) {
  if (length < 0 || offset < 0 || offset > section->size) {
    SetErrorText(kPastSectionText);
    return -1;
  }
  bool cut = false;
  if (offset + length > section->size) {
    length = static_cast<int32_t>(section->size - offset);
    cut = true;
  }
  if (stream_ == nullptr || !stream_->Seek(section->offset + offset)) {
    SetErrorText(kUnexpectedEndText);
    return -1;
  }
  int32_t got = length > 0 ? stream_->Read(buffer, length) : 0;
  if (got < 0) {
    SetErrorText(stream_->ErrorText().IsEmpty() ? String(kUnexpectedEndText)
                                                : stream_->ErrorText());
    return -1;
  }
  // A reader that wanted more must be able to say why it got less.
  if (cut) {
    SetErrorText(kPastSectionText);
  } else if (got < length) {
    SetErrorText(kUnexpectedEndText);
  }
  return got;
}

int32_t TaggedFile::Read(void* buffer, int32_t length) {
  if (selected_ == nullptr) {
    SetErrorText(kInvalidSectionText);
    return -1;
  }
  int32_t got = ReadBounded(selected_, position_, buffer, length);
  if (got > 0) position_ += got;
  return got;
}

int32_t TaggedFile::ReadAt(std::string_view tag, int64_t offset, void* buffer, int32_t length) {
  const DirectoryEntry* section = FindSection(tag);
  if (section == nullptr) {
    SetErrorText(kInvalidSectionText);
    return -1;
  }
  return ReadBounded(section, offset, buffer, length);
}

void TaggedFile::Close() {
  delete stream_;
  stream_ = nullptr;
  selected_ = nullptr;
}

// --- TaggedFileWriter -------------------------------------------------------

TaggedFileWriter::TaggedFileWriter(Stream& out, uint32_t version,
                                   const unsigned char* identification)
    : out_(out), version_(version) {
  if (identification != nullptr) {
    memcpy(identification_, identification, TaggedFile::kIdentificationSize);
  }
  unsigned char header[TaggedFile::kHeaderSize] = {};
  if (!out_.Seek(0) || !WriteFully(out_, header, TaggedFile::kHeaderSize)) {
    Fail(out_.ErrorText());
  }
}

TaggedFileWriter::~TaggedFileWriter() { free(entries_); }

bool TaggedFileWriter::Fail(std::string_view text) {
  if (ok_) error_ = String(text);
  ok_ = false;
  return false;
}

bool TaggedFileWriter::BeginSection(std::string_view tag) {
  if (!ok_) return false;
  if (tag.size() != 4) return Fail("A section tag has four bytes");
  if (section_start_ >= 0) return Fail("The previous section is still open");
  if (count_ == capacity_) {
    capacity_ += kDirectoryStep;
    auto* p = static_cast<Entry*>(realloc(entries_, sizeof(Entry) * static_cast<size_t>(capacity_)));
    if (p == nullptr) OutOfMemory("TaggedFileWriter");
    entries_ = p;
  }
  memcpy(entries_[count_].tag, tag.data(), 4);
  section_start_ = out_.Position();
  entries_[count_].offset = section_start_;
  return true;
}

bool TaggedFileWriter::EndSection() {
  if (!ok_) return false;
  if (section_start_ < 0) return Fail("No section is open");
  const int64_t end = out_.Position();
  if (end > 0x7FFFFFFF) return Fail("Compiled program too large");
  entries_[count_].size = end - section_start_;
  ++count_;
  section_start_ = -1;
  return true;
}

bool TaggedFileWriter::AddSection(std::string_view tag, const void* bytes, int32_t length) {
  if (!BeginSection(tag)) return false;
  if (!WriteFully(out_, bytes, length)) return Fail(out_.ErrorText());
  return EndSection();
}

bool TaggedFileWriter::Finish() {
  if (!ok_) return false;
  if (section_start_ >= 0) return Fail("A section is still open");
  const int64_t directory_offset = out_.Position();
  String table;
  table.SetLength(count_ * TaggedFile::kDirectoryEntrySize);
  auto* p = reinterpret_cast<unsigned char*>(table.Data());
  for (int32_t i = 0; i < count_; ++i, p += TaggedFile::kDirectoryEntrySize) {
    memcpy(p, entries_[i].tag, 4);
    EncodeLe32(p + 4, static_cast<uint32_t>(entries_[i].offset));
    EncodeLe32(p + 8, static_cast<uint32_t>(entries_[i].size));
  }
  if (!WriteFully(out_, table.Text(), table.Length())) return Fail(out_.ErrorText());
  unsigned char header[TaggedFile::kHeaderSize];
  memcpy(header, "Lumo", 4);
  EncodeLe32(header + 4, version_);
  memcpy(header + 8, identification_, TaggedFile::kIdentificationSize);
  EncodeLe32(header + 24, static_cast<uint32_t>(directory_offset));
  EncodeLeInt32(header + 28, count_);
  if (!out_.Seek(0) || !WriteFully(out_, header, TaggedFile::kHeaderSize)) {
    return Fail(out_.ErrorText());
  }
  return true;
}

}  // namespace lumo
