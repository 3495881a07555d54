// The function table the host binds script calls against. The library
// exports this one symbol; everything else stays hidden.
#include "include/lumo/lumo.h"
#include "stdlib/functions.h"

namespace lumostd {
namespace {

#define LUMOSTD_PARAMETER(name) {name, sizeof(name) - 1, 0}
#define LUMOSTD_REFERENCE(name) {name, sizeof(name) - 1, LM_PARAMETER_BY_REFERENCE}
#define LUMOSTD_ROW(name, parameters, entry) \
  {name, sizeof(name) - 1, sizeof(parameters) / sizeof(lmParameter), parameters, entry}
#define LUMOSTD_ROW0(name, entry) {name, sizeof(name) - 1, 0, nullptr, entry}

const lmParameter kLenParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kSubstrParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("start"), LUMOSTD_PARAMETER("length")};
const lmParameter kLeftParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("count")};
const lmParameter kRightParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("count")};
const lmParameter kFindParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("search")};
const lmParameter kFindLastParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("search")};
const lmParameter kReplaceParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("search"), LUMOSTD_PARAMETER("replacement")};
const lmParameter kUpperParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kLowerParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kTrimParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kLTrimParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kRTrimParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kLPadParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("width"), LUMOSTD_PARAMETER("fill")};
const lmParameter kRPadParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("width"), LUMOSTD_PARAMETER("fill")};
const lmParameter kRepeatParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("count")};
const lmParameter kSplitParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("separator")};
const lmParameter kJoinParameters[] = {LUMOSTD_PARAMETER("array"), LUMOSTD_PARAMETER("separator")};
const lmParameter kCompareParameters[] = {LUMOSTD_PARAMETER("first"), LUMOSTD_PARAMETER("second")};
const lmParameter kICompareParameters[] = {LUMOSTD_PARAMETER("first"), LUMOSTD_PARAMETER("second")};
const lmParameter kStartsWithParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("prefix")};
const lmParameter kEndsWithParameters[] = {LUMOSTD_PARAMETER("text"), LUMOSTD_PARAMETER("suffix")};
const lmParameter kOrdParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kChrParameters[] = {LUMOSTD_PARAMETER("code")};
const lmParameter kNumFormatParameters[] = {LUMOSTD_PARAMETER("number"), LUMOSTD_PARAMETER("decimals"), LUMOSTD_PARAMETER("separator")};
const lmParameter kAbsParameters[] = {LUMOSTD_PARAMETER("number")};
const lmParameter kFloorParameters[] = {LUMOSTD_PARAMETER("number")};
const lmParameter kCeilParameters[] = {LUMOSTD_PARAMETER("number")};
const lmParameter kRoundParameters[] = {LUMOSTD_PARAMETER("number"), LUMOSTD_PARAMETER("decimals")};
const lmParameter kMinParameters[] = {LUMOSTD_PARAMETER("first"), LUMOSTD_PARAMETER("second")};
const lmParameter kMaxParameters[] = {LUMOSTD_PARAMETER("first"), LUMOSTD_PARAMETER("second")};
const lmParameter kDivParameters[] = {LUMOSTD_PARAMETER("dividend"), LUMOSTD_PARAMETER("divisor")};
const lmParameter kRemParameters[] = {LUMOSTD_PARAMETER("dividend"), LUMOSTD_PARAMETER("divisor")};
const lmParameter kRandomParameters[] = {LUMOSTD_PARAMETER("low"), LUMOSTD_PARAMETER("high")};
const lmParameter kIsNumParameters[] = {LUMOSTD_PARAMETER("value")};
const lmParameter kTimeFormatParameters[] = {LUMOSTD_PARAMETER("time"), LUMOSTD_PARAMETER("pattern")};
const lmParameter kTimeLocalParameters[] = {LUMOSTD_PARAMETER("time"), LUMOSTD_PARAMETER("pattern")};
const lmParameter kTimeParseParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kAddDaysParameters[] = {LUMOSTD_PARAMETER("time"), LUMOSTD_PARAMETER("days")};
const lmParameter kAddMonthsParameters[] = {LUMOSTD_PARAMETER("time"), LUMOSTD_PARAMETER("months")};
const lmParameter kAddSecondsParameters[] = {LUMOSTD_PARAMETER("time"), LUMOSTD_PARAMETER("seconds")};
const lmParameter kWeekdayParameters[] = {LUMOSTD_PARAMETER("time")};
const lmParameter kUrlEncodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kUrlDecodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kHtmlEncodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kHtmlDecodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kBase64EncodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kBase64DecodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kHexEncodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kHexDecodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kMd5Parameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kSha1Parameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kSha256Parameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kHmacSha256Parameters[] = {LUMOSTD_PARAMETER("key"), LUMOSTD_PARAMETER("text")};
const lmParameter kJsonEncodeParameters[] = {LUMOSTD_PARAMETER("value")};
const lmParameter kJsonDecodeParameters[] = {LUMOSTD_PARAMETER("text")};
const lmParameter kCountParameters[] = {LUMOSTD_PARAMETER("array")};
const lmParameter kMembersParameters[] = {LUMOSTD_PARAMETER("array")};
const lmParameter kSortParameters[] = {LUMOSTD_PARAMETER("array"), LUMOSTD_PARAMETER("mode")};
const lmParameter kReverseParameters[] = {LUMOSTD_PARAMETER("array")};
const lmParameter kSearchParameters[] = {LUMOSTD_PARAMETER("array"), LUMOSTD_PARAMETER("value")};
const lmParameter kSliceParameters[] = {LUMOSTD_PARAMETER("array"), LUMOSTD_PARAMETER("start"), LUMOSTD_PARAMETER("count")};
const lmParameter kPushParameters[] = {LUMOSTD_REFERENCE("array"), LUMOSTD_PARAMETER("value")};
const lmParameter kPopParameters[] = {LUMOSTD_REFERENCE("array")};
const lmParameter kTypeParameters[] = {LUMOSTD_PARAMETER("value")};
const lmParameter kDefinedParameters[] = {LUMOSTD_PARAMETER("name")};
const lmParameter kCoalesceParameters[] = {LUMOSTD_PARAMETER("first"), LUMOSTD_PARAMETER("second")};
const lmParameter kFileReadParameters[] = {LUMOSTD_PARAMETER("path")};
const lmParameter kFileWriteParameters[] = {LUMOSTD_PARAMETER("path"), LUMOSTD_PARAMETER("text")};
const lmParameter kFileAppendParameters[] = {LUMOSTD_PARAMETER("path"), LUMOSTD_PARAMETER("text")};
const lmParameter kFileExistsParameters[] = {LUMOSTD_PARAMETER("path")};
const lmParameter kFileDeleteParameters[] = {LUMOSTD_PARAMETER("path")};
const lmParameter kDirListParameters[] = {LUMOSTD_PARAMETER("path")};
const lmParameter kSleepParameters[] = {LUMOSTD_PARAMETER("seconds")};

const lmFunction kFunctions[] = {
    LUMOSTD_ROW("len", kLenParameters, Len),
    LUMOSTD_ROW("substr", kSubstrParameters, Substr),
    LUMOSTD_ROW("left", kLeftParameters, Left),
    LUMOSTD_ROW("right", kRightParameters, Right),
    LUMOSTD_ROW("find", kFindParameters, Find),
    LUMOSTD_ROW("findlast", kFindLastParameters, FindLast),
    LUMOSTD_ROW("replace", kReplaceParameters, Replace),
    LUMOSTD_ROW("upper", kUpperParameters, Upper),
    LUMOSTD_ROW("lower", kLowerParameters, Lower),
    LUMOSTD_ROW("trim", kTrimParameters, Trim),
    LUMOSTD_ROW("ltrim", kLTrimParameters, LTrim),
    LUMOSTD_ROW("rtrim", kRTrimParameters, RTrim),
    LUMOSTD_ROW("lpad", kLPadParameters, LPad),
    LUMOSTD_ROW("rpad", kRPadParameters, RPad),
    LUMOSTD_ROW("repeat", kRepeatParameters, Repeat),
    LUMOSTD_ROW("split", kSplitParameters, Split),
    LUMOSTD_ROW("join", kJoinParameters, Join),
    LUMOSTD_ROW("compare", kCompareParameters, Compare),
    LUMOSTD_ROW("icompare", kICompareParameters, ICompare),
    LUMOSTD_ROW("startswith", kStartsWithParameters, StartsWith),
    LUMOSTD_ROW("endswith", kEndsWithParameters, EndsWith),
    LUMOSTD_ROW("ord", kOrdParameters, Ord),
    LUMOSTD_ROW("chr", kChrParameters, Chr),
    LUMOSTD_ROW("numformat", kNumFormatParameters, NumFormat),
    LUMOSTD_ROW("abs", kAbsParameters, Abs),
    LUMOSTD_ROW("floor", kFloorParameters, Floor),
    LUMOSTD_ROW("ceil", kCeilParameters, Ceil),
    LUMOSTD_ROW("round", kRoundParameters, Round),
    LUMOSTD_ROW("min", kMinParameters, Min),
    LUMOSTD_ROW("max", kMaxParameters, Max),
    LUMOSTD_ROW("div", kDivParameters, Div),
    LUMOSTD_ROW("rem", kRemParameters, Rem),
    LUMOSTD_ROW("random", kRandomParameters, Random),
    LUMOSTD_ROW("isnum", kIsNumParameters, IsNum),
    LUMOSTD_ROW0("now", Now),
    LUMOSTD_ROW("timeformat", kTimeFormatParameters, TimeFormat),
    LUMOSTD_ROW("timelocal", kTimeLocalParameters, TimeLocal),
    LUMOSTD_ROW("timeparse", kTimeParseParameters, TimeParse),
    LUMOSTD_ROW("adddays", kAddDaysParameters, AddDays),
    LUMOSTD_ROW("addmonths", kAddMonthsParameters, AddMonths),
    LUMOSTD_ROW("addseconds", kAddSecondsParameters, AddSeconds),
    LUMOSTD_ROW("weekday", kWeekdayParameters, Weekday),
    LUMOSTD_ROW("urlencode", kUrlEncodeParameters, UrlEncode),
    LUMOSTD_ROW("urldecode", kUrlDecodeParameters, UrlDecode),
    LUMOSTD_ROW("htmlencode", kHtmlEncodeParameters, HtmlEncode),
    LUMOSTD_ROW("htmldecode", kHtmlDecodeParameters, HtmlDecode),
    LUMOSTD_ROW("base64encode", kBase64EncodeParameters, Base64Encode),
    LUMOSTD_ROW("base64decode", kBase64DecodeParameters, Base64Decode),
    LUMOSTD_ROW("hexencode", kHexEncodeParameters, HexEncode),
    LUMOSTD_ROW("hexdecode", kHexDecodeParameters, HexDecode),
    LUMOSTD_ROW("md5", kMd5Parameters, Md5),
    LUMOSTD_ROW("sha1", kSha1Parameters, Sha1),
    LUMOSTD_ROW("sha256", kSha256Parameters, Sha256),
    LUMOSTD_ROW("hmacsha256", kHmacSha256Parameters, HmacSha256),
    LUMOSTD_ROW("jsonencode", kJsonEncodeParameters, JsonEncode),
    LUMOSTD_ROW("jsondecode", kJsonDecodeParameters, JsonDecode),
    LUMOSTD_ROW("count", kCountParameters, Count),
    LUMOSTD_ROW("members", kMembersParameters, Members),
    LUMOSTD_ROW("sort", kSortParameters, Sort),
    LUMOSTD_ROW("reverse", kReverseParameters, Reverse),
    LUMOSTD_ROW("search", kSearchParameters, Search),
    LUMOSTD_ROW("slice", kSliceParameters, Slice),
    LUMOSTD_ROW("push", kPushParameters, Push),
    LUMOSTD_ROW("pop", kPopParameters, Pop),
    LUMOSTD_ROW("type", kTypeParameters, Type),
    LUMOSTD_ROW("defined", kDefinedParameters, Defined),
    LUMOSTD_ROW("coalesce", kCoalesceParameters, Coalesce),
    LUMOSTD_ROW("fileread", kFileReadParameters, FileRead),
    LUMOSTD_ROW("filewrite", kFileWriteParameters, FileWrite),
    LUMOSTD_ROW("fileappend", kFileAppendParameters, FileAppend),
    LUMOSTD_ROW("fileexists", kFileExistsParameters, FileExists),
    LUMOSTD_ROW("filedelete", kFileDeleteParameters, FileDelete),
    LUMOSTD_ROW("dirlist", kDirListParameters, DirList),
    LUMOSTD_ROW("sleep", kSleepParameters, Sleep),
    LUMOSTD_ROW0("uuid", Uuid),
    {nullptr, 0, 0, nullptr, nullptr},
};

const lmFunctionTable kTable = {LM_FUNCTION_TABLE_VERSION, kFunctions};

}  // namespace
}  // namespace lumostd

extern "C" __attribute__((visibility("default"))) const lmFunctionTable* lumo_function_table(void) {
  return &lumostd::kTable;
}
