#include "core/context/system_variables.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/base/conversions.h"
#include "core/context/lumo_application.h"

namespace lumo {

namespace {

// The variables' names; the fixed ones drop the "dyn_".
constexpr std::string_view kDynamicTimeNames[kTimeFieldCount] = {
    "dyn_time_t",   "dyn_tm_usec",  "dyn_tm_sec",   "dyn_tm_min",   "dyn_tm_hour",
    "dyn_tm_mday",  "dyn_tm_mon",   "dyn_stm_mon",  "dyn_tm_year",  "dyn_tm_wday",
    "dyn_stm_wday", "dyn_tm_yday",  "dyn_tm_isdst", "dyn_stm_zone",
};
constexpr std::string_view kDynamicPrefix = "dyn_";

constexpr std::string_view kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Also in the web context's server_software; scripts compare it as text.
constexpr const char* kScriptVersion = "5.20";

constexpr std::string_view kLibraryListNames[3] = {"commerce_list", "database_list",
                                                   "systemlib_list"};
constexpr std::string_view kLibraryLookupNames[3] = {"commerce_lookup", "database_lookup",
                                                     "systemlib_lookup"};

}  // namespace

// --- Time fields ------------------------------------------------------------

TimeReading ReadTime(const struct timeval& now) {
  TimeReading reading;
  reading.seconds = static_cast<int64_t>(now.tv_sec);
  reading.microseconds = static_cast<int32_t>(now.tv_usec);
  const time_t seconds = now.tv_sec;
  // A time localtime_r cannot break down leaves the fields zero.
  if (localtime_r(&seconds, &reading.local) == nullptr) reading.local = {};
  return reading;
}

TimeReading ReadTimeNow() {
  struct timeval now = {};
  gettimeofday(&now, nullptr);
  return ReadTime(now);
}

std::string_view TimeFieldName(int field) {
  if (field < 0 || field >= kTimeFieldCount) return {};
  return kDynamicTimeNames[field].substr(kDynamicPrefix.size());
}

bool IsTimeTextField(int field) { return field == 7 || field == 10 || field == 13; }

int32_t TimeFieldInteger(const TimeReading& reading, int field) {
  const struct tm& t = reading.local;
  switch (field) {
    case 0: return static_cast<int32_t>(reading.seconds);
    case 1: return reading.microseconds;
    case 2: return t.tm_sec;
    case 3: return t.tm_min;
    case 4: return t.tm_hour;
    case 5: return t.tm_mday;
    case 6: return t.tm_mon + 1;
    case 8: return t.tm_year + 1900;
    case 9: return t.tm_wday + 1;
    case 11: return t.tm_yday + 1;
    case 12: return t.tm_isdst;
    default: return 0;
  }
}

std::string_view TimeFieldText(const TimeReading& reading, int field) {
  const struct tm& t = reading.local;
  switch (field) {
    case 7: return t.tm_mon >= 0 && t.tm_mon < 12 ? kMonthNames[t.tm_mon] : std::string_view();
    case 10: return t.tm_wday >= 0 && t.tm_wday < 7 ? kDayNames[t.tm_wday] : std::string_view();
    // glibc points tm_zone at the daylight name when tm_isdst is set.
    case 13: return t.tm_zone != nullptr ? std::string_view(t.tm_zone) : std::string_view();
    default: return {};
  }
}

// --- ComputedVariable -------------------------------------------------------

const String& ComputedVariable::Value() {
  Refresh();
  return Variable::Value();
}

int32_t ComputedVariable::Value_Integer() {
  Refresh();
  return Variable::Value_Integer();
}

double ComputedVariable::Value_Double() {
  Refresh();
  return Variable::Value_Double();
}

double ComputedVariable::Value_Double_Flagged(bool* not_a_number) {
  Refresh();
  return Variable::Value_Double_Flagged(not_a_number);
}

int ComputedVariable::StorageClass() {
  // A copy from an ordinary-class source reads its caches directly, right
  // after asking this; without the refresh it would copy a stale value.
  if (storage_class_ == kStorageOrdinary) Refresh();
  return storage_class_;
}

int ComputedVariable::ValueType() {
  Refresh();
  return Variable::ValueType();
}

bool ComputedVariable::Value_Boolean() {
  Refresh();
  return Variable::Value_Boolean();
}

bool ComputedVariable::IsEmpty() {
  Refresh();
  return Variable::IsEmpty();
}

void ComputedVariable::StoreText(std::string_view text) {
  text_.Assign(text.data(), static_cast<int32_t>(text.size()));
  valid_ = kTextValid;
  value_type_ = kValueText;
}

// --- DynamicTimeVariable ----------------------------------------------------

DynamicTimeVariable::DynamicTimeVariable(int field)
    : ComputedVariable(field >= 0 && field < kTimeFieldCount ? kDynamicTimeNames[field]
                                                             : std::string_view(),
                       IsTimeTextField(field) ? kStorageFixedText : kStorageFixedInteger),
      field_(field) {}

double DynamicTimeVariable::Value_Double_Flagged(bool* not_a_number) {
  *not_a_number = false;
  return Value_Integer();
}

void DynamicTimeVariable::Refresh() {
  const TimeReading now = ReadTimeNow();
  if (IsTimeTextField(field_)) {
    StoreText(TimeFieldText(now, field_));
    return;
  }
  StoreInteger(TimeFieldInteger(now, field_));
  if (field_ == 0) {
    // The text keeps every second; only the integer is cut to 32 bits.
    char digits[24];
    const int n = snprintf(digits, sizeof digits, "%" PRId64, now.seconds);
    text_.Assign(digits, n);
    valid_ |= kTextValid;
  }
}

// --- TimeRemainingVariable --------------------------------------------------

TimeRemainingVariable::TimeRemainingVariable(LumoApplication* context)
    : ComputedVariable("dyn_time_remaining", kStorageFixedInteger), context_(context) {}

void TimeRemainingVariable::Refresh() {
  const int64_t left = context_->TimeRemaining();
  StoreInteger(left > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left));
}

// --- Language and default database ------------------------------------------

void ContextTextVariable::Refresh() {
  const uint32_t changes = ContextChanges();
  if (changes == seen_changes_) return;
  StoreText(ContextText().View());
  seen_changes_ = changes;
}

bool ContextTextVariable::SetValue(const char* bytes, int32_t length) {
  // A copy first: the bytes may be our own text or the context's.
  const String text(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
  HandToContext(text.View());
  seen_changes_ = ContextChanges();
  StoreText(text.View());
  return true;
}

bool ContextTextVariable::SetValue_Nocopy(char* buffer, int32_t length, int32_t capacity) {
  // The buffer is given up in every case, memory running out included.
  struct Freed {
    char* buffer;
    int32_t capacity;
    ~Freed() { FreeText(buffer, capacity); }
  } const freed{buffer, capacity};
  return SetValue(buffer, length);
}

bool ContextTextVariable::SetValue_Integer(int32_t value) {
  const String text = FormatInteger(value);
  return SetValue(text.Text(), text.Length());
}

bool ContextTextVariable::SetValue_Double(double value) {
  const String text = FormatDouble(value, -1);
  return SetValue(text.Text(), text.Length());
}

bool ContextTextVariable::SetValue_Variable(Variable* source) {
  if (source == nullptr) return true;
  const String text(source->Value());
  return SetValue(text.Text(), text.Length());
}

LanguageVariable::LanguageVariable(LumoApplication* context)
    : ContextTextVariable("lumo_language", context) {}
const String& LanguageVariable::ContextText() { return context_->Language(); }
uint32_t LanguageVariable::ContextChanges() { return context_->LanguageChanges(); }
void LanguageVariable::HandToContext(std::string_view text) { context_->SetLanguage(text); }

DefaultLanguageVariable::DefaultLanguageVariable(LumoApplication* context)
    : ContextTextVariable("lumo_defaultlanguage", context) {}
const String& DefaultLanguageVariable::ContextText() { return context_->DefaultLanguage(); }
uint32_t DefaultLanguageVariable::ContextChanges() {
  return context_->DefaultLanguageChanges();
}
void DefaultLanguageVariable::HandToContext(std::string_view text) {
  context_->SetDefaultLanguage(text);
}

DefaultDatabaseVariable::DefaultDatabaseVariable(LumoApplication* context)
    : ContextTextVariable("lumo_defaultdatabase", context) {}
const String& DefaultDatabaseVariable::ContextText() { return context_->DefaultDatabaseType(); }
uint32_t DefaultDatabaseVariable::ContextChanges() {
  return context_->DefaultDatabaseTypeChanges();
}
void DefaultDatabaseVariable::HandToContext(std::string_view text) {
  context_->SetDefaultDatabaseType(text);
}

// --- SSLAvailableVariable ---------------------------------------------------

SSLAvailableVariable::SSLAvailableVariable(LumoApplication* context)
    : ComputedVariable("lumo_sslavailable", kStorageOrdinary), context_(context) {}

void SSLAvailableVariable::Refresh() {
  if (asked_) return;
  asked_ = true;
  StoreInteger(context_->SSLAvailable() ? 1 : 0);
  Variable::Compute_Text();
}

// --- ConfigurationVariable --------------------------------------------------

ConfigurationVariable::ConfigurationVariable(std::string_view name, LumoApplication* context,
                                             ConfigId id)
    : ComputedVariable(name, IsTextConfigId(id) ? kStorageFixedText : kStorageFixedInteger),
      context_(context),
      id_(id) {}

void ConfigurationVariable::Refresh() {
  Config* config = context_->Configuration();
  if (IsTextConfigId(id_)) {
    const String* text = config != nullptr ? config->GetText(id_) : nullptr;
    StoreText(text != nullptr ? text->View() : std::string_view());
  } else {
    StoreInteger(config != nullptr ? config->GetInteger(id_) : 0);
  }
}

// --- LazyAggregateVariable --------------------------------------------------

LazyAggregateVariable::LazyAggregateVariable(std::string_view name, int aggregate_type)
    : ImmutableVariable(name) {
  // The kind is known before the elements are: copies and type checks
  // must see an aggregate from the start.
  Variable::Make_Aggregate(aggregate_type);
}

void LazyAggregateVariable::Add(const AggregateIndex& index, Variable* variable) {
  elements_->Insert(new AggregateElement(index, variable));
  variable->Free();
}

const String& LazyAggregateVariable::Value() {
  EnsureBuilt();
  return Variable::Value();
}

AggregateElementTree* LazyAggregateVariable::Elements() {
  EnsureBuilt();
  return Variable::Elements();
}

Variable* LazyAggregateVariable::Element_Path(const AggregateIndex* path, int32_t count,
                                              bool create) {
  if (count <= 0) return this;
  // Through Element, so that a lookup's first step can answer a new name.
  Variable* v = Element(path[0], create);
  if (v == nullptr || count == 1) return v;
  return v->Element_Path(path + 1, count - 1, create);
}

Variable* LazyAggregateVariable::Element(const AggregateIndex& index, bool create) {
  EnsureBuilt();
  return ImmutableVariable::Element(index, create);
}

int32_t LazyAggregateVariable::Array_Max() {
  EnsureBuilt();
  return Variable::Array_Max();
}

int32_t LazyAggregateVariable::Array_Min() {
  EnsureBuilt();
  return Variable::Array_Min();
}

int32_t LazyAggregateVariable::Array_Next(int32_t index) {
  EnsureBuilt();
  return Variable::Array_Next(index);
}

int32_t LazyAggregateVariable::Array_Previous(int32_t index) {
  EnsureBuilt();
  return Variable::Array_Previous(index);
}

int32_t LazyAggregateVariable::ElementsUsed() {
  EnsureBuilt();
  return Variable::ElementsUsed();
}

void LazyAggregateVariable::Append_Text(String& out) {
  EnsureBuilt();
  Variable::Append_Text(out);
}

// --- Configuration aggregate and library variables --------------------------

ConfigurationAggregateVariable::ConfigurationAggregateVariable(LumoApplication* context)
    : LazyAggregateVariable("lumo_config", kAggregateStructure), context_(context) {}

void ConfigurationAggregateVariable::Build() {
  int32_t count = 0;
  const ConfigSetting* settings = ConfigSettings(&count);
  for (int32_t i = 0; i < count; ++i) {
    const std::string_view name = settings[i].script_name;
    Add(AggregateIndex(name), new ConfigurationVariable(name, context_, settings[i].id));
  }
  for (int kind = 0; kind < 3; ++kind) {
    Add(AggregateIndex(kLibraryListNames[kind]),
        new ConfigurationLibraryListVariable(kLibraryListNames[kind], context_, kind));
  }
  for (int kind = 0; kind < 3; ++kind) {
    Add(AggregateIndex(kLibraryLookupNames[kind]),
        new ConfigurationLibraryLookupVariable(kLibraryLookupNames[kind], context_, kind));
  }
}

LibraryType LibraryTypeOfKind(int kind) {
  switch (kind) {
    case 0: return LibraryType::kCommerce;
    case 1: return LibraryType::kDatabase;
    default: return LibraryType::kSystem;
  }
}

ConfigurationLibraryListVariable::ConfigurationLibraryListVariable(std::string_view name,
                                                                   LumoApplication* context,
                                                                   int kind)
    : LazyAggregateVariable(name, kAggregateArray), context_(context), kind_(kind) {}

void ConfigurationLibraryListVariable::Build() {
  std::vector<String> names;
  context_->LibraryNames(LibraryTypeOfKind(kind_), &names);
  for (size_t i = 0; i < names.size() && i < INT32_MAX; ++i) {
    Add(AggregateIndex(static_cast<int32_t>(i + 1)),
        new ImmutableVariable(std::string_view(), names[i].View()));
  }
}

ConfigurationLibraryLookupVariable::ConfigurationLibraryLookupVariable(std::string_view name,
                                                                       LumoApplication* context,
                                                                       int kind)
    : LazyAggregateVariable(name, kAggregateStructure), context_(context), kind_(kind) {}

Variable* ConfigurationLibraryLookupVariable::Element(const AggregateIndex& index,
                                                      bool create) {
  if (!index.IsNumber() && Variable::Element(index, false) == nullptr) {
    std::vector<String> names;
    context_->LibraryNames(LibraryTypeOfKind(kind_), &names);
    bool known = false;
    for (const String& name : names) {
      if (name.EqualsNoCase(index.Text().View())) {
        known = true;
        break;
      }
    }
    Add(index, new ImmutableVariable(std::string_view(), int32_t{known ? 1 : 0}));
  }
  return LazyAggregateVariable::Element(index, create);
}

// --- Installing -------------------------------------------------------------

void InstallDynamicVariables(LumoApplication* context, VariableHash* system) {
  // ReplaceVariable takes over the reference each new variable starts with.
  for (int field = 0; field < kTimeFieldCount; ++field) {
    system->ReplaceVariable(new DynamicTimeVariable(field));
  }
  system->ReplaceVariable(new TimeRemainingVariable(context));
  system->ReplaceVariable(new LanguageVariable(context));
  system->ReplaceVariable(new DefaultLanguageVariable(context));
  system->ReplaceVariable(new DefaultDatabaseVariable(context));
  system->ReplaceVariable(new SSLAvailableVariable(context));
  system->ReplaceVariable(new ConfigurationAggregateVariable(context));
}

void InstallFixedTimeVariables(VariableHash* system, const struct timeval& now,
                               int32_t global_timeout) {
  const TimeReading reading = ReadTime(now);
  for (int field = 0; field < kTimeFieldCount; ++field) {
    const std::string_view name = TimeFieldName(field);
    system->ReplaceVariable(IsTimeTextField(field)
                                ? new Variable(name, TimeFieldText(reading, field))
                                : new Variable(name, TimeFieldInteger(reading, field)));
  }
  system->ReplaceVariable(new Variable("globaltimeout", global_timeout));
  system->ReplaceVariable(new Variable("lumoversion", kScriptVersion));
  static thread_local const pid_t thread = gettid();
  system->ReplaceVariable(new Variable("process_id", static_cast<double>(thread)));
}

}  // namespace lumo
