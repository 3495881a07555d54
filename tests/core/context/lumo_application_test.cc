#include "core/context/lumo_application.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "config/config.h"
#include "core/context/console_application.h"

namespace lumo {
namespace {

// A context whose clock the test moves.
class ClockedContext : public ConsoleApplication {
 public:
  ClockedContext() : ConsoleApplication(stdout, &config_) {}
  int64_t Now() const override { return now; }

  Config config_;
  int64_t now = 1'000'000;
};

bool Accepts(const LumoApplication& context, const char* file, int32_t line) {
  return context.AcceptsLog(file, static_cast<int32_t>(std::char_traits<char>::length(file)), line);
}

// A filter, then the places it lets through or not (a null filter keeps
// the last). Names compare whole and with case; an empty filter takes
// everything; what parses before damage is kept.
TEST(LogFilter, InclusionsExclusionsAndDamage) {
  const struct { const char* filter; const char* file; int32_t line; bool accepted; } cases[] = {
      {"page.lum:10-20, !page.lum:15", "page.lum", 9, false}, {nullptr, "page.lum", 10, true},
      {nullptr, "page.lum", 14, true}, {nullptr, "page.lum", 15, false}, {nullptr, "page.lum", 20, true},
      {nullptr, "page.lum", 21, false}, {nullptr, "PAGE.lum", 12, false}, {nullptr, "page.lu", 12, false},
      {nullptr, "other.lum", 12, false}, {" ! a.lum , !b.lum:5- ", "a.lum", 1, false},
      {nullptr, "b.lum", 5, false}, {nullptr, "b.lum", 500, false}, {nullptr, "b.lum", 4, true},
      {nullptr, "c.lum", 1, true}, {"", "x", 1, true}, {"a.lum:3, :::, ,", "a.lum", 3, true},
      {nullptr, "a.lum", 4, false}};
  ClockedContext context;
  for (const auto& c : cases) {
    if (c.filter) context.SetLogFilter(c.filter);
    EXPECT_EQ(Accepts(context, c.file, c.line), c.accepted) << c.file << ":" << c.line;
  }
  context.SetLoggingOff(true);
  EXPECT_FALSE(Accepts(context, "a.lum", 3));
}

TEST(LogFilter, ConfigurationAppliesFilterAndLevel) {
  ClockedContext context;
  context.config_.SetText(kConfigLogFilter, "!skip.lum");
  context.config_.SetInteger(kConfigLogLevel, 0x30);
  context.config_.SetInteger(kConfigMaxFiles, 7);
  context.ApplyConfiguration();
  EXPECT_FALSE(Accepts(context, "skip.lum", 1));
  EXPECT_TRUE(Accepts(context, "keep.lum", 1));
  EXPECT_EQ(context.LogLevel(), 0x30u);
  EXPECT_EQ(context.Files()->HandleLimit(), 7);
}

TEST(TimeOuts, GlobalDeadlineFromConfiguration) {
  ClockedContext context;
  EXPECT_EQ(context.TimeRemaining(), -1);  // not armed before the run
  context.BeginExecution();
  EXPECT_EQ(context.TimeRemaining(), 90);
  context.now += 30;
  context.Tick();
  EXPECT_FALSE(context.IsStopped());
  EXPECT_EQ(context.TimeRemaining(), 60);
  context.now += 61;
  context.Tick();
  EXPECT_TRUE(context.IsStopped());
  EXPECT_EQ(context.TimeRemaining(), 0);
  EXPECT_EQ(context.TickCounter()->load(), 2u);

  // A new run clears the stop flag; 0 seconds means no limit at all.
  context.config_.SetInteger(kConfigTimeoutGlobal, 0);
  context.BeginExecution();
  EXPECT_FALSE(context.IsStopped());
  EXPECT_EQ(context.TimeRemaining(), -1);
  context.now += 1'000'000;
  context.Tick();
  EXPECT_FALSE(context.IsStopped());
}

TEST(TimeOuts, PostDeadlineSetsItsOwnFlag) {
  ClockedContext context;
  context.config_.SetInteger(kConfigTimeoutPost, 5);
  context.BeginExecution();
  context.ArmPostTimeout();
  context.now += 6;
  context.Tick();
  EXPECT_EQ(context.PostTimeoutFlag()->load(), 1);
  EXPECT_FALSE(context.IsStopped());
  context.DisarmPostTimeout();
  EXPECT_EQ(context.PostTimeoutFlag()->load(), 0);
  context.now += 100;
  context.Tick();
  EXPECT_EQ(context.PostTimeoutFlag()->load(), 0);
}

TEST(Context, LanguageAndDatabaseCountChanges) {
  ClockedContext context;
  EXPECT_EQ(context.Language().View(), "en-US");
  EXPECT_EQ(context.DefaultLanguage().View(), "en-US");
  EXPECT_EQ(context.DefaultDatabaseType().View(), "xbase3");
  EXPECT_EQ(context.LanguageChanges(), 1u);
  context.SetLanguage("de-DE");
  context.SetLanguage("de-DE");  // the same text still counts: it was set
  EXPECT_EQ(context.Language().View(), "de-DE");
  EXPECT_EQ(context.LanguageChanges(), 3u);
  context.SetDefaultDatabaseType("odbc");
  EXPECT_EQ(context.DefaultDatabaseTypeChanges(), 2u);
  EXPECT_EQ(context.DefaultLanguageChanges(), 1u);
}

TEST(Context, ServicesWithoutSubsystems) {
  ClockedContext context;
  // A stopped run does not sleep.
  context.Stop();
  context.Wait(60'000);
  EXPECT_FALSE(context.SSLAvailable());
  const std::string date(context.MailDate().View());
  EXPECT_TRUE(std::regex_match(
      date, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} [A-Z][a-z]{2} 19[0-9]{2} "
                       "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}")))
      << date;
  context.config_.SetText(kConfigLockHostname, "lockhost");
  EXPECT_EQ(context.LockHostName().View(), "lockhost");
}

}  // namespace
}  // namespace lumo
