#include "core/context/error_settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace lumo {
namespace {

using namespace std::string_view_literals;

int32_t Lookup(std::string_view name) {
  return TagLookup(name.data(), static_cast<int32_t>(name.size()));
}

TEST(TagLookup, EveryNameAnyCaseAndNothingElse) {
  const char* names[] = {
      "lmif", "lmelse", "lmimport", "lmimportstop", "lmexport", "lmassign", "lmeval", "lmhide",
      "lmpop", "lmpopstop", "lmpopdelete", "lmsmtp", "lmwhile", "lmwhilestop", "lmcall",
      "lmcallstop", "lmfunction", "lmfuncreturn", "lmfunctionreturn", "lmelseif", "lmcommerce",
      "lmcommercestop", "lmcomment", "lmdo", "lmlockfile", "lmlocalized", "lmlocalized-token",
      "lmlocalized-text", "lmexit", "lmopen", "lmclose", "lmskip", "lmgo", "lmprimary", "lmfind",
      "lmsetindex", "lmupdate", "lmdelete", "lmundelete", "lmadd", "lmmakeindex", "lmpack",
      "lmreindex", "lmcreate", "lmrevealstructure", "lmopenview", "lmcloseview", "lmquery",
      "lmfilter", "lumo", "lmassignarray", "lmdimension", "lmmember", "lmcommit", "lmrollback",
      "lminclude", "lmtransact", "lmreference", "lmreferencearray", "lmdbcommand", "lmcapture",
      "lmifdef", "lmifndef", "expression", "lmimportcontinue", "lmpopcontinue",
      "lmwhilecontinue", "lmcallcontinue", "lmcommercecontinue", "lmforeach", "lmforeachstop",
      "lmforeachcontinue", "lmfor", "lmforstop", "lmforcontinue", "lmassembly"};
  ASSERT_EQ(std::size(names), 76u);
  for (size_t i = 0; i < std::size(names); ++i) {
    // Two spellings share tag 17, so every later name sits one below its index.
    const int32_t expected = static_cast<int32_t>(i <= 17 ? i : i - 1);
    std::string upper = names[i];
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(Lookup(names[i]), expected) << names[i];
    EXPECT_EQ(Lookup(upper), expected) << upper;
  }
  EXPECT_EQ(Lookup("LmCommerceContinue"), 67);  // 18 bytes: the longest allowed
  for (std::string_view miss : {"lmcommercecontinue!"sv, "lmcommercecontinuex"sv, ""sv, "lm"sv,
                                "lmi"sv, "lmif "sv, "lmiff"sv, "lmforeachcontinues"sv}) {
    EXPECT_EQ(Lookup(miss), -1) << miss;
  }
}

TEST(ErrorSettings, DefaultsAndErrorVariables) {
  const ErrorSetting* d = DefaultErrorSettings();
  const struct { int32_t tag; std::string_view name, variable; uint32_t flags; } spots[] = {
      {0, "LmIF", "LmIF_Error", kErrorDisplay | kErrorFatal},
      {2, "LmIMPORT", "LmIMPORT_Error", kErrorDisplay},
      {25, "LmLOCALIZED-TOKEN", "LmLOCALIZED-TOKEN_Error", kErrorDisplay | kErrorFatal},
      {48, "LUMO", "LUMO_Error", kErrorDisplay | kErrorFatal},
      {54, "LmINCLUDE", "LmINCLUDE_Error", 0},
      {61, "LmIFNDEF", "LmIFNDEF_Error", 0},
      {62, "(in expression)", "LmEXPRESSION_Error", kErrorDisplay | kErrorFatal},
      {63, "", "", 0},
      {75, "", "", 0},
  };
  for (const auto& s : spots) {
    EXPECT_EQ(d[s.tag].tag, s.tag);
    EXPECT_EQ(d[s.tag].display_name, s.name) << s.tag;
    EXPECT_EQ(d[s.tag].error_variable, s.variable) << s.tag;
    EXPECT_EQ(d[s.tag].flags, s.flags) << s.tag;
  }
  EXPECT_EQ(memcmp(CurrentErrorSettings(), d, sizeof(ErrorSetting) * kErrorSettingCount), 0);
}

TEST(ErrorSettings, SetFromValueWords) {
  ResetErrorSettings();
  const struct { std::string_view tag, value; bool known; int32_t index; uint32_t flags; } steps[] = {
      {"LMIMPORT", "Fatal,DISPLAY", true, 2, kErrorDisplay | kErrorFatal},
      {"lmimport", "none", true, 2, 0},
      {"lmif", "be nonfatal", true, 0, kErrorFatal},  // a word anywhere counts
      {"LmAssign", "displayed", true, 5, kErrorDisplay},
      {"lmforeach", "fatal", true, 68, kErrorFatal},  // has no name, flags all the same
      {"lmnosuchtag", "fatal", false, 0, kErrorFatal},  // tag 0 as set above
  };
  for (const auto& s : steps) {
    EXPECT_EQ(SetErrorSetting(s.tag.data(), static_cast<int32_t>(s.tag.size()), s.value.data(),
                              static_cast<int32_t>(s.value.size())),
              s.known)
        << s.tag;
    EXPECT_EQ(CurrentErrorSettings()[s.index].flags, s.flags) << s.tag << "=" << s.value;
  }
  EXPECT_EQ(DefaultErrorSettings()[2].flags, kErrorDisplay);
  ResetErrorSettings();
  EXPECT_EQ(CurrentErrorSettings()[0].flags, kErrorDisplay | kErrorFatal);
}

// Only a single bit has a name; spot checks, not the whole table again.
TEST(EventName, SingleBitsOnly) {
  const std::pair<uint32_t, std::string_view> events[] = {
      {kEventFunctionCall, "Function Call"}, {kEventExternalReturnValue, "External Function Return Value"},
      {kEventTrace, "Trace"}, {0, "Unknown"}, {kEventTrace | kEventFatalError, "Unknown"}};
  for (const auto& [mask, name] : events) EXPECT_EQ(EventName(mask), name) << mask;
}

}  // namespace
}  // namespace lumo
