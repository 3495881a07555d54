// The computed system variables as a program sees them: read, copied,
// assigned and looked into by the machine's own instructions.
#include "core/context/system_variables.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

TEST(ComputedSystemVariables, ReadAssignedAndLookedIntoByAProgram) {
  Machine m;
  ASSERT_TRUE(m.Assemble(R"(
.system dyn_tm_mon, lumo_config, lumo_language
.global mon, timeout
        pushs dyn_tm_mon
        popg mon
        pushs lumo_config
        pushc "timeout_global"
        memb
        popg timeout
        ; neither way of storing into a missing member makes it
        pushc "x"
        pushs lumo_config
        pushc "nosuch"
        memb
        store
        pushc "y"
        popnc "lumo_config:other"
        pushc "fr"
        pops lumo_language
        pushs lumo_language
        out
        pushnc "lumo_config:dir_user"
        out
)")) << m.error.View();
  InstallDynamicVariables(&m.context, &m.system);
  m.context.Configuration()->SetInteger(kConfigTimeoutGlobal, 42);
  const int32_t month_before = TimeFieldInteger(ReadTimeNow(), 6);
  EXPECT_EQ(m.RunPrinted(), "frpublic_lmt");
  const int32_t month_after = TimeFieldInteger(ReadTimeNow(), 6);

  const int32_t month = std::stoi(m.Global("mon"));
  EXPECT_TRUE(month == month_before || month == month_after) << month;
  EXPECT_EQ(m.Global("timeout"), "42");
  EXPECT_EQ(m.context.Language().View(), "fr");
  Variable* config = nullptr;
  ASSERT_TRUE(m.system.Find(&config, "lumo_config", -1, false));
  EXPECT_EQ(config->Element(AggregateIndex(std::string_view("nosuch")), false), nullptr);
  EXPECT_EQ(config->Element(AggregateIndex(std::string_view("other")), false), nullptr);
}

}  // namespace
}  // namespace lumo
