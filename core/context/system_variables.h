// The system variables whose value is computed when it is read: the clock,
// the time left before the run's deadline, the run's languages and default
// database, SSL availability and the whole configuration ("lumo_config").
// Each is read-only (an ImmutableVariable: stores succeed and change
// nothing, lookups never create) except the three language and database
// variables, whose stores go to the program context as well.
//
// The variables keep a pointer to the run's context, so they must not
// outlive it: they belong in the run's system scope, which dies with the
// run. Nothing here is shared between threads.
#ifndef LUMO_CORE_CONTEXT_SYSTEM_VARIABLES_H_
#define LUMO_CORE_CONTEXT_SYSTEM_VARIABLES_H_

#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <string_view>

#include "config/config.h"
#include "config/dex_config.h"
#include "core/base/string.h"
#include "values/variable.h"
#include "values/variable_hash.h"

namespace lumo {

class LumoApplication;

// --- Time fields ------------------------------------------------------------

// Fields 0..13, in the order of the variables named after them: time_t,
// tm_usec, tm_sec, tm_min, tm_hour, tm_mday, tm_mon, stm_mon, tm_year,
// tm_wday, stm_wday, tm_yday, tm_isdst, stm_zone.
inline constexpr int kTimeFieldCount = 14;

// One reading of the clock, the seconds broken down in local time.
struct TimeReading {
  int64_t seconds = 0;
  int32_t microseconds = 0;
  struct tm local = {};
};

TimeReading ReadTime(const struct timeval& now);
TimeReading ReadTimeNow();

// The name of field n without the "dyn_" prefix; empty outside 0..13.
std::string_view TimeFieldName(int field);
// True for the three name fields (stm_mon, stm_wday, stm_zone).
bool IsTimeTextField(int field);
// Field n as a script sees it: month 1..12, weekday 1..7 with Sunday 1,
// day of the year 1..366, the full year. 0 for the name fields and for
// numbers outside 0..13; time_t wraps to 32 bits.
int32_t TimeFieldInteger(const TimeReading& reading, int field);
// The three-letter month or weekday name, or the zone name; empty for the
// number fields.
std::string_view TimeFieldText(const TimeReading& reading, int field);

// --- Scalars computed on every reading --------------------------------------

// Refresh() brings the value caches up to date before every reading, so the
// inherited reading operations (and SetValue_Variable, which reads a
// source's caches) see the current value.
class ComputedVariable : public ImmutableVariable {
 public:
  ComputedVariable(std::string_view name, int storage_class)
      : ImmutableVariable(name), storage_class_(storage_class) {}
  ComputedVariable(const ComputedVariable&) = delete;

  const String& Value() override;
  int32_t Value_Integer() override;
  double Value_Double() override;
  double Value_Double_Flagged(bool* not_a_number) override;
  int StorageClass() override;
  int ValueType() override;
  bool Value_Boolean() override;
  bool IsEmpty() override;

 protected:
  virtual void Refresh() = 0;
  void StoreText(std::string_view text);

 private:
  int storage_class_;
};

// "dyn_time_t" ... "dyn_stm_zone": one field of the clock, read anew each
// time.
class DynamicTimeVariable : public ComputedVariable {
 public:
  explicit DynamicTimeVariable(int field);

  // The field as a number, flag clear, even for the name fields.
  double Value_Double_Flagged(bool* not_a_number) override;

 protected:
  void Refresh() override;

 private:
  int field_;
};

// "dyn_time_remaining": whole seconds before the run's deadline, -1 when
// the run has none.
class TimeRemainingVariable : public ComputedVariable {
 public:
  explicit TimeRemainingVariable(LumoApplication* context);

 protected:
  void Refresh() override;

 private:
  LumoApplication* context_;
};

// A text the context keeps with a change counter. The value is copied from
// the context when the counter moved; a store hands the new text to the
// context first, then keeps it as an ordinary variable would.
class ContextTextVariable : public ComputedVariable {
 public:
  ContextTextVariable(std::string_view name, LumoApplication* context)
      : ComputedVariable(name, kStorageOrdinary), context_(context) {}

  bool SetValue_Variable(Variable* source) override;
  bool SetValue(const char* bytes, int32_t length) override;
  bool SetValue_Nocopy(char* buffer, int32_t length, int32_t capacity) override;
  bool SetValue_Integer(int32_t value) override;
  bool SetValue_Double(double value) override;

 protected:
  virtual const String& ContextText() = 0;
  virtual uint32_t ContextChanges() = 0;
  virtual void HandToContext(std::string_view text) = 0;
  void Refresh() override;

  LumoApplication* context_;

 private:
  uint32_t seen_changes_ = 0;  // the context's counters start at 1
};

// "lumo_language"
class LanguageVariable : public ContextTextVariable {
 public:
  explicit LanguageVariable(LumoApplication* context);

 protected:
  const String& ContextText() override;
  uint32_t ContextChanges() override;
  void HandToContext(std::string_view text) override;
};

// "lumo_defaultlanguage"
class DefaultLanguageVariable : public ContextTextVariable {
 public:
  explicit DefaultLanguageVariable(LumoApplication* context);

 protected:
  const String& ContextText() override;
  uint32_t ContextChanges() override;
  void HandToContext(std::string_view text) override;
};

// "lumo_defaultdatabase": assigning it is how a script changes its default
// database.
class DefaultDatabaseVariable : public ContextTextVariable {
 public:
  explicit DefaultDatabaseVariable(LumoApplication* context);

 protected:
  const String& ContextText() override;
  uint32_t ContextChanges() override;
  void HandToContext(std::string_view text) override;
};

// "lumo_sslavailable": 1 or 0, asked of the context once (the answer may
// cost loading the SSL libraries).
class SSLAvailableVariable : public ComputedVariable {
 public:
  explicit SSLAvailableVariable(LumoApplication* context);

 protected:
  void Refresh() override;

 private:
  LumoApplication* context_;
  bool asked_ = false;
};

// A member of "lumo_config": one configuration item, read from the
// context's configuration at every access. Integer items give the number
// (text "%d"); text items give the text, empty when the item has none, and
// integer 0.
class ConfigurationVariable : public ComputedVariable {
 public:
  ConfigurationVariable(std::string_view name, LumoApplication* context, ConfigId id);

 protected:
  void Refresh() override;

 private:
  LumoApplication* context_;
  ConfigId id_;
};

// --- Aggregates filled on first use -----------------------------------------

// An immutable array or structure whose elements are made by Build() the
// first time anything looks at them. Elements the class adds later (a
// lookup's answers) go straight into the tree.
class LazyAggregateVariable : public ImmutableVariable {
 public:
  LazyAggregateVariable(std::string_view name, int aggregate_type);
  LazyAggregateVariable(const LazyAggregateVariable&) = delete;

  const String& Value() override;
  AggregateElementTree* Elements() override;
  Variable* Element_Path(const AggregateIndex* path, int32_t count, bool create) override;
  Variable* Element(const AggregateIndex& index, bool create) override;
  int32_t Array_Max() override;
  int32_t Array_Min() override;
  int32_t Array_Next(int32_t index) override;
  int32_t Array_Previous(int32_t index) override;
  int32_t ElementsUsed() override;
  void Append_Text(String& out) override;

 protected:
  virtual void Build() {}
  void EnsureBuilt() {
    if (!built_) {
      built_ = true;
      Build();
    }
  }
  // Adds an element holding `variable`; takes over the caller's reference.
  void Add(const AggregateIndex& index, Variable* variable);

 private:
  bool built_ = false;
};

// "lumo_config": a structure with one ConfigurationVariable per item of the
// settings table, in table order, then the library lists and lookups.
// Missing members are never created: a lookup that asks for creation gets
// the immutable's empty null variable.
class ConfigurationAggregateVariable : public LazyAggregateVariable {
 public:
  explicit ConfigurationAggregateVariable(LumoApplication* context);

 protected:
  void Build() override;

 private:
  LumoApplication* context_;
};

// The kind numbers of the library members: 0 commerce, 1 database, 2
// system.
LibraryType LibraryTypeOfKind(int kind);

// "commerce_list", "database_list", "systemlib_list": the names of the
// configured libraries of one kind, numbered from 1 in registration order.
class ConfigurationLibraryListVariable : public LazyAggregateVariable {
 public:
  ConfigurationLibraryListVariable(std::string_view name, LumoApplication* context, int kind);

 protected:
  void Build() override;

 private:
  LumoApplication* context_;
  int kind_;
};

// "commerce_lookup", "database_lookup", "systemlib_lookup": looking up a
// name asks the context once whether a library of that kind and name is
// configured and keeps the answer (1 or 0) as a member. Library names
// compare without case, as member names do, so the answer does not depend
// on the case the name was first asked in. Numeric indexes find nothing.
class ConfigurationLibraryLookupVariable : public LazyAggregateVariable {
 public:
  ConfigurationLibraryLookupVariable(std::string_view name, LumoApplication* context, int kind);

  Variable* Element(const AggregateIndex& index, bool create) override;

 private:
  LumoApplication* context_;
  int kind_;
};

// --- Installing them in a run's system scope --------------------------------

// Installs the fourteen "dyn_" time variables, "dyn_time_remaining",
// "lumo_language", "lumo_defaultlanguage", "lumo_defaultdatabase",
// "lumo_sslavailable" and "lumo_config", bound to `context`. Each goes into
// the entry of its name (a loaded program's table has the names it uses,
// without variables), replacing what was there, or into a new entry. Call it
// after the program is loaded: loading replaces the whole table.
void InstallDynamicVariables(LumoApplication* context, VariableHash* system);

// Installs the plain variables fixed for the run: "time_t" ... "stm_zone"
// (the time fields of `now`, numbers as integers, names as text),
// "globaltimeout", "lumoversion" and "process_id" (the calling thread's id,
// as a double).
void InstallFixedTimeVariables(VariableHash* system, const struct timeval& now,
                               int32_t global_timeout);

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_SYSTEM_VARIABLES_H_
