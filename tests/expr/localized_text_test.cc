// Localized text: the tables built, written and read again (both file
// layouts), damaged sections, and programs that write tokens through the
// machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/context/system_variables.h"
#include "expr/localized_languages.h"
#include "expr/localized_name_hash.h"
#include "tests/core/vm/run_program.h"
#include "tools/lumoasm/assembler.h"

namespace lumo {
namespace {

constexpr char kPastSection[] = "Read past end of section boundary";

std::string Image(std::string_view source) {
  String image, error;
  EXPECT_TRUE(Assemble(source, "t", &image, &error)) << error.View();
  return std::string(image.View());
}

uint32_t Get32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return v;
}

void Put32(std::string& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

// The position of a section's directory entry (tag, offset, size), or 0.
size_t DirectoryEntry(const std::string& image, std::string_view tag) {
  const uint32_t directory = Get32(image, 24);
  const uint32_t count = Get32(image, 28);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = directory + i * 12;
    if (image.compare(at, 4, tag) == 0) return at;
  }
  return 0;
}

std::string LanguageTag(int language) {
  return std::string{'L', 'X', static_cast<char>(language), 0};
}

// A program loaded from an image into a machine whose context has the
// language variables, as a request's run has them.
struct LoadedMachine {
  explicit LoadedMachine(const std::string& image) {
    loaded = m.Load(image);
    if (loaded) InstallDynamicVariables(&m.context, &m.system);
  }
  std::string Run() { return m.RunPrinted(); }
  Machine m;
  bool loaded = false;
};

std::string LoadError(const std::string& image) {
  Machine m;
  return m.Load(image) ? std::string("loaded") : std::string(m.error.View());
}

const char kTwoLanguages[] = R"(
.system lumo_language, lumo_defaultlanguage
.language "en-US"
.token greet, "Hello, ", who, "!"
.token only_english, "colour"
.token empty
.language "de-DE"
.token greet, "Hallo, ", who, "!"
.token GREET2, "Servus"
)";

TEST(LocalizedText, NamesChainByLengthThenTextAndNeedText) {
  Dictionary dictionary;
  // One bucket: every name lands on the same chain.
  LocalizedNameHash hash(&dictionary, 0, 2, 2);
  for (const char* name : {"bb", "a", "AB", "c", "b"}) {
    EXPECT_GE(hash.Add(dictionary.AddEntry(name)), 0);
  }
  std::string chain;
  uint8_t bucket[LocalizedNameHash::kBucketRecord];
  hash.WriteBuckets(bucket);
  for (int32_t e = static_cast<int32_t>(Get32(std::string(reinterpret_cast<char*>(bucket), 6), 2));
       e >= 0; e = hash.NextOf(e)) {
    chain += std::string(dictionary.EntryView(hash.NameOf(e))) + " ";
  }
  EXPECT_EQ(chain, "a b c AB bb ");
  EXPECT_EQ(hash.Find("ab", 2), 2);
  EXPECT_EQ(hash.Find("abc", 3), -1);
  EXPECT_EQ(hash.Add(-1), -1);
  EXPECT_EQ(hash.Add(dictionary.Count()), -1);

  LocalizedDictionary pieces;
  LocalizedLanguages languages(&dictionary, &pieces);
  const int32_t en = languages.AddLanguage(dictionary.AddEntry("en"));
  EXPECT_EQ(languages.AddLanguage(dictionary.AddEntry("EN")), en);
  EXPECT_EQ(languages.AddToken(en, 12345, -1), -1);
  EXPECT_EQ(languages.AddToken(7, 0, -1), -1);
}

TEST(LocalizedText, TablesRewriteByteForByte) {
  // An old file has one index for all: only its first language has texts.
  const std::string old_tables = ".language en\n.token a, \"x\", v\n.token b\n.language de\n";
  for (const std::string& source :
       {std::string(kTwoLanguages), ".version 0x10008\n" + std::string(kTwoLanguages),
        ".version 0x10007\n" + old_tables}) {
    const std::string image = Image(source);
    Machine m;
    ASSERT_TRUE(m.Load(image)) << m.error.View();
    MemoryStream out;
    String error;
    ASSERT_TRUE(WriteProgram(out, m.Parts(), &error, Get32(image, 4))) << error.View();
    EXPECT_EQ(std::string(out.Contents().View()), image) << source;
  }
}

TEST(LocalizedText, ReadingReplacesTheTables) {
  Dictionary dictionary;
  LocalizedDictionary pieces;
  LocalizedLanguages languages(&dictionary, &pieces);
  auto read = [&](const std::string& image) {
    TaggedFile file;
    String error;
    EXPECT_TRUE(file.Attach("t", new MemoryStream(image)) &&
                file.SelectSection("dict", nullptr) && dictionary.Read(file.Section()) &&
                languages.Read(file, &error))
        << error.View();
  };
  read(Image(kTwoLanguages));
  EXPECT_EQ(languages.Count(), 2);
  const LocalizedIndexEntry* entry =
      languages.FindToken(dictionary.AddEntry("GREET2"), {"fr", 1}, {"de-de", 1});
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(dictionary.EntryView(pieces.Piece(entry->first_piece)->text), "Servus");
  // A program without localized text leaves none of the last one's.
  read(Image("pushc \"x\"\nout"));
  EXPECT_EQ(languages.Count(), 0);
  EXPECT_EQ(pieces.Count(), 0);
  EXPECT_EQ(languages.FindToken(0, {"de-DE", 2}, {"en-US", 2}), nullptr);
}

TEST(LocalizedText, EachLayoutHasItsIndexSections) {
  const std::string current = Image(kTwoLanguages);
  EXPECT_NE(DirectoryEntry(current, "locd"), 0u);
  EXPECT_NE(DirectoryEntry(current, "locl"), 0u);
  EXPECT_NE(DirectoryEntry(current, LanguageTag(0)), 0u);
  EXPECT_NE(DirectoryEntry(current, LanguageTag(1)), 0u);
  EXPECT_EQ(DirectoryEntry(current, std::string(4, '\0')), 0u);

  const std::string old = Image(".version 0x10007\n.language en\n.token a, \"x\"\n.language de");
  EXPECT_NE(DirectoryEntry(old, std::string(4, '\0')), 0u);
  EXPECT_EQ(DirectoryEntry(old, LanguageTag(0)), 0u);

  // Languages with texts of their own cannot share an old file's index.
  String image, error;
  EXPECT_FALSE(Assemble(".version 0x10007\n.language en\n.token a\n.language de\n.token a",
                        "t", &image, &error));
  EXPECT_EQ(error.View(), "t: Files of versions below 0x10008 hold one index for all languages");
  // A program without languages carries no localized sections at all.
  EXPECT_EQ(DirectoryEntry(Image("pushc \"x\"\nout"), "locl"), 0u);
}

TEST(LocalizedText, DamagedSectionsFailTheLoad) {
  const std::string image = Image(kTwoLanguages);
  const size_t locd = DirectoryEntry(image, "locd");
  const size_t locl = DirectoryEntry(image, "locl");
  const size_t en = DirectoryEntry(image, LanguageTag(0));
  const size_t de = DirectoryEntry(image, LanguageTag(1));
  ASSERT_EQ(LoadError(image), "loaded");

  auto patched = [&](size_t at, uint32_t value) {
    std::string copy = image;
    Put32(copy, at, value);
    return LoadError(copy);
  };
  // A language without its index section.
  EXPECT_EQ(patched(de, 0x4241), "Invalid section");
  // Sections cut short report the file's text.
  EXPECT_EQ(patched(locd + 8, 10), kPastSection);
  EXPECT_EQ(patched(locl + 8, 6), kPastSection);
  EXPECT_EQ(patched(en + 8, 14), kPastSection);
  // Two languages reading one section.
  std::string shared = image;
  Put32(shared, de + 4, Get32(image, en + 4));
  Put32(shared, de + 8, Get32(image, en + 8));
  EXPECT_EQ(LoadError(shared), kCorruptProgramText);

  const uint32_t pieces = Get32(image, locd + 4);
  const uint32_t languages = Get32(image, locl + 4);
  const uint32_t english = Get32(image, en + 4);
  const uint32_t piece_count = Get32(image, pieces);
  // A piece linking past the table; one ending its text (-1) is fine.
  EXPECT_EQ(patched(pieces + 4 + 8, piece_count), kCorruptProgramText);
  EXPECT_EQ(patched(pieces + 4 + 8, 0xFFFFFFFF), "loaded");
  // A token whose text starts past the pieces.
  const uint32_t used = Get32(image, english) & 0xFFFF;
  const size_t first_entry = english + 11 + used * 6;
  EXPECT_EQ(patched(first_entry + 8, piece_count), kCorruptProgramText);
  // Entries linking to themselves or naming no dictionary entry.
  EXPECT_EQ(patched(first_entry + 4, 0), kCorruptProgramText);
  EXPECT_EQ(patched(first_entry, 0x7FFFFFFF), kCorruptProgramText);
  const uint32_t language_buckets = Get32(image, languages) & 0xFFFF;
  EXPECT_EQ(patched(languages + 7 + language_buckets * 6 + 4, 1), kCorruptProgramText);
  // Counts far beyond the section end at its end.
  EXPECT_EQ(patched(pieces, 0x7FFFFFF0), kCorruptProgramText);
  EXPECT_EQ(patched(pieces, 0x0AAAAAAA), "Unexpected end of file");
  EXPECT_EQ(patched(english + 3, 0x0AAAAAAA), "Unexpected end of file");

  // Whatever size the directory claims, a load fails cleanly or works.
  for (const size_t entry : {locd, locl, en, de}) {
    const uint32_t size = Get32(image, entry + 8);
    for (uint32_t cut = 0; cut < size; ++cut) {
      EXPECT_NE(patched(entry + 8, cut), "loaded") << cut;
    }
  }
}

TEST(LocalizedText, TokensFollowTheRunsLanguageAndFallBack) {
  LoadedMachine run(Image(std::string(kTwoLanguages) + R"(
        pushc "World"
        poplvnc "who"
        localize "greet"
        pushc "de-DE"
        pops lumo_language
        pushc "Welt"
        poplvnc "WHO"
        localize "Greet"
        localize "only_english"        ; in the default language only
        localize "greet2"
        localize "nowhere"             ; in neither: nothing
        pushc "fr"
        pops lumo_language
        pushc "de-DE"
        pops lumo_defaultlanguage
        pushc "Monde"
        poplvnc "who"
        localize "greet"
        localize "only_english"
        localize "empty"
)"));
  ASSERT_TRUE(run.loaded) << run.m.error.View();
  EXPECT_EQ(run.Run(), "Hello, World!Hallo, Welt!colourServusHallo, Monde!");
}

TEST(LocalizedText, VariablePiecesAndTheTokenList) {
  LoadedMachine run(Image(std::string(kTwoLanguages) + R"(
        localize "greet"              ; no variable: nothing in its place
        pushc "x"
        poplvnc "other"
        localize "greet"
        pushc "a"
        poplvnc "who"
        localizev "greet"
        pushc "|"
        cat
        out
        localizev "nowhere"           ; an empty text all the same
        pushc "|"
        cat
        out
)"));
  ASSERT_TRUE(run.loaded) << run.m.error.View();
  EXPECT_EQ(run.Run(), "Hello, !Hello, !Hello, a!||");
  EXPECT_EQ(run.m.Vm().LocalizedTokens().Entries(), 0);
}

TEST(LocalizedText, BadPiecesStopOrEnd) {
  // A literal piece naming no dictionary entry ends the run, after the
  // pieces before it were written.
  LoadedMachine bad(Image(".language \"en-US\"\n.token t, \"a\", 99999, \"b\"\nlocalize \"t\""));
  ASSERT_TRUE(bad.loaded);
  const std::string fatal = Fatal(0, "Invalid dictionary reference");
  EXPECT_EQ(bad.Run(), "a" + fatal);
  EXPECT_EQ(bad.m.Vm().LocalizedTokens().Entries(), 0);

  // A chain that loops is cut after as many pieces as the table has.
  Machine loop;
  ASSERT_TRUE(loop.Assemble(
      ".language \"en-US\"\n.token t, \"a\", \"b\", \"c\"\nlocalizev \"t\"\nout\npushc \"!\"\nout"))
      << loop.error.View();
  ASSERT_TRUE(loop.pieces.Link(2, 0));
  EXPECT_EQ(loop.RunPrinted(), "abc!");
}

TEST(LocalizedText, OldFilesShareTheirSingleIndex) {
  const std::string image = Image(R"(
.version 0x10007
.system lumo_language, lumo_defaultlanguage
.language "en-US"
.token t, "old ", v
.language "de-DE"
        pushc "nowhere"
        pops lumo_defaultlanguage
        pushc "de-DE"
        pops lumo_language
        pushc "text"
        poplvnc "v"
        localize "t"
)");
  LoadedMachine run(image);
  ASSERT_TRUE(run.loaded) << run.m.error.View();
  EXPECT_EQ(run.Run(), "old text");
  // Without its index section an old file with languages does not load.
  std::string damaged = image;
  Put32(damaged, DirectoryEntry(image, std::string(4, '\0')), 0x4241);
  EXPECT_EQ(LoadError(damaged), "Invalid section");
}

}  // namespace
}  // namespace lumo
