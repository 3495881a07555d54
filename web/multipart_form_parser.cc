#include "web/multipart_form_parser.h"

#include <algorithm>
#include <string>

#include "core/base/ascii.h"
#include "core/vm/lumo_vm.h"

namespace lumo {

namespace {

constexpr std::string_view kValidate = "Lumo_ValidateFileUpload";
constexpr std::string_view kProcess = "Lumo_ProcessFileUpload";
constexpr std::string_view kNoSeparator = "Failed to find boundary separator";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasFunction(LumoVM* vm, std::string_view name) {
  return vm != nullptr &&
         vm->Functions()->Find(name.data(), static_cast<int32_t>(name.size())) != nullptr;
}

LumoVM::Argument Text(std::string_view text) { return {true, text, 0}; }

}  // namespace

bool MultipartFormParser::FindBoundary(std::string_view type, String* boundary) {
  size_t i = type.find(';');
  if (i == std::string_view::npos) return false;
  ++i;
  while (i < type.size()) {
    while (i < type.size() && IsBlank(type[i])) ++i;
    const size_t name_start = i;
    while (i < type.size() && type[i] != '=' && type[i] != ';') ++i;
    const std::string_view name = type.substr(name_start, i - name_start);
    const bool wanted = String(name).EqualsNoCase("boundary");
    if (i < type.size() && type[i] == '=') {
      ++i;
      String value;
      if (i < type.size() && type[i] == '"') {
        for (++i; i < type.size() && type[i] != '"'; ++i) {
          if (type[i] == '\\' && i + 1 < type.size()) ++i;
          value.Append(type[i]);
        }
      } else {
        const size_t start = i;
        while (i < type.size() && type[i] != ';') ++i;
        value.Append(type.substr(start, i - start));
      }
      if (wanted) {
        *boundary = std::move(value);
        return true;
      }
    }
    while (i < type.size() && type[i] != ';') ++i;
    ++i;
  }
  return false;
}

MultipartFormParser::MultipartFormParser(LumoVM* vm, FileManager* files, VariableHash* variables,
                                         std::string_view content_type, int32_t limit,
                                         FormLimits* shared)
    : HTTPContentParser(variables, shared), vm_(vm), files_(files) {
  if (shared == nullptr) own_limits_ = FormLimits(limit);
  separator_.Append("\r\n");
  String boundary;
  if (FindBoundary(content_type, &boundary)) {
    separator_.Append("--");
    separator_.Append(boundary);
    // The body starts with the separator minus its line break.
    match_ = 2;
    state_ = kFirstSeparator;
  } else {
    state_ = kLearnSeparator;
  }
}

MultipartFormParser::~MultipartFormParser() { DropTemporary(); }

void MultipartFormParser::Fail(std::string_view text) {
  SetError(text);
  state_ = kFailed;
}

void MultipartFormParser::FailFound(char byte, std::string_view expected) {
  std::string text = "Found ";
  text += byte;
  text += expected;
  Fail(text);
}

bool MultipartFormParser::AppendHeaderByte(String& buffer, char c) {
  if (buffer.Length() >= kMaxHeaderPart) {
    Fail("Multipart header line too long");
    return false;
  }
  // Doubling, as for values: 24 bytes at a time would copy a long head
  // over and over.
  if (buffer.Length() + 2 >= buffer.Capacity()) {
    buffer.Reserve(std::min(std::max(buffer.Capacity() * 2, 64), kMaxHeaderPart + 1));
  }
  buffer.Append(c);
  return true;
}

void MultipartFormParser::EndParameter() {
  const int32_t n = parameter_value_.Length();
  if (parameter_name_.Equals("name")) {
    // The value is taken as quoted; one too short to hold quotes names
    // nothing.
    field_name_ = n >= 2 ? parameter_value_.Substring(1, n - 1) : String();
  } else if (parameter_name_.Equals("filename") && n > 2) {
    file_name_ = parameter_value_;
  }
}

String MultipartFormParser::FileName() const {
  return file_name_.Substring(1, file_name_.Length() - 1);
}

void MultipartFormParser::DropTemporary() {
  file_.reset();
  if (!file_path_.IsEmpty() && files_ != nullptr) files_->Delete(kTemporaryLocation, file_path_);
  file_path_ = String();
}

bool MultipartFormParser::Parse(const char* data, int32_t length) {
  if (state_ == kFailed) return false;
  // The part's data not yet handed on starts here (null: none in this
  // piece so far); a separator match begun in this piece starts at
  // match_start.
  const char* data_start = state_ == kContent ? data : nullptr;
  const char* match_start = nullptr;
  int32_t i = 0;
  // A state that hands a byte on to the next state leaves i alone, so the
  // byte is looked at again there.
  while (i < length && state_ != kFailed && state_ != kDone) {
    const char c = data[i];
    switch (state_) {
      case kFirstSeparator:
        if (match_ == separator_.Length()) {
          state_ = kAfterFirstSeparator;
        } else if (c == separator_[match_]) {
          ++match_;
          ++i;
        } else {
          state_ = kBadStart;
        }
        break;
      case kLearnSeparator:
        if (c == '\r') {
          state_ = kLineFeed;
        } else if (separator_.Length() >= kMaxLearnedSeparator + 2) {
          Fail(kNoSeparator);
        } else {
          separator_.Append(c);
        }
        ++i;
        break;
      case kAfterFirstSeparator:
        if (c == '\r') {
          state_ = kLineFeed;
          ++i;
        } else {
          state_ = kBadStart;
        }
        break;
      case kBadStart:
        if (c == '\r') Fail(kNoSeparator);
        ++i;
        break;
      case kLineFeed:
      case kBodyLineFeed:
        if (c != '\n') {
          FailFound(c, " when expected LF");
        } else {
          state_ = state_ == kLineFeed ? kHeaderStart : kContentStart;
        }
        ++i;
        break;
      case kHeaderStart:
        if (c == '\r') {
          state_ = kBodyLineFeed;
        } else if (c == ':') {
          Fail("Found : when expecting file header type");
        } else {
          header_name_.SetLength(0);
          header_name_.Append(c);
          state_ = kHeaderName;
        }
        ++i;
        break;
      case kHeaderName:
        if (c == '\r') {
          Fail("Premature end of line when expecting file header type");
        } else if (c == ':' && header_name_.Equals("Content-Disposition")) {
          file_name_ = String();
          state_ = kDisposition;
        } else if (c == ':' && header_name_.Equals("Content-Type")) {
          content_type_.SetLength(0);
          state_ = kContentType;
        } else {
          // Any other header's value reads on as name, so its line ends
          // in the failure above.
          AppendHeaderByte(header_name_, c);
        }
        ++i;
        break;
      case kContentType:
        if (c == '\r') {
          state_ = kLineFeed;
        } else if (c != ' ') {
          AppendHeaderByte(content_type_, c);
        }
        ++i;
        break;
      case kDisposition:
        if (c == ';') state_ = kParameterStart;
        ++i;
        break;
      case kParameterStart:
        if (c != ' ') {
          parameter_name_.SetLength(0);
          parameter_name_.Append(c);
          state_ = kParameterName;
        }
        ++i;
        break;
      case kParameterName:
        if (c == '=') {
          parameter_value_.SetLength(0);
          state_ = kParameterValue;
        } else {
          AppendHeaderByte(parameter_name_, c);
        }
        ++i;
        break;
      case kParameterValue:
        if (c == '\r' || c == ';') {
          EndParameter();
          state_ = c == ';' ? kParameterStart : kLineFeed;
        } else {
          AppendHeaderByte(parameter_value_, c);
        }
        ++i;
        break;
      case kContentStart:
        if (!BeginPart()) {
          state_ = kFailed;
          break;
        }
        data_start = data + i;
        state_ = kContent;
        break;
      case kContent:
        if (c == separator_[0]) {
          match_ = 1;
          match_start = data + i;
          state_ = kMatch;
        }
        ++i;
        break;
      case kMatch:
      case kCarriedMatch:
        if (match_ == separator_.Length()) {
          state_ = kSeparatorEnd;
        } else if (c == separator_[match_]) {
          ++match_;
          ++i;
        } else if (state_ == kMatch) {
          // Only the separator's first byte is a CR, so no match can begin
          // inside the matched bytes: they are data, and this byte may
          // begin the next match.
          state_ = kContent;
        } else {
          // The bytes matched in earlier pieces were held back; they were
          // data after all.
          if (!PartData(separator_.Text(), match_)) {
            state_ = kFailed;
            break;
          }
          data_start = data + i;
          state_ = kContent;
        }
        break;
      case kSeparatorEnd: {
        bool ok = true;
        if (match_start != nullptr) {
          ok = PartData(data_start, static_cast<int32_t>(match_start - data_start));
        }
        if (ok) ok = EndPart();
        data_start = nullptr;
        match_start = nullptr;
        if (!ok) {
          state_ = kFailed;
        } else if (c == '\r') {
          state_ = kLineFeed;
        } else if (c == '-') {
          state_ = kSecondDash;
        } else {
          FailFound(c, " when expected CR or '-'");
        }
        ++i;
        break;
      }
      case kSecondDash:
        if (c == '-') {
          state_ = kDone;
        } else {
          FailFound(c, " when expected '-'");
        }
        ++i;
        break;
      case kDone:
      case kFailed:
        break;
    }
  }
  // Hand on the data this piece holds; a match still open keeps its bytes
  // back until the next piece decides.
  if (state_ == kContent && data_start != nullptr) {
    if (!PartData(data_start, static_cast<int32_t>(data + length - data_start))) state_ = kFailed;
  } else if (state_ == kMatch) {
    state_ = kCarriedMatch;
    if (!PartData(data_start, static_cast<int32_t>(match_start - data_start))) state_ = kFailed;
  }
  return state_ != kFailed;
}

bool MultipartFormParser::Finish() {
  DropTemporary();
  return true;
}

bool MultipartFormParser::BeginPart() {
  file_part_ = !file_name_.IsEmpty();
  mode_ = kSkipped;
  received_ = 0;
  if (!file_part_ || !HasFunction(vm_, kValidate)) return true;
  LumoApplication* context = vm_->Context();
  // The run's time-out starts with its first script code; the POST
  // time-out keeps running over every part of the body.
  context->BeginExecution();
  const String file = FileName();
  const LumoVM::Argument arguments[] = {Text(field_name_), Text(file), Text(content_type_)};
  int32_t maximum = 0;
  if (!vm_->CallScriptFunction(kValidate, arguments, 3, &maximum)) {
    Fail("Failed call to ValidateFileUpload");
    return false;
  }
  if (maximum < 0) return true;
  // The program's maximum, the server's for one file and what is left of
  // the server's for all files of the request: the smallest holds.
  cap_ = maximum > 0 ? maximum : -1;
  auto lower = [this](int64_t bound) {
    if (bound >= 0 && (cap_ < 0 || bound < cap_)) cap_ = bound;
  };
  if (limits_->max_upload > 0) lower(limits_->max_upload);
  if (limits_->max_upload_total > 0) {
    lower(std::max<int64_t>(limits_->max_upload_total - limits_->upload_total, 0));
  }
  status_ = "COMPLETE";
  file_ = files_ != nullptr ? files_->MakeTemporary(kTemporaryLocation, "", "LUMO_FUP",
                                                     kOpenWrite | kOpenRead, &file_path_)
                            : nullptr;
  if (!file_) {
    file_path_ = String();
    Fail("Failed to create temporary file");
    return false;
  }
  mode_ = kWriting;
  return true;
}

bool MultipartFormParser::PartData(const char* data, int32_t length) {
  if (length <= 0) return true;
  if (!file_part_) {
    if (int64_t{field_value_.Length()} + length > LumoVM::kMaxTextLength) {
      Fail(kPostOutOfMemory);
      return false;
    }
    if (!TakeFormBytes(length)) {
      state_ = kFailed;
      return false;
    }
    // Doubling: a value grown a piece at a time would be copied once per
    // piece.
    const int64_t needed = int64_t{field_value_.Length()} + length + 1;
    if (needed > field_value_.Capacity()) {
      field_value_.Reserve(static_cast<int32_t>(
          std::min(std::max(needed, int64_t{field_value_.Capacity()} * 2), LumoVM::kMaxTextLength + 1)));
    }
    field_value_.Append(data, length);
    return true;
  }
  received_ += length;
  if (mode_ != kWriting) return true;
  int64_t n = length;
  if (cap_ >= 0 && received_ > cap_) {
    mode_ = kTruncated;
    status_ = "PARTIAL";
    n = cap_ - (received_ - length);
  }
  // A file that cannot take the bytes (a full disk) is reported as cut
  // short, which is what the script gets.
  if (n > 0 && !file_->Write(data, n)) {
    mode_ = kTruncated;
    status_ = "PARTIAL";
  } else if (n > 0) {
    limits_->upload_total += n;
  }
  return true;
}

bool MultipartFormParser::EndPart() {
  if (!file_part_) {
    // The name is held as long as the value.
    if (!TakeFormBytes(field_name_.Length()) || !StoreField(field_name_, field_value_)) {
      state_ = kFailed;
      return false;
    }
    field_value_.SetLength(0);
    return true;
  }
  if (mode_ == kSkipped) return true;
  file_.reset();
  bool ok = true;
  if (HasFunction(vm_, kProcess)) {
    LumoApplication* context = vm_->Context();
    context->BeginExecution();
    const String file = FileName();
    // The size is a number; one past the machine's integers (a file cut
    // short after gigabytes) goes as its digits, which read the same.
    const std::string digits = std::to_string(received_);
    const LumoVM::Argument size =
        received_ <= INT32_MAX ? LumoVM::Argument{false, {}, static_cast<int32_t>(received_)}
                               : Text(digits);
    const LumoVM::Argument arguments[] = {Text(field_name_), Text(file),    Text(status_),
                                          Text(file_path_),  Text(content_type_), size};
    ok = vm_->CallScriptFunction(kProcess, arguments, 6);
  }
  DropTemporary();
  mode_ = kSkipped;
  if (!ok) {
    Fail("Failed call to ProcessFileUpload");
    return false;
  }
  return true;
}

}  // namespace lumo
