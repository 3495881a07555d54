#include "core/program/function_manager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/base/byte_order.h"
#include "core/base/conversions.h"
#include "core/base/lookup2.h"
#include "core/program/tagged_file.h"

namespace lumo {

namespace {

constexpr char kFunc[] = "func";
constexpr int32_t kHeaderSize = 7;
constexpr int32_t kBucketRecord = 6;
constexpr int32_t kRecordSize = 20;
constexpr int32_t kParameterRecord = 12;

template <typename T>
T* Allocate(int32_t count) {
  auto* p = static_cast<T*>(malloc(sizeof(T) * static_cast<size_t>(count > 0 ? count : 1)));
  if (p == nullptr) OutOfMemory("FunctionManager");
  return p;
}

}  // namespace

// --- Function -----------------------------------------------------------

Function::Function(int32_t number, Dictionary* dictionary, int32_t name, uint32_t flags,
                   int32_t segment, int32_t offset)
    : number_(number),
      flags_(flags),
      name_(name),
      name_text_(dictionary->EntryView(name)),
      segment_(segment),
      offset_(offset),
      dictionary_(dictionary),
      locals_(dictionary, VariableHash::kLocalBits, VariableHash::kLocalCapacity) {}

Function::~Function() { delete[] parameters_; }

void Function::AddParameter(int32_t name, uint32_t flags, int32_t local_slot) {
  if (parameter_count_ == parameter_capacity_) {
    int32_t capacity = parameter_capacity_ ? parameter_capacity_ * 2 : 4;
    auto* p = new FunctionParameter[static_cast<size_t>(capacity)];
    for (int32_t i = 0; i < parameter_count_; ++i) p[i] = std::move(parameters_[i]);
    delete[] parameters_;
    parameters_ = p;
    parameter_capacity_ = capacity;
  }
  parameters_[parameter_count_++] =
      FunctionParameter{name, String(dictionary_->EntryView(name)), flags, local_slot};
}

// --- FunctionManager --------------------------------------------------------

FunctionManager::FunctionManager(Dictionary* dictionary, int bits) : dictionary_(dictionary) {
  Reset(bits < 0 ? 0 : bits > kMaxBits ? kMaxBits : bits, 0);
}

FunctionManager::~FunctionManager() {
  for (int32_t i = 0; i < count_; ++i) delete functions_[i];
  free(functions_);
  free(next_);
  free(buckets_);
}

void FunctionManager::Reset(int bits, int32_t capacity) {
  for (int32_t i = 0; i < count_; ++i) delete functions_[i];
  free(functions_);
  free(next_);
  free(buckets_);
  bits_ = bits;
  const int32_t bucket_count = int32_t{1} << bits;
  buckets_ = Allocate<int32_t>(bucket_count);
  for (int32_t i = 0; i < bucket_count; ++i) buckets_[i] = -1;
  capacity_ = capacity;
  count_ = 0;
  next_ = Allocate<int32_t>(capacity);
  functions_ = Allocate<class Function*>(capacity);
  for (int32_t i = 0; i < capacity; ++i) {
    next_[i] = -1;
    functions_[i] = nullptr;
  }
}

void FunctionManager::Grow() {
  if (capacity_ > 0x7FFFFFF) OutOfMemory("FunctionManager");
  const int32_t capacity = capacity_ + kGrowStep;
  auto* next = static_cast<int32_t*>(realloc(next_, sizeof(int32_t) * static_cast<size_t>(capacity)));
  if (next == nullptr) OutOfMemory("FunctionManager");
  next_ = next;
  auto* functions = static_cast<class Function**>(
      realloc(functions_, sizeof(void*) * static_cast<size_t>(capacity)));
  if (functions == nullptr) OutOfMemory("FunctionManager");
  functions_ = functions;
  for (int32_t i = capacity_; i < capacity; ++i) {
    next_[i] = -1;
    functions_[i] = nullptr;
  }
  capacity_ = capacity;
}

uint32_t FunctionManager::BucketOf(const char* name, int32_t length) const {
  return Lookup2NoCase(name, static_cast<uint32_t>(length)) &
         ((uint32_t{1} << bits_) - 1);
}

int FunctionManager::CompareName(const char* name, int32_t length,
                                 const class Function* f) const {
  const int32_t other = f->Name().Length();
  if (length != other) return length < other ? -1 : 1;
  return CompareNoCase(name, f->Name().Text(), length);
}

class Function* FunctionManager::Find(const char* name, int32_t length) {
  if (name == nullptr) return nullptr;
  if (length < 0) length = static_cast<int32_t>(strlen(name));
  for (int32_t f = buckets_[BucketOf(name, length)]; f >= 0; f = next_[f]) {
    const int c = CompareName(name, length, functions_[f]);
    if (c == 0) return functions_[f];
    if (c < 0) break;  // chains are ordered: the name would have come before
  }
  return nullptr;
}

class Function* FunctionManager::Insert(class Function* function) {
  const int32_t n = function->Number();
  int32_t* link = &buckets_[BucketOf(function->Name().Text(), function->Name().Length())];
  while (*link >= 0 &&
         CompareName(function->Name().Text(), function->Name().Length(), functions_[*link]) >= 0) {
    link = &next_[*link];
  }
  next_[n] = *link;
  *link = n;
  return function;
}

class Function* FunctionManager::Add(const char* name, int32_t length, uint32_t flags,
                                     int32_t segment, int32_t offset) {
  if (length < 0) length = static_cast<int32_t>(strlen(name));
  if (count_ == capacity_) Grow();
  const int32_t entry = dictionary_->AddEntry(name, length);
  auto* function = new class Function(count_, dictionary_, entry, flags, segment, offset);
  functions_[count_++] = function;
  return Insert(function);
}

class Function* FunctionManager::Declare(const char* name, uint32_t flags) {
  return Add(name, -1, flags | Function::kExternal, -1, -1);
}

class Function* FunctionManager::Copy(const class Function& function) {
  class Function* copy =
      Add(function.Name().Text(), function.Name().Length(), function.Flags(), -1, -1);
  for (int32_t i = 0; i < function.ParameterCount(); ++i) {
    const FunctionParameter& p = function.Parameter(i);
    copy->AddParameter(p.name, p.flags, p.local_slot);
  }
  return copy;
}

// The function table of a program file as read, before it replaces the
// manager's own: the hash image and the function records, each checked.
struct FunctionManager::Image {
  int bits = 0;
  int32_t count = 0;
  std::vector<int32_t> buckets;  // first function of each bucket, or -1
  std::vector<int32_t> next;     // the chain link of each function
  std::vector<std::unique_ptr<class Function>> functions;
};

bool FunctionManager::Read(TaggedFile& file) {
  int32_t section_size = 0;
  if (!file.SelectSection(kFunc, &section_size)) return Fail(file.ErrorText().View());
  Stream& in = file.Section();
  Image image;
  if (!ReadHashImage(file, in, &image) || !ReadFunctions(file, in, section_size, &image) ||
      !ChainsAreSound(image)) {
    return false;
  }
  Reset(image.bits, image.count);
  for (int32_t i = 0; i < image.count; ++i) {
    functions_[i] = image.functions[static_cast<size_t>(i)].release();
    next_[i] = image.next[static_cast<size_t>(i)];
  }
  for (int32_t i = 0; i < (int32_t{1} << image.bits); ++i) {
    buckets_[i] = image.buckets[static_cast<size_t>(i)];
  }
  count_ = image.count;
  in.Seek(0);
  return true;
}

bool FunctionManager::Fail(std::string_view text) {
  SetErrorText(text);
  return false;
}

bool FunctionManager::ReadHashImage(TaggedFile& file, Stream& in, Image* image) {
  unsigned char header[kHeaderSize];
  if (!ReadFully(in, header, kHeaderSize)) return Fail(file.ErrorText().View());
  const int32_t used = DecodeLe16(header);
  image->bits = header[2];
  image->count = DecodeLeInt32(header + 3);
  const int32_t count = image->count;
  if (image->bits > kMaxBits || count < 0) return Fail(kCorruptProgramText);
  String bucket_bytes;
  String chain_bytes;
  if (!ReadFullyGrowing(in, static_cast<int64_t>(used) * kBucketRecord, bucket_bytes) ||
      !ReadFullyGrowing(in, static_cast<int64_t>(count) * 4, chain_bytes)) {
    return Fail(file.ErrorText().View());
  }
  const int32_t bucket_count = int32_t{1} << image->bits;
  image->buckets.assign(static_cast<size_t>(bucket_count), -1);
  const auto* b = reinterpret_cast<const unsigned char*>(bucket_bytes.Text());
  for (int32_t i = 0; i < used; ++i, b += kBucketRecord) {
    const int32_t bucket = DecodeLe16(b);
    const int32_t first = DecodeLeInt32(b + 2);
    if (bucket >= bucket_count || first < -1 || first >= count) return Fail(kCorruptProgramText);
    image->buckets[static_cast<size_t>(bucket)] = first;
  }
  image->next.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const int32_t link = DecodeLeInt32(chain_bytes.Text() + 4 * i);
    if (link < -1 || link >= count) return Fail(kCorruptProgramText);
    image->next[static_cast<size_t>(i)] = link;
  }
  return true;
}

bool FunctionManager::ReadFunctions(TaggedFile& file, Stream& in, int32_t section_size,
                                    Image* image) {
  // A function costs a few kilobytes in memory (its object and the bucket
  // array of its local names, whose size the image chooses) for a few dozen
  // bytes of file. Bounded against the section's size, a small damaged or
  // hostile file cannot make the load take gigabytes; real programs use
  // far less than the bound.
  int64_t budget = std::max<int64_t>(kMinLoadBudget, kLoadBudgetPerByte * section_size);
  for (int32_t i = 0; i < image->count; ++i) {
    unsigned char record[kRecordSize];
    if (!ReadFully(in, record, kRecordSize)) return Fail(file.ErrorText().View());
    const int32_t name = DecodeLeInt32(record);
    const int32_t parameters = DecodeLeInt32(record + 4);
    if (name < 0 || name >= dictionary_->Count() || parameters < 0) {
      return Fail(kCorruptProgramText);
    }
    image->functions.push_back(std::make_unique<class Function>(
        i, dictionary_, name, DecodeLe32(record + 8), DecodeLeInt32(record + 12),
        DecodeLeInt32(record + 16)));
    class Function* function = image->functions.back().get();
    for (int32_t p = 0; p < parameters; ++p) {
      unsigned char parameter[kParameterRecord];
      if (!ReadFully(in, parameter, kParameterRecord)) return Fail(file.ErrorText().View());
      const int32_t parameter_name = DecodeLeInt32(parameter);
      if (parameter_name < 0 || parameter_name >= dictionary_->Count()) {
        return Fail(kCorruptProgramText);
      }
      function->AddParameter(parameter_name, DecodeLe32(parameter + 4),
                             DecodeLeInt32(parameter + 8));
    }
    const int64_t at = in.Position();
    unsigned char locals[3];
    if (ReadFully(in, locals, 3) && in.Seek(at)) {
      budget -= kFunctionCost + (int64_t{4} << (locals[2] < 31 ? locals[2] : 31));
      if (budget < 0) return Fail(kCorruptProgramText);
    }
    if (!function->Locals().Read(in)) return Fail(function->Locals().ErrorText().View());
  }
  return true;
}

bool FunctionManager::ChainsAreSound(const Image& image) {
  // Chains must be sound before lookups walk them: no loops, no shared
  // tails, every function on the chain of its own bucket in chain order.
  // Otherwise a lookup could hang or quietly miss.
  const int32_t bucket_count = int32_t{1} << image.bits;
  std::vector<bool> seen(static_cast<size_t>(image.count), false);
  int32_t chained = 0;
  for (int32_t bucket = 0; bucket < bucket_count; ++bucket) {
    const class Function* previous = nullptr;
    for (int32_t f = image.buckets[static_cast<size_t>(bucket)]; f >= 0;
         f = image.next[static_cast<size_t>(f)]) {
      const class Function* function = image.functions[static_cast<size_t>(f)].get();
      const String& name = function->Name();
      const uint32_t home = Lookup2NoCase(name.Text(), static_cast<uint32_t>(name.Length())) &
                            static_cast<uint32_t>(bucket_count - 1);
      if (seen[static_cast<size_t>(f)] || home != static_cast<uint32_t>(bucket) ||
          (previous != nullptr && CompareName(previous->Name().Text(), previous->Name().Length(),
                                              function) > 0)) {
        return Fail(kCorruptProgramText);
      }
      seen[static_cast<size_t>(f)] = true;
      previous = function;
      ++chained;
    }
  }
  return chained == image.count || Fail(kCorruptProgramText);
}

bool FunctionManager::Write(Stream& out) {
  const int32_t bucket_count = int32_t{1} << bits_;
  int32_t used = 0;
  for (int32_t i = 0; i < bucket_count; ++i) used += buckets_[i] >= 0;
  String head;
  head.SetLength(kHeaderSize + used * kBucketRecord + count_ * 4);
  auto* p = reinterpret_cast<unsigned char*>(head.Data());
  EncodeLe16(p, static_cast<uint16_t>(used));
  p[2] = static_cast<unsigned char>(bits_);
  EncodeLeInt32(p + 3, count_);
  p += kHeaderSize;
  for (int32_t i = 0; i < bucket_count; ++i) {
    if (buckets_[i] < 0) continue;
    EncodeLe16(p, static_cast<uint16_t>(i));
    EncodeLeInt32(p + 2, buckets_[i]);
    p += kBucketRecord;
  }
  for (int32_t i = 0; i < count_; ++i, p += 4) EncodeLeInt32(p, next_[i]);
  if (!WriteFully(out, head.Text(), head.Length())) {
    SetErrorText(out.ErrorText());
    return false;
  }
  for (int32_t i = 0; i < count_; ++i) {
    class Function* f = functions_[i];
    String record;
    record.SetLength(kRecordSize + f->ParameterCount() * kParameterRecord);
    auto* r = reinterpret_cast<unsigned char*>(record.Data());
    EncodeLeInt32(r, f->NameNumber());
    EncodeLeInt32(r + 4, f->ParameterCount());
    EncodeLe32(r + 8, f->Flags());
    EncodeLeInt32(r + 12, f->EntrySegment());
    EncodeLeInt32(r + 16, f->EntryOffset());
    for (int32_t k = 0; k < f->ParameterCount(); ++k) {
      unsigned char* q = r + kRecordSize + k * kParameterRecord;
      EncodeLeInt32(q, f->Parameter(k).name);
      EncodeLe32(q + 4, f->Parameter(k).flags);
      EncodeLeInt32(q + 8, f->Parameter(k).local_slot);
    }
    if (!WriteFully(out, record.Text(), record.Length()) || !f->Locals().Write(out)) {
      SetErrorText(out.ErrorText().IsEmpty() ? f->Locals().ErrorText() : out.ErrorText());
      return false;
    }
  }
  return true;
}

}  // namespace lumo
