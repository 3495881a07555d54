#include "core/base/string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace lumo {
namespace {

using namespace std::string_view_literals;

// Every String must keep its terminator and the capacity rule whatever
// happened to it; the extension interface hands Text() to C code.
void ExpectWellFormed(const String& s) {
  if (!s.HasBuffer()) {
    EXPECT_EQ(s.Capacity(), 0);
    EXPECT_EQ(s.Length(), 0);
    return;
  }
  EXPECT_LT(s.Length(), s.Capacity());
  EXPECT_EQ(s.Data()[s.Length()], '\0');
}

TEST(StringCapacity, SingleByteAppendsGrowInStepsOf24) {
  String s;
  for (int i = 0; i < 30; ++i) s.Append(static_cast<char>('a' + i % 26));
  EXPECT_EQ(s.Length(), 30);
  EXPECT_EQ(s.Capacity(), 48);
  EXPECT_EQ(s.View(), "abcdefghijklmnopqrstuvwxyzabcd"sv);
  ExpectWellFormed(s);

  // The single-byte rule grows one byte early: 22 bytes stay in 24, the
  // 23rd moves to 48 although it would still fit with its terminator.
  String t;
  for (int i = 0; i < 22; ++i) t.Append('x');
  EXPECT_EQ(t.Capacity(), 24);
  t.Append('x');
  EXPECT_EQ(t.Capacity(), 48);
}

TEST(StringCapacity, AssignRoundsLengthPlusTerminator) {
  String a;
  a.Assign(std::string(23, 'x').c_str());
  EXPECT_EQ(a.Capacity(), 24);
  String b;
  b.Assign(std::string(24, 'x').c_str());
  EXPECT_EQ(b.Capacity(), 48);
  String c(std::string(47, 'x'));
  EXPECT_EQ(c.Capacity(), 48);

  // A text that fits, terminator included, must reuse the buffer.
  const char* before = a.Data();
  a.Assign(std::string(23, 'y').c_str());
  EXPECT_EQ(a.Data(), before);
  EXPECT_EQ(a.Capacity(), 24);
  before = b.Data();
  b.Assign("abc");
  EXPECT_EQ(b.Data(), before);
  EXPECT_EQ(b.Capacity(), 48);
  EXPECT_EQ(b.View(), "abc"sv);
}

TEST(StringCapacity, EmptyAssignGivesABuffer) {
  String a;
  EXPECT_FALSE(a.HasBuffer());
  EXPECT_STREQ(a.Text(), "");
  a.Assign("");
  EXPECT_TRUE(a.HasBuffer());
  EXPECT_EQ(a.Capacity(), 24);
  EXPECT_EQ(a.Length(), 0);

  String b;
  b.Assign(nullptr);
  EXPECT_TRUE(b.HasBuffer());
  EXPECT_EQ(b.Capacity(), 24);
  String c;
  c.Assign("abc", 0);
  EXPECT_EQ(c.Capacity(), 24);
  EXPECT_EQ(c.Length(), 0);

  // A null text constructs nothing, and a copy of nothing stays nothing.
  String d(static_cast<const char*>(nullptr));
  EXPECT_FALSE(d.HasBuffer());
  String e(d);
  EXPECT_FALSE(e.HasBuffer());
}

TEST(StringAdopt, BufferWithSpareRoomIsKept) {
  char* buffer = static_cast<char*>(malloc(10));
  memcpy(buffer, "abcdefghij", 10);
  String s = String::Adopt(buffer, 3, 10);
  EXPECT_EQ(s.Data(), buffer);
  EXPECT_EQ(s.Capacity(), 10);
  EXPECT_EQ(s.View(), "abc"sv);
  EXPECT_EQ(buffer[3], '\0');
  // Growing from an odd adopted capacity must still end on the 24 step.
  s.Append("defghijk");
  EXPECT_EQ(s.View(), "abcdefghijk"sv);
  EXPECT_EQ(s.Capacity() % 24, 0);
}

TEST(StringAdopt, RoomForTheTerminatorIsEnough) {
  char* buffer = static_cast<char*>(malloc(4));
  memcpy(buffer, "wxyz", 4);
  String s = String::Adopt(buffer, 3, 4);
  EXPECT_EQ(s.Data(), buffer);
  EXPECT_EQ(s.View(), "wxy"sv);
  ExpectWellFormed(s);
}

TEST(StringAdopt, FullBufferIsCopiedAndFreed) {
  char* buffer = static_cast<char*>(malloc(3));
  memcpy(buffer, "xyz", 3);
  // The leak checker reports the buffer if Adopt forgets to free it.
  String s = String::Adopt(buffer, 3, 3);
  EXPECT_EQ(s.View(), "xyz"sv);
  EXPECT_EQ(s.Capacity(), 24);
  ExpectWellFormed(s);
}

TEST(StringRelease, LeavesNoBuffer) {
  String s("hello");
  int32_t length = -1;
  int32_t capacity = -1;
  char* p = s.Release(&length, &capacity);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "hello");
  EXPECT_EQ(length, 5);
  EXPECT_EQ(capacity, 24);
  EXPECT_FALSE(s.HasBuffer());
  EXPECT_EQ(s.Length(), 0);
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_STREQ(s.Text(), "");
  free(p);
  EXPECT_EQ(s.Release(), nullptr);

  String t("abc");
  t.Clear();
  EXPECT_FALSE(t.HasBuffer());
  EXPECT_EQ(t.Capacity(), 0);
  EXPECT_EQ(t.Length(), 0);
}

TEST(StringAlias, AppendingItselfSurvivesReallocation) {
  String s("abcdefghijklmnopqrstuv");  // 22 bytes in 24: must move
  s.Append(s);
  EXPECT_EQ(s.View(), "abcdefghijklmnopqrstuvabcdefghijklmnopqrstuv"sv);
  ExpectWellFormed(s);

  String t("0123456789");
  t.Reserve(40);  // fits in place
  t.Append(t);
  EXPECT_EQ(t.View(), "01234567890123456789"sv);

  String u("abcdefghijklmnopqrstuvw");  // 23 bytes: a part of itself moves it
  u.Append(u.Text() + 20, 3);
  EXPECT_EQ(u.View(), "abcdefghijklmnopqrstuvwuvw"sv);

  String v("xyz");
  v.Prepend(v.Text(), v.Length());
  EXPECT_EQ(v.View(), "xyzxyz"sv);

  String w("hello");
  w.Append(w.Text() + 1, 2);  // 7 bytes still fit in place
  EXPECT_EQ(w.View(), "helloel"sv);
}

TEST(StringAlias, AssigningPartOfItself) {
  String s("0123456789");
  s.Assign(s.Text() + 3, 4);
  EXPECT_EQ(s.View(), "3456"sv);
  s.Assign(s.Text(), s.Length());
  EXPECT_EQ(s.View(), "3456"sv);
  String& same = s;
  s = same;
  EXPECT_EQ(s.View(), "3456"sv);
  ExpectWellFormed(s);
}

// A random sequence of edits checked against std::string, to catch an
// off-by-one in any growth path that the fixed cases do not reach.
TEST(StringModel, RandomEditsMatchStdString) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 200; ++round) {
    String s;
    std::string model;
    for (int step = 0; step < 60; ++step) {
      std::string piece(rng() % 40, '\0');
      for (char& c : piece) c = static_cast<char>(rng() % 256);
      switch (rng() % 7) {
        case 0: {
          char c = static_cast<char>(rng() % 256);
          s.Append(c);
          model += c;
          break;
        }
        case 1: s.Append(piece); model += piece; break;
        case 2: s.Assign(piece.data(), static_cast<int32_t>(piece.size())); model = piece; break;
        case 3: s.Prepend(piece.data(), static_cast<int32_t>(piece.size())); model = piece + model; break;
        case 4: {
          int32_t n = static_cast<int32_t>(rng() % 50);
          s.Shorten(n);
          if (static_cast<size_t>(n) <= model.size()) model.resize(model.size() - n);
          break;
        }
        case 5: {
          int32_t width = static_cast<int32_t>(rng() % 80);
          s.PadRight('.', width);
          if (model.size() < static_cast<size_t>(width)) model.resize(width, '.');
          break;
        }
        default: {
          int32_t width = static_cast<int32_t>(rng() % 80);
          s.PadLeft('#', width);
          if (model.size() < static_cast<size_t>(width)) model.insert(0, width - model.size(), '#');
          break;
        }
      }
      ASSERT_EQ(s.View(), model) << "round " << round << " step " << step;
      ASSERT_EQ(s.Capacity() % 24, 0);
      ExpectWellFormed(s);
    }
  }
}

TEST(StringSearch, EmptyPatternOrTextFindsNothing) {
  String s("abcabc");
  EXPECT_EQ(s.Find(""), -1);
  EXPECT_EQ(String().Find("a"), -1);
  EXPECT_EQ(String("").Find("a"), -1);
  EXPECT_EQ(s.Find("abcabcx"), -1);
  EXPECT_EQ(s.Find("c"sv, 6), -1);
  EXPECT_EQ(s.Find("c"sv, 100), -1);
  EXPECT_EQ(s.Find("c"sv, 2), 2);
  EXPECT_EQ(s.Find("c"sv, 3), 5);
  EXPECT_EQ(s.Find("bc"sv, 5), -1);  // would end past the text
  EXPECT_EQ(s.Find("abcx"sv, 3), -1);
  EXPECT_TRUE(s.Contains("cab"));
  EXPECT_FALSE(s.Contains("cab", 3));
  EXPECT_EQ(s.Find("zzz", -1, 0), -1);
}

TEST(StringSearch, OverlappingMatchesCount) {
  EXPECT_EQ(String("aaaa").Count("aa"), 3);
  EXPECT_EQ(String("abab").Count("ab"), 2);
  EXPECT_EQ(String("abab").Count(""), 0);
  EXPECT_EQ(String().Count("a"), 0);
}

TEST(StringSearch, ByteTests) {
  String s("a-b");
  EXPECT_TRUE(s.ContainsByte('-'));
  EXPECT_FALSE(s.ContainsByte('-', 2));
  EXPECT_TRUE(s.ByteIs(2, 'b'));
  EXPECT_FALSE(s.ByteIs(3, '\0'));  // the terminator is not text
  EXPECT_FALSE(s.ByteIs(-1, 'a'));
  EXPECT_FALSE(String().ByteIs(0, '\0'));
}

TEST(StringReplace, MatchesDoNotOverlap) {
  String s("aaaa");
  s.Replace("aa", "b");
  EXPECT_EQ(s.View(), "bb"sv);
  String t("aaa");
  t.Replace("aa", "b");
  EXPECT_EQ(t.View(), "ba"sv);
  // A replacement containing the pattern must not be scanned again.
  String u("xax");
  u.Replace("a", "aa");
  EXPECT_EQ(u.View(), "xaax"sv);
  String v("--a--b--");
  v.Replace("--", "");
  EXPECT_EQ(v.View(), "ab"sv);
  String w("abc");
  w.Replace("abc", "");
  EXPECT_EQ(w.View(), ""sv);
}

TEST(StringReplace, NoMatchLeavesTextAlone) {
  String s("hello");
  const char* before = s.Data();
  s.Replace("xyz", "q");
  s.Replace("", "q");
  EXPECT_EQ(s.View(), "hello"sv);
  EXPECT_EQ(s.Data(), before);
}

TEST(StringSlices, SubstringAndLeftEdges) {
  String s("hello");
  EXPECT_EQ(s.Substring(1, 3).View(), "el"sv);
  EXPECT_EQ(s.Substring(1, 100).View(), "ello"sv);
  EXPECT_EQ(s.Substring(5, 9).View(), ""sv);
  EXPECT_EQ(s.Substring(3, 3).View(), ""sv);
  EXPECT_EQ(s.Left(2).View(), "he"sv);
  EXPECT_EQ(s.Left(0).View(), ""sv);
  EXPECT_EQ(s.Left(5).View(), "hello"sv);
  EXPECT_EQ(s.Left(99).View(), "hello"sv);
  EXPECT_FALSE(s.Left(-1).HasBuffer());
}

TEST(StringSlices, FromBeforeAfterEdges) {
  String s("key=value=x");
  EXPECT_EQ(s.From(10).View(), "x"sv);
  EXPECT_EQ(s.From(11).View(), ""sv);
  EXPECT_EQ(s.From(0).View(), "key=value=x"sv);
  EXPECT_EQ(s.Before("=").View(), "key"sv);
  EXPECT_EQ(s.Before(";").View(), "key=value=x"sv);
  EXPECT_EQ(s.Before("k").View(), ""sv);
  EXPECT_EQ(s.FromMatch("=").View(), "=value=x"sv);
  EXPECT_EQ(s.FromMatch(";").View(), ""sv);
  EXPECT_EQ(s.After("=").View(), "value=x"sv);
  EXPECT_EQ(s.After(";").View(), ""sv);
  EXPECT_EQ(s.After("=x").View(), ""sv);
}

TEST(StringWhiteSpace, TrimTouchesOnlyTheFourBlanks) {
  String s(" \t\r\nab c \n");
  s.Trim();
  EXPECT_EQ(s.View(), "ab c"sv);
  String t(" \t\r\nab c \n");
  t.TrimLeft();
  EXPECT_EQ(t.View(), "ab c \n"sv);
  String u(" \r\n\t ");
  u.Trim();
  EXPECT_EQ(u.View(), ""sv);
  ExpectWellFormed(u);
  String v("\vx\f");  // vertical tab and form feed are text here
  v.Trim();
  EXPECT_EQ(v.View(), "\vx\f"sv);
  String none;
  none.Trim();
  none.TrimLeft();
  none.CollapseWhiteSpace();
  EXPECT_FALSE(none.HasBuffer());
}

TEST(StringWhiteSpace, CollapseKeepsFirstOfEachRun) {
  String s("a \t\n b\r\r c  ");
  s.CollapseWhiteSpace();
  EXPECT_EQ(s.View(), "a b\rc "sv);
  ExpectWellFormed(s);
}

TEST(StringCase, LowerLeavesHighBytes) {
  String s("AbC\xC4\xE4Z@[");
  s.ToLower();
  EXPECT_EQ(s.View(), "abc\xC4\xE4z@["sv);
  EXPECT_EQ(String("MiXeD").Lowered().View(), "mixed"sv);
}

TEST(StringCase, TailEqualsNoCase) {
  String s("index.HTML");
  EXPECT_TRUE(s.TailEqualsNoCase(6, "html"));
  EXPECT_TRUE(s.TailEqualsNoCase(5, ".Html"));
  EXPECT_FALSE(s.TailEqualsNoCase(7, "html"));     // pattern longer than the tail
  EXPECT_FALSE(s.TailEqualsNoCase(5, "html"));     // tail longer than the pattern
  // The pattern is a prefix of the tail, and the byte after the pattern's
  // view would match: only the lengths tell them apart.
  EXPECT_FALSE(String("a.htmlx").TailEqualsNoCase(2, "htmlx"sv.substr(0, 4)));
  EXPECT_TRUE(s.TailEqualsNoCase(10, ""));
  EXPECT_FALSE(s.TailEqualsNoCase(11, ""));
  EXPECT_FALSE(s.TailEqualsNoCase(-1, "x"));
  // Only letters change case: '[' and '{' differ exactly by the case bit.
  EXPECT_FALSE(String("a[").TailEqualsNoCase(0, "A{"));
  EXPECT_FALSE(String("\xE9").TailEqualsNoCase(0, "\xC9"));
  EXPECT_TRUE(String("Name").EqualsNoCase("nAME"));
  EXPECT_FALSE(String("@").EqualsNoCase("`"));
}

TEST(StringPad, ToWidthOnly) {
  String s("7");
  s.PadLeft('0', 3);
  EXPECT_EQ(s.View(), "007"sv);
  s.PadRight('.', 5);
  EXPECT_EQ(s.View(), "007.."sv);
  s.PadLeft('x', 5);
  s.PadRight('x', 2);
  EXPECT_EQ(s.View(), "007.."sv);
  String none;
  none.PadLeft('-', 30);
  EXPECT_EQ(none.View(), std::string(30, '-'));
  EXPECT_EQ(none.Capacity(), 48);
  ExpectWellFormed(none);
  String other;
  other.PadRight('-', 2);
  EXPECT_EQ(other.View(), "--"sv);
}

TEST(StringBase64, Rfc4648Vectors) {
  const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
  const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(String(plain[i]).Base64Encode().View(), coded[i]) << plain[i];
    EXPECT_EQ(String(coded[i]).Base64Decode().View(), plain[i]) << coded[i];
  }
}

TEST(StringBase64, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  // Every length up to 256 exercises both partial-quartet endings.
  for (size_t n = 0; n <= all.size(); ++n) {
    String plain(std::string_view(all).substr(0, n));
    String coded = plain.Base64Encode();
    ASSERT_EQ(coded.Length() % 4, 0);
    ASSERT_EQ(coded.Base64Decode().View(), plain.View()) << n;
  }
  EXPECT_EQ(String("\xFF\xFE\xFD"sv).Base64Encode().View(), "//79"sv);
  EXPECT_EQ(String("\xFB\xEF\xBE"sv).Base64Encode().View(), "++++"sv);
}

TEST(StringBase64, PaddingAndShortInput) {
  EXPECT_EQ(String("Zm9").Base64Decode().View(), ""sv);
  EXPECT_EQ(String("Zg").Base64Decode().View(), ""sv);
  EXPECT_EQ(String("Zm9vYm").Base64Decode().View(), "foo"sv);  // trailing part dropped
  EXPECT_EQ(String("Zg==Zm8=").Base64Decode().View(), "ffo"sv);
  EXPECT_EQ(String("Zm8=").Base64Decode().View(), "fo"sv);
  EXPECT_EQ(String("====").Base64Decode().View(), ""sv);
  EXPECT_EQ(String("Zm9v\r\nYmFy\r\n").Base64Decode().View(), "foobar"sv);
}

TEST(StringBytes, NulBytesAreOrdinaryText) {
  String s("a\0b"sv);
  EXPECT_EQ(s.Length(), 3);
  String copy(s);
  EXPECT_EQ(copy.View(), "a\0b"sv);
  copy.Append("\0c"sv);
  EXPECT_EQ(copy.View(), "a\0b\0c"sv);
  EXPECT_EQ(copy.Find("\0c"sv), 3);
  EXPECT_EQ(copy.Find("c"), 4);
  EXPECT_EQ(copy.Count("\0"sv), 2);
  EXPECT_EQ(copy.Substring(1, 4).View(), "\0b\0"sv);
  EXPECT_EQ(copy.After("\0"sv).View(), "b\0c"sv);
  EXPECT_EQ(copy.Lowered().View(), "a\0b\0c"sv);
  String r(copy);
  r.Replace("\0"sv, "-");
  EXPECT_EQ(r.View(), "a-b-c"sv);
  EXPECT_EQ(String("\0\0\0"sv).Base64Encode().View(), "AAAA"sv);
  EXPECT_EQ(String("AAAA").Base64Decode().View(), "\0\0\0"sv);
  String t("x\0 "sv);
  t.Trim();
  EXPECT_EQ(t.View(), "x\0"sv);
}

}  // namespace
}  // namespace lumo
