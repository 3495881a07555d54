// MultipartFormParser: "multipart/form-data" bodies, the form fields and
// file uploads of an HTML form.
//
// Each part's headers name the field (Content-Disposition "name"), maybe a
// file ("filename") and its Content-Type. A normal field becomes a
// variable as in URL-encoded forms (repeats make arrays, names are paths).
// A file part goes to the running program: Lumo_ValidateFileUpload(field,
// file, type) answers the largest size to keep (negative: skip the file,
// 0: no limit), the bytes go to a temporary file "LUMO_FUP.N" in the file
// manager's temporary location, and Lumo_ProcessFileUpload(field, file,
// status, path, type, size) hears of it once the part ends ("COMPLETE", or
// "PARTIAL" when the limit cut it; size counts every byte sent). The
// temporary file is deleted right after that call: a script that wants
// the upload renames it away during the call. Without the first function
// every file is read and dropped; without the second, files are written
// and deleted unseen.
//
// The boundary comes from the content type's "boundary" parameter; without
// one, the first line of the body is taken as the separator. The body may
// end before its closing separator; a normal field whose part never ended
// is dropped then.
//
// Uploads stay bounded too: FormLimits caps one file and all files of the
// request on disk; a file past either is cut there and reported "PARTIAL",
// as when the program's own maximum cuts it.
//
// Memory stays bounded on a hostile body: each header name, content type,
// parameter name and parameter value holds at most kMaxHeaderPart bytes
// ("Multipart header line too long"), a separator learned from the body at
// most kMaxLearnedSeparator ("Failed to find boundary separator"), a field
// value at most the longest script text ("Out of memory").
#ifndef LUMO_WEB_MULTIPART_FORM_PARSER_H_
#define LUMO_WEB_MULTIPART_FORM_PARSER_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "files/file_manager.h"
#include "web/content_parser.h"

namespace lumo {

class LumoVM;

class MultipartFormParser : public HTTPContentParser {
 public:
  static constexpr int32_t kMaxHeaderPart = 64 * 1024;
  static constexpr int32_t kMaxLearnedSeparator = 1024;

  // vm runs the upload functions (null: every file is skipped); files makes
  // and deletes the temporary files. content_type is the request's whole
  // Content-Type value. limit: the most normal fields (0: no limit). With
  // `shared`, its limits apply instead (limit is then ignored): fields,
  // names, form bytes in memory and upload bytes on disk.
  MultipartFormParser(LumoVM* vm, FileManager* files, VariableHash* variables,
                      std::string_view content_type, int32_t limit,
                      FormLimits* shared = nullptr);
  // Deletes a temporary file still open (a body cut short, a failure).
  ~MultipartFormParser() override;

  bool Parse(const char* data, int32_t length) override;
  // Always true: a body that stops early keeps the fields that ended.
  bool Finish() override;

  // The boundary parameter of a content type, unquoted; false when there
  // is none.
  static bool FindBoundary(std::string_view content_type, String* boundary);

 protected:
  // A part's headers are read: asks the program about a file part.
  virtual bool BeginPart();
  // Some of the part's data (the whole part may come in many calls).
  virtual bool PartData(const char* data, int32_t length);
  // The part's separator has been seen: stores the field or hands the file
  // over.
  virtual bool EndPart();

 private:
  // Named after what each state waits for.
  enum State {
    kFirstSeparator,       // the body's first line, "--" + boundary
    kLearnSeparator,       // no boundary given: the first line is one
    kAfterFirstSeparator,  // CR ending the first separator line
    kBadStart,             // anything else: fail at the line's end
    kLineFeed,             // LF ending a separator or header line
    kHeaderStart,          // a header name, or CR of the empty line
    kHeaderName,           // up to ':'
    kContentType,          // a Content-Type value, up to CR
    kDisposition,          // a Content-Disposition value, up to ';'
    kParameterStart,       // blanks before a parameter name
    kParameterName,        // up to '='
    kParameterValue,       // up to ';' or CR
    kBodyLineFeed,         // LF ending the empty line
    kContentStart,         // the first byte of the part's data
    kContent,              // data, watching for the separator's CR
    kMatch,                // a separator match begun in this piece
    kCarriedMatch,         // a separator match begun in an earlier piece
    kSeparatorEnd,         // after a separator: CR (next part) or "--"
    kSecondDash,           // the second '-' of the closing separator
    kDone,                 // after the closing separator: ignore the rest
    kFailed,
  };
  enum FileMode { kWriting, kTruncated, kSkipped };

  void Fail(std::string_view text);
  void FailFound(char byte, std::string_view expected);
  // Appends a header byte, failing once the buffer holds kMaxHeaderPart.
  bool AppendHeaderByte(String& buffer, char c);
  // A Content-Disposition parameter is complete.
  void EndParameter();
  // The file name without its quotes.
  String FileName() const;
  // Closes and deletes the current temporary file, if any.
  void DropTemporary();

  LumoVM* vm_;
  FileManager* files_;
  String separator_;  // "\r\n--" + boundary
  int32_t match_ = 0;
  State state_;
  String header_name_;
  String content_type_;
  String parameter_name_;
  String parameter_value_;
  String field_name_;
  String file_name_;  // with its quotes; empty for a normal field
  String field_value_;
  bool file_part_ = false;
  std::string_view status_;
  int64_t cap_ = -1;  // bytes this file may write to disk; -1: no cap
  int64_t received_ = 0;
  std::unique_ptr<File> file_;
  String file_path_;
  FileMode mode_ = kSkipped;
};

}  // namespace lumo

#endif  // LUMO_WEB_MULTIPART_FORM_PARSER_H_
