#include "core/context/system_variables.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/base/dictionary.h"
#include "core/context/console_application.h"
#include "values/system_variable_hash.h"

namespace lumo {
namespace {

// A context with two commerce libraries, a clock the test moves, and
// counters for the questions that should be asked only once.
class CountingContext : public ConsoleApplication {
 public:
  CountingContext() : ConsoleApplication(stdout, &config) {}
  void LibraryNames(LibraryType type, std::vector<String>* names) override {
    ++library_queries;
    names->clear();
    if (type == LibraryType::kCommerce) {
      names->emplace_back("PayGate");
      names->emplace_back("cardnet");
    }
  }
  bool LoadSSL(String* error) override {
    ++ssl_loads;
    return LumoApplication::LoadSSL(error);
  }
  int64_t Now() const override { return now; }

  Config config;
  int library_queries = 0;
  int ssl_loads = 0;
  int64_t now = 1'000'000;
};

class SystemVariables : public ::testing::Test {
 protected:
  SystemVariables() { InstallDynamicVariables(&context, &system); }

  Variable* Get(std::string_view name) {
    Variable* v = nullptr;
    system.Find(&v, name.data(), static_cast<int32_t>(name.size()), false);
    return v;
  }
  static Variable* Member(Variable* v, std::string_view name, bool create = false) {
    return v->Element(AggregateIndex(name), create);
  }
  static std::string Text(Variable* v) { return std::string(v->Value().View()); }

  CountingContext context;
  Dictionary dictionary;
  SystemVariableHash system{&dictionary};
};

TEST_F(SystemVariables, ClockIsReadAtEveryReadingAndStoresChangeNothing) {
  Variable* usec = Get("dyn_tm_usec");
  ASSERT_NE(usec, nullptr);
  const int32_t first = usec->Value_Integer();
  bool changed = false;
  for (int i = 0; i < 10'000'000 && !changed; ++i) changed = usec->Value_Integer() != first;
  EXPECT_TRUE(changed);

  Variable* sec = Get("dyn_tm_sec");
  EXPECT_EQ(sec->StorageClass(), kStorageFixedInteger);
  sec->SetValue_Integer(99);
  EXPECT_GE(sec->Value_Integer(), 0);
  EXPECT_LE(sec->Value_Integer(), 60);

  Variable* month = Get("dyn_stm_mon");
  EXPECT_EQ(month->StorageClass(), kStorageFixedText);
  EXPECT_EQ(month->Value().Length(), 3);
  bool not_a_number = true;
  EXPECT_EQ(month->Value_Double_Flagged(&not_a_number), 0.0);
  EXPECT_FALSE(not_a_number);

  // time_t: the text is the whole number of seconds, read from the clock.
  const int64_t before = time(nullptr);
  const int64_t seconds = std::stoll(Text(Get("dyn_time_t")));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, before + 5);
}

// Month, weekday and day of the year count from one. Damaged fields give
// no name rather than a read outside the tables.
TEST(TimeFields, MonthWeekdayAndDayOfYearCountFromOne) {
  const struct { int mon, wday, yday; const char* fields; } cases[] = {
      {0, 0, 0, "1 Jan 1 Sun 1 2024"}, {11, 6, 365, "12 Dec 7 Sat 366 2024"}, {12, -1, 0, "13  0  1 2024"}};
  for (const auto& c : cases) {
    TimeReading t;
    t.local.tm_mon = c.mon, t.local.tm_wday = c.wday, t.local.tm_yday = c.yday, t.local.tm_year = 124;
    std::string fields;
    for (int field : {6, 7, 9, 10, 11, 8}) {
      if (!fields.empty()) fields += ' ';
      fields += field == 7 || field == 10 ? std::string(TimeFieldText(t, field))
                                          : std::to_string(TimeFieldInteger(t, field));
    }
    EXPECT_EQ(fields, c.fields);
  }
}

TEST(FixedTimeVariables, TakenOnceIntoTheProgramsEntries) {
  Dictionary dictionary;
  VariableHash system(&dictionary);
  // A loaded program's table names the variables it uses, without values.
  const int32_t sec_entry = system.AddEntry("tm_sec", -1);
  const timeval now = {1709467200, 123456};  // Sunday 2024-03-03 12:00 UTC
  InstallFixedTimeVariables(&system, now, 90);
  InstallFixedTimeVariables(&system, now, 90);  // again: replaces, no second entry
  EXPECT_EQ(system.Count(), 17);
  EXPECT_NE(system.Index(sec_entry, false), nullptr);

  auto get = [&system](std::string_view name) {
    Variable* v = nullptr;
    system.Find(&v, name.data(), static_cast<int32_t>(name.size()), false);
    return v;
  };
  EXPECT_EQ(get("tm_usec")->Value_Integer(), 123456);
  EXPECT_EQ(get("time_t")->Value_Integer(), 1709467200);
  // Noon UTC is the same date in every zone within twelve hours.
  EXPECT_EQ(get("tm_mday")->Value_Integer(), 3);
  EXPECT_EQ(get("tm_mon")->Value_Integer(), 3);
  EXPECT_EQ(get("tm_wday")->Value_Integer(), 1);
  EXPECT_EQ(get("tm_yday")->Value_Integer(), 63);
  EXPECT_EQ(get("tm_mon")->ValueType(), kValueInteger);
  EXPECT_EQ(get("stm_mon")->Value().View(), "Mar");
  EXPECT_EQ(get("stm_wday")->Value().View(), "Sun");
  EXPECT_EQ(get("globaltimeout")->Value_Integer(), 90);
  EXPECT_EQ(get("lumoversion")->Value().View(), "5.20");
  EXPECT_EQ(get("process_id")->ValueType(), kValueDouble);
  EXPECT_GT(get("process_id")->Value_Double(), 0.0);
}

// The deadline arithmetic is the context's; the variable only reads it.
TEST_F(SystemVariables, TimeRemainingFollowsTheDeadline) {
  Variable* left = Get("dyn_time_remaining");
  EXPECT_EQ(Text(left), "-1");
  context.config.SetInteger(kConfigTimeoutGlobal, 90);
  context.BeginExecution();
  context.now += 30;
  EXPECT_EQ(Text(left) + " " + std::to_string(left->Value_Integer()), "60 60");
}

TEST_F(SystemVariables, LanguageAndDatabaseStoresReachTheContext) {
  struct Case {
    const char* name;
    const String& (LumoApplication::*get)() const;
    void (LumoApplication::*set)(std::string_view);
  };
  const Case cases[] = {
      {"lumo_language", &LumoApplication::Language, &LumoApplication::SetLanguage},
      {"lumo_defaultlanguage", &LumoApplication::DefaultLanguage,
       &LumoApplication::SetDefaultLanguage},
      {"lumo_defaultdatabase", &LumoApplication::DefaultDatabaseType,
       &LumoApplication::SetDefaultDatabaseType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Variable* v = Get(c.name);
    EXPECT_EQ(v->Value().View(), (context.*c.get)().View());
    v->SetValue("fr", 2);
    EXPECT_EQ((context.*c.get)().View(), "fr");
    EXPECT_EQ(Text(v), "fr");
    (context.*c.set)("de");
    EXPECT_EQ(Text(v), "de");
    // A copy made before anyone reads the new value still sees it.
    (context.*c.set)("it");
    Variable copy("copy");
    copy.SetValue_Variable(v);
    EXPECT_EQ(Text(&copy), "it");
    v->SetValue_Integer(12);
    EXPECT_EQ((context.*c.get)().View(), "12");
    v->SetValue_Double(2.5);
    EXPECT_EQ((context.*c.get)().View(), "2.5");
    char* buffer = static_cast<char*>(malloc(8));
    memcpy(buffer, "odbc", 5);
    v->SetValue_Nocopy(buffer, 4, 8);
    EXPECT_EQ((context.*c.get)().View(), "odbc");
    EXPECT_EQ(Text(v), "odbc");
  }
}

TEST_F(SystemVariables, SSLAvailabilityIsAskedOnce) {
  Variable* ssl = Get("lumo_sslavailable");
  Variable copy("copy");
  copy.SetValue_Variable(ssl);  // before any reading
  EXPECT_EQ(Text(&copy), "0");
  EXPECT_EQ(Text(ssl), "0");
  EXPECT_EQ(ssl->Value_Integer(), 0);
  EXPECT_EQ(context.ssl_loads, 1);
}

TEST_F(SystemVariables, ConfigurationIsReadAtEveryAccessAndNeverCreated) {
  Variable* config = Get("lumo_config");
  ASSERT_NE(config, nullptr);
  int32_t settings = 0;
  ConfigSettings(&settings);
  EXPECT_EQ(config->ElementsUsed(), settings + 6);

  Variable* timeout = Member(config, "TIMEOUT_GLOBAL");
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(Text(timeout), "90");
  EXPECT_EQ(timeout->StorageClass(), kStorageFixedInteger);
  context.config.SetInteger(kConfigTimeoutGlobal, 7);
  EXPECT_EQ(timeout->Value_Integer(), 7);
  timeout->SetValue_Integer(5);
  EXPECT_EQ(timeout->Value_Integer(), 7);
  EXPECT_EQ(context.config.GetInteger(kConfigTimeoutGlobal), 7);

  Variable* commerce = Member(config, "dir_commerce");
  EXPECT_TRUE(commerce->IsEmpty());
  context.config.SetText(kConfigDirCommerce, "/srv/shop");
  EXPECT_EQ(Text(commerce), "/srv/shop");
  EXPECT_EQ(commerce->Value_Integer(), 0);
  EXPECT_EQ(Text(Member(config, "dir_user")), "public_lmt");

  // Missing members, numeric indexes and stores leave the structure alone.
  Variable* missing = Member(config, "nosuch", true);
  ASSERT_NE(missing, nullptr);
  EXPECT_TRUE(missing->IsNull());
  const AggregateIndex path[] = {AggregateIndex("nosuch"), AggregateIndex("deeper")};
  EXPECT_NE(config->Element_Path(path, 2, true), nullptr);
  EXPECT_EQ(config->Element_Path(path, 2, false), nullptr);
  EXPECT_EQ(config->Element(AggregateIndex(1), false), nullptr);
  Variable stray("stray", "x");
  config->Set_Element(AggregateIndex("stray"), &stray);
  EXPECT_EQ(Member(config, "nosuch"), nullptr);
  EXPECT_EQ(Member(config, "stray"), nullptr);
  EXPECT_EQ(config->ElementsUsed(), settings + 6);

  // A copy is an ordinary structure holding the values of the moment.
  Variable copy("copy");
  copy.SetValue_Variable(config);
  EXPECT_EQ(copy.Aggregate_Type(), kAggregateStructure);
  EXPECT_EQ(Text(Member(&copy, "timeout_global")), "7");
}

TEST_F(SystemVariables, LibraryListsAndLookupsAskOnce) {
  Variable* config = Get("lumo_config");
  Variable* list = Member(config, "commerce_list");
  EXPECT_EQ(list->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(context.library_queries, 0);
  EXPECT_EQ(list->Array_Max(), 2);
  EXPECT_EQ(Text(list->Element(AggregateIndex(1), false)), "PayGate");
  EXPECT_EQ(Text(list), "PayGate,cardnet");
  EXPECT_EQ(context.library_queries, 1);

  context.library_queries = 0;
  Variable* lookup = Member(config, "commerce_lookup");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(Member(lookup, "paygate")->Value_Integer(), 1);
    EXPECT_EQ(Member(lookup, "PAYGATE")->Value_Integer(), 1);
    EXPECT_EQ(Member(lookup, "other")->Value_Integer(), 0);
    EXPECT_EQ(context.library_queries, 2);
  }
  EXPECT_EQ(lookup->Element(AggregateIndex(1), false), nullptr);
  EXPECT_EQ(context.library_queries, 2);
  const AggregateIndex path[] = {AggregateIndex("commerce_lookup"), AggregateIndex("cardnet")};
  EXPECT_EQ(config->Element_Path(path, 2, false)->Value_Integer(), 1);
  EXPECT_EQ(Member(Member(config, "database_lookup"), "PayGate")->Value_Integer(), 0);
}

}  // namespace
}  // namespace lumo
