// Hostile requests against the real server: lumodex (or the test host,
// where a case needs short waits) as a child process on a loopback port,
// its resident memory sampled while each case runs. Each case states what
// the client gets and how soon, keeps the server's growth under a ceiling
// and is followed by a normal request that must be answered. Longer runs
// of the same kinds live in tests/stress/.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/web/hostile_fixture.h"

namespace lumo {
namespace {

constexpr char kTooMany[] = "Maximum number of POST variables exceeded";
constexpr char kFormTooLong[] = "POST form data exceeds configured maximum";
constexpr char kPostTimeout[] = "Timeout processing POST data";
constexpr char kIncomplete[] = "Incomplete POST data";

Traffic Send(ByteStream bytes, int wait_ms = 10000) {
  Traffic t;
  t.bytes = std::move(bytes);
  t.wait_ms = wait_ms;
  return t;
}
Traffic Send(const std::string& bytes) { return Send(ByteStream(bytes)); }

// --- Request heads ----------------------------------------------------------------

using HostileHead = HostileTest;

TEST_F(HostileHead, LengthsAndHeaderLinesOutsideTheGrammarGetA400) {
  ASSERT_TRUE(Start(""));
  const std::string form =
      "POST /form.lmc HTTP/1.0\r\nContent-Type: " + std::string(kUrlEncoded) + "\r\n";
  auto with_length = [&](const std::string& lines) { return form + lines + "\r\na=123"; };
  const std::string bad_length = Page400("Invalid Content-Length");
  const std::string bad_line = Page400("Invalid header line");
  const std::string nul(1, '\0');
  struct Case {
    std::string label;
    std::string request;
    std::string raw;  // the whole answer; empty: the program runs
  } cases[] = {
      {"plain", with_length("Content-Length: 5\r\n"), ""},
      {"two equal lengths", with_length("Content-Length: 5\r\nContent-Length: 5\r\n"), ""},
      {"negative", with_length("Content-Length: -1\r\n"), bad_length},
      {"plus sign", with_length("Content-Length: +5\r\n"), bad_length},
      {"exponent", with_length("Content-Length: 1e3\r\n"), bad_length},
      {"hex", with_length("Content-Length: 0x10\r\n"), bad_length},
      {"space inside", with_length("Content-Length: 5 5\r\n"), bad_length},
      {"trailing text", with_length("Content-Length: 5x\r\n"), bad_length},
      {"empty", with_length("Content-Length:\r\n"), bad_length},
      {"20 digits", with_length("Content-Length: 99999999999999999999\r\n"), bad_length},
      {"19 digits", with_length("Content-Length: 1000000000000000005\r\n"), bad_length},
      {"two differing", with_length("Content-Length: 5\r\nContent-Length: 6\r\n"), bad_length},
      {"differing, second header later",
       with_length("Content-Length: 5\r\nX-Between: 1\r\ncontent-length: 50\r\n"), bad_length},
      {"space before the colon", Get("/form.lmc", "X-Name : v\r\n"), bad_line},
      {"tab before the colon", Get("/form.lmc", "X-Name\t: v\r\n"), bad_line},
      {"folded with a space", Get("/form.lmc", "X-A: 1\r\n continued\r\n"), bad_line},
      {"folded with a tab", Get("/form.lmc", "X-A: 1\r\n\tcontinued\r\n"), bad_line},
      {"NUL in a value", Get("/form.lmc", "X-A: a" + nul + "b\r\n"), bad_line},
      {"NUL in a name", Get("/form.lmc", "X-" + nul + "A: b\r\n"), bad_line},
      {"bare CR in a value", Get("/form.lmc", "X-A: a\rb\r\n"), bad_line},
      {"CR before CRLF", Get("/form.lmc", "X-A: ab\r\r\n"), bad_line},
      {"NUL in the request line", "GET /form.lmc" + nul + " HTTP/1.0\r\n\r\n", bad_line},
      {"bare CR in the request line", "GET /form.lmc\rx HTTP/1.0\r\n\r\n", bad_line},
  };
  for (const Case& c : cases) {
    Expect expect;
    if (c.raw.empty()) {
      expect.runs = true;
    } else {
      expect.status = "HTTP/1.1 400 Bad Request";
    }
    const Outcome o = Check(c.label, Send(ByteStream(c.request), 5000), expect);
    if (!c.raw.empty()) {
      EXPECT_EQ(o.reply.raw, c.raw) << c.label;
    }
  }
  // Any Transfer-Encoding: the body is never read as chunked.
  const std::string chunked = "5\r\na=123\r\n0\r\n\r\n";
  for (const auto& [label, request] :
       {std::pair{"chunked", form + "Transfer-Encoding: chunked\r\n\r\n" + chunked},
        std::pair{"chunked with a length",
                  form + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\na=123"},
        std::pair{"identity", form + "Transfer-Encoding: identity\r\n\r\na=123"},
        std::pair{"on a GET", Get("/form.lmc", "Transfer-Encoding: chunked\r\n") + chunked}}) {
    Expect expect;
    expect.status = "HTTP/1.1 411 Length Required";
    Check(label, Send(request), expect);
  }
}

TEST_F(HostileHead, OnlyAWellFormedCallerIdIsKept) {
  ASSERT_TRUE(Start(""));
  const std::string good = "0123456789abcdef0123456789abcdef";
  const std::string script = "<script>alert(document.cookie)</script>";
  struct Case {
    std::string cookies;  // header lines
    bool kept;
  } cases[] = {
      {"Cookie: lmtcallerid=" + good + "\r\n", true},
      {"Cookie: a=1; lmtcallerid=" + good + "; b=2\r\n", true},
      {"Cookie: a=1\r\nCookie: lmtcallerid=" + good + "\r\n", true},
      {"Cookie: a=1,lmtcallerid=" + good + "\r\n", true},
      {"Cookie: lmtcallerid=" + good.substr(1) + "\r\n", false},
      {"Cookie: lmtcallerid=" + good + "0\r\n", false},
      {"Cookie: lmtcallerid=0123456789ABCDEF0123456789ABCDEF\r\n", false},
      {"Cookie: lmtcallerid=0123456789abcdefg123456789abcdef\r\n", false},
      {"Cookie: lmtcallerid=" + script + "\r\n", false},
      {"Cookie: lmtcallerid=\"" + good + "\"\r\n", false},
      {"Cookie: lmtcallerid=\r\n", false},
      {"Cookie: xlmtcallerid=" + good + "\r\n", false},
      {"Cookie: a=lmtcallerid=" + good + "\r\n", false},
  };
  for (const Case& c : cases) {
    const Reply r = Talk(port_, {Get("/id.lmc", c.cookies)}, 0, 10000);
    const std::string cookie = r.Header("Set-Cookie");
    const std::string id = Fields(r.body)["callerid"];
    EXPECT_EQ(cookie.rfind("lmtcallerid=" + id + "; ", 0), 0u) << c.cookies << cookie;
    if (c.kept) {
      EXPECT_EQ(id, good) << c.cookies;
    } else {
      EXPECT_EQ(id.size(), 32u) << c.cookies << id;
      EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << c.cookies << id;
      EXPECT_NE(id, good) << c.cookies;
    }
    EXPECT_EQ(r.raw.find("<script>"), std::string::npos) << c.cookies;
  }
}

// --- Forms -------------------------------------------------------------------------

using HostileForm = HostileTest;

// A name of `levels` selectors after "a", in each of the places a field
// name comes from.
enum class Carrier { kBody, kQuery, kMultipart };

ByteStream NestedRequest(Carrier carrier, const std::string& selector, uint64_t levels) {
  const ByteStream name = ByteStream("a").Add(selector, levels);
  switch (carrier) {
    case Carrier::kBody:
      return PostStream("/form.lmc", kUrlEncoded, ByteStream(name).Add("=v"));
    case Carrier::kQuery:
      return ByteStream("GET /form.lmc?").Add(name).Add("=v HTTP/1.0\r\n\r\n");
    case Carrier::kMultipart:
      return PostStream("/form.lmc", kMultipart,
                        ByteStream("--HostileBoundary\r\nContent-Disposition: form-data; name=\"")
                            .Add(name)
                            .Add("\"\r\n\r\nv\r\n")
                            .Add(kLastSeparator));
  }
  return {};
}

TEST_F(HostileForm, DeeplyNestedNamesAreRefused) {
  ASSERT_TRUE(Start(""));
  const struct {
    Carrier carrier;
    const char* label;
  } carriers[] = {
      {Carrier::kBody, "body"}, {Carrier::kQuery, "query"}, {Carrier::kMultipart, "multipart"}};
  for (const auto& [carrier, carrier_label] : carriers) {
    for (const char* selector : {"[1]", ":m"}) {
      for (uint64_t levels : {32, 33, 1000, 1000000}) {
        const std::string label =
            std::string(carrier_label) + " a" + selector + " x " + std::to_string(levels);
        Expect expect;
        expect.within_s = 15;
        if (levels == 32) {
          expect.runs = true;
        } else if (carrier == Carrier::kQuery && levels == 1000000) {
          // Longer than a request line may be.
          expect.status = "HTTP/1.1 400 Bad Request";
          expect.body = "Request line or header too long";
        } else if (carrier == Carrier::kMultipart && levels == 1000000) {
          // Longer than a part's header may be.
          expect.body = "Multipart header line too long";
        } else {
          expect.body = kTooMany;
        }
        Check(label, Send(NestedRequest(carrier, selector, levels), 20000), expect);
      }
    }
  }
  // Indexes that would make huge arrays if taken as positions.
  for (const char* name : {"a[2000000000]", "a[2147483647]", "a[99999999999999999999]",
                           "a[-2147483648]", "a[1][2000000000][3]"}) {
    Expect expect;
    expect.runs = std::nullopt;
    Check(name, Send(PostStream("/form.lmc", kUrlEncoded, ByteStream(name).Add("=v"))), expect);
  }
}

// Fields named f<i> with `selectors` selectors each: every field makes
// 1 + selectors variables and elements.
ByteStream ManyFields(const char* prefix, int count, const std::string& selector, int selectors,
                      bool multipart = false) {
  ByteStream body;
  for (int i = 0; i < count; ++i) {
    const std::string name = prefix + std::to_string(i);
    if (multipart) {
      body.Add("--HostileBoundary\r\nContent-Disposition: form-data; name=\"" + name)
          .Add(selector, static_cast<uint64_t>(selectors))
          .Add("\"\r\n\r\n1\r\n");
    } else {
      body.Add(i == 0 ? name : "&" + name)
          .Add(selector, static_cast<uint64_t>(selectors))
          .Add("=1");
    }
  }
  if (multipart) body.Add(kLastSeparator);
  return body;
}

TEST_F(HostileForm, FieldCountsCoverNestedVariablesAndTheQuery) {
  ASSERT_TRUE(Start(""));
  auto post = [](const ByteStream& body, const std::string& query = "") {
    return PostStream("/form.lmc" + (query.empty() ? "" : "?" + query), kUrlEncoded, body);
  };
  auto query = [](int count) { return ManyFields("q", count, "", 0).Text(); };
  struct Case {
    std::string label;
    ByteStream request;
    bool refused;
  } cases[] = {
      // 16,000 variables and elements, then 48,000 (the bound is 32,000).
      {"500 fields of 31 indexes", post(ManyFields("f", 500, "[1]", 31)), false},
      {"1500 fields of 31 indexes", post(ManyFields("f", 1500, "[1]", 31)), true},
      {"1500 fields of 31 members", post(ManyFields("f", 1500, ":m", 31)), true},
      {"1500 multipart fields of 31 indexes",
       PostStream("/form.lmc", kMultipart, ManyFields("f", 1500, "[1]", 31, true)), true},
      // The query and the body share the 2000 fields.
      {"2000 fields in the query", ByteStream(Get("/form.lmc?" + query(2000))), false},
      {"2001 fields in the query", ByteStream(Get("/form.lmc?" + query(2001))), true},
      {"1000 in the query and 1000 in the body", post(ManyFields("b", 1000, "", 0), query(1000)),
       false},
      {"1500 in the query and 600 in the body", post(ManyFields("b", 600, "", 0), query(1500)),
       true},
      {"1500 in the query and 600 in a multipart body",
       PostStream("/form.lmc?" + query(1500), kMultipart, ManyFields("b", 600, "", 0, true)), true},
  };
  for (Case& c : cases) {
    Expect expect;
    expect.runs = !c.refused;
    if (c.refused) expect.body = kTooMany;
    Check(c.label, Send(std::move(c.request)), expect);
  }
}

TEST_F(HostileForm, FormDataPastTheLimitIsRefusedEarly) {
  // Below the default (16 MiB, in tests/stress/): the cases stay quick and
  // what they may hold stays well under the ceiling.
  ASSERT_TRUE(Start("maxpostformlength = 4194304\n"));
  // 10,000 names of 64 KiB (a part's header holds a name of 64 KiB less
  // its quotes).
  ByteStream long_names, long_part_names;
  for (int i = 0; i < 10000; ++i) {
    const std::string prefix = std::string("n").append(std::to_string(i));
    long_names.Add(i == 0 ? prefix : std::string("&").append(prefix)).Add("x", 65536 - prefix.size()).Add("=v");
    long_part_names.Add("--HostileBoundary\r\nContent-Disposition: form-data; name=\"" + prefix)
        .Add("x", 65534 - prefix.size())
        .Add("\"\r\n\r\nv\r\n");
  }
  long_part_names.Add(kLastSeparator);
  ByteStream five_fields;
  for (int i = 0; i < 5; ++i) {
    five_fields.Add(PartHead("f" + std::to_string(i))).Add("v", 200000000).Add("\r\n");
  }
  five_fields.Add(kLastSeparator);
  struct Case {
    std::string label;
    ByteStream request;
  } cases[] = {
      {"1 GB URL-encoded",
       PostStream("/form.lmc", kUrlEncoded, ByteStream("a=").Add("x", 1000000000 - 2))},
      {"10,000 URL-encoded names of 64 KiB", PostStream("/form.lmc", kUrlEncoded, long_names)},
      {"5 multipart fields of 200 MB", PostStream("/form.lmc", kMultipart, five_fields)},
      {"10,000 multipart names of 64 KiB", PostStream("/form.lmc", kMultipart, long_part_names)},
  };
  for (Case& c : cases) {
    Expect expect;
    expect.body = kFormTooLong;
    expect.within_s = 10;
    // Refused at the length, or once 4 MiB are held: long before the body
    // is through (the rest sits in socket buffers at most).
    expect.sent_before_answer = 64 * kMiB;
    Check(c.label, Send(std::move(c.request), 30000), expect);
  }
  // Clients that take no notice of the answer and send on: the server
  // reads on only for a while, so all five workers are soon free again.
  std::vector<Attack> together;
  for (int i = 0; i < 5; ++i) {
    Traffic t =
        Send(PostStream("/form.lmc", kUrlEncoded, ByteStream("a=").Add("x", uint64_t{100} << 30)),
             12000);
    t.send_past_close = true;
    Expect expect;
    expect.body = kFormTooLong;
    expect.within_s = 5;
    expect.refused_within_s = 8;
    together.push_back(
        {"100 GiB sent on after the answer #" + std::to_string(i), std::move(t), expect});
  }
  CheckTogether(std::move(together));
}

// Bodies whose shape, not their size, would cost: many separators, empty
// fields and parts, part heads of many lines. Whatever the program makes
// of them, the answer comes soon and little is held.
TEST_F(HostileForm, OddlyShapedBodiesStayCheap) {
  ASSERT_TRUE(Start(""));
  const struct {
    std::string label;
    ByteStream request;
  } cases[] = {
      {"10,000,000 separators",
       PostStream("/form.lmc", kUrlEncoded, ByteStream().Add("&", 10000000))},
      {"1,000,000 '=' in a value",
       PostStream("/form.lmc", kUrlEncoded, ByteStream("a=").Add("=", 1000000))},
      {"3,000,000 escapes",
       PostStream("/form.lmc", kUrlEncoded, ByteStream("a=").Add("%41", 3000000))},
      {"an escape cut short at the end", PostStream("/form.lmc", kUrlEncoded, ByteStream("a=%4"))},
      {"1,000,000 empty parts",
       PostStream("/form.lmc", kMultipart,
                  ByteStream().Add("--HostileBoundary\r\n\r\n\r\n", 1000000).Add(kLastSeparator))},
      {"a part head of 200,000 lines",
       PostStream("/form.lmc", kMultipart,
                  ByteStream("--HostileBoundary\r\n")
                      .Add("Content-Type: text/" + std::string(40, 't') + "\r\n", 200000)
                      .Add("Content-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n")
                      .Add(kLastSeparator))},
      {"100,000 parameters",
       PostStream("/form.lmc", kMultipart,
                  ByteStream("--HostileBoundary\r\nContent-Disposition: form-data")
                      .Add("; p=\"x\"", 100000)
                      .Add("; name=\"a\"\r\n\r\nv\r\n")
                      .Add(kLastSeparator))},
      {"8 MB of near-boundaries",
       PostStream("/form.lmc", kMultipart,
                  ByteStream(PartHead("a")).Add("\r\n--HostileBoundarX", 400000))},
  };
  for (const auto& c : cases) {
    Expect expect;
    expect.runs = std::nullopt;
    Check(c.label, Send(c.request, 15000), expect);
  }
}

TEST_F(HostileForm, FormLengthLimitIsExact) {
  ASSERT_TRUE(Start("maxpostformlength = 65536\n"));
  const uint64_t limit = 65536;
  auto url = [](uint64_t length) {
    return PostStream("/form.lmc", kUrlEncoded, ByteStream("a=").Add("x", length - 2));
  };
  // Names and values count ("a" is one byte of it); uploads do not.
  auto part = [](uint64_t value) {
    return PostStream("/form.lmc", kMultipart,
                      ByteStream(PartHead("a")).Add("x", value).Add("\r\n").Add(kLastSeparator));
  };
  const struct {
    std::string label;
    ByteStream request;
    bool refused;
  } cases[] = {
      {"URL-encoded at the limit", url(limit), false},
      {"URL-encoded one past", url(limit + 1), true},
      {"multipart at the limit", part(limit - 1), false},
      {"multipart one past", part(limit), true},
      {"multipart with a 4 MiB upload",
       PostStream("/up.lmc", kMultipart,
                  ByteStream(PartHead("a"))
                      .Add("x", 1000)
                      .Add("\r\n")
                      .Add(UploadBody("f", 4 * kMiB))
                      .Add(kLastSeparator)),
       false},
  };
  for (const auto& c : cases) {
    Expect expect;
    expect.runs = !c.refused;
    if (c.refused) expect.body = kFormTooLong;
    Check(c.label, Send(c.request), expect);
  }
}

// --- Uploads -------------------------------------------------------------------------

using HostileUpload = HostileTest;

// Files past a limit are cut there on disk and reported PARTIAL with the
// size received. (2 GiB and the default limits: tests/stress/.)
TEST_F(HostileUpload, UploadsPastTheLimitsAreCutAndReportedPartial) {
  const uint64_t per_file = 16 * kMiB, total = 24 * kMiB;
  ASSERT_TRUE(Start("maxuploadlength = " + std::to_string(per_file) +
                    "\nmaxuploadtotallength = " + std::to_string(total) + "\n"));
  const uint64_t ten = 10 * kMiB;
  auto size = [](uint64_t n) { return std::to_string(n); };
  const struct {
    std::string label;
    ByteStream body;
    std::string log;
  } cases[] = {
      {"64 MiB upload, 16 MiB kept", UploadBody("f", 64 * kMiB),
       "f,PARTIAL," + size(64 * kMiB) + ";"},
      {"at the file limit", UploadBody("f", per_file), "f,COMPLETE," + size(per_file) + ";"},
      {"one past the file limit", UploadBody("f", per_file + 1),
       "f,PARTIAL," + size(per_file + 1) + ";"},
      // 10 MiB each: the third passes the request's 24 MiB, the fourth has
      // nothing left.
      {"four files past the request's total",
       UploadBody("a", ten)
           .Add(UploadBody("b", ten))
           .Add(UploadBody("c", ten))
           .Add(UploadBody("d", ten)),
       "a,COMPLETE," + size(ten) + ";b,COMPLETE," + size(ten) + ";c,PARTIAL," + size(ten) +
           ";d,PARTIAL," + size(ten) + ";"},
  };
  for (const auto& c : cases) {
    Expect expect;
    expect.runs = true;
    expect.body = c.log;
    expect.within_s = 20;
    expect.largest_upload = static_cast<int64_t>(per_file);
    Check(c.label,
          Send(PostStream("/up.lmc", kMultipart, ByteStream(c.body).Add(kLastSeparator)), 30000),
          expect);
  }
}

// --- Slow, short and stalled bodies --------------------------------------------------

using HostileBody = HostileTest;

TEST_F(HostileBody, SlowStalledAndShortBodiesNeverRunTheProgram) {
  ASSERT_TRUE(Start("posttimeout = 2\n"));
  const std::string url_head = PostHead("/form.lmc", kUrlEncoded, 100);
  const std::string upload_head = PostHead("/up.lmc", kMultipart, 1 << 20) + PartHead("f", "f.bin");
  struct Slow {
    std::string label;
    std::string head;  // sent at once
    uint64_t trickle;  // then this many bytes, one per pause
    int pause_ms;
    bool half_close;  // then the client shuts its side
    const char* message;
  };
  const std::vector<std::vector<Slow>> groups = {
      {
          // A byte every 3 s: each wait is longer than the whole time-out.
          {"URL-encoded, a byte every 3 s", url_head, 10, 3000, false, kPostTimeout},
          {"upload, a byte every 3 s", upload_head, 10, 3000, false, kPostTimeout},
          // A byte every 0.4 s: only a bound on the whole body ends it.
          {"URL-encoded, a byte every 0.4 s", url_head, 90, 400, false, kPostTimeout},
          {"upload, a byte every 0.4 s", upload_head, 1000, 400, false, kPostTimeout},
      },
      {
          {"URL-encoded, short and stalled", url_head + "a=12345678", 0, 0, false, kPostTimeout},
          {"upload, short and stalled", upload_head + std::string(65536, 'u'), 0, 0, false,
           kPostTimeout},
          {"URL-encoded, short and half-closed", url_head + "a=12345678", 0, 0, true, kIncomplete},
          {"upload, short and half-closed", upload_head + std::string(65536, 'u'), 0, 0, true,
           kIncomplete},
      },
  };
  // A group at a time, each client on its own worker.
  for (const std::vector<Slow>& group : groups) {
    std::vector<Attack> together;
    for (const Slow& c : group) {
      Traffic t;
      t.bytes = ByteStream(c.head).Add("1", c.trickle);
      t.lead = c.head.size();
      t.piece = 1;
      t.pause_ms = c.pause_ms;
      t.half_close = c.half_close;
      t.wait_ms = 8000;
      Expect expect;
      expect.body = c.message;
      if (c.message == kPostTimeout) {
        expect.not_before_s = 1.5;
        expect.within_s = 4.5;
      } else {
        // Well before the time-out.
        expect.within_s = 1.5;
      }
      together.push_back({c.label, std::move(t), expect});
    }
    CheckTogether(std::move(together));
  }
}

// --- Responses nobody reads ----------------------------------------------------------

// The test host with a send time-out of 1 s and a run monitor ticking
// every 100 ms.
class HostileOutput : public HostileTest {
 protected:
  bool StartHost(const std::string& config) {
    return Start(config, {"--io-timeout", "1000", "--monitor-interval", "100"});
  }

  // Five clients ask for `path` and read nothing, holding every worker;
  // then six normal requests come at once. Each must be answered within
  // `bound_s` of the first stuck request (and not before `not_before_s`),
  // while the stuck clients are still connected, and the server's memory
  // must stay under the ceiling.
  void NormalRequestsGetThrough(const std::string& path, double not_before_s, double bound_s) {
    MemoryWatch watch(Pid());
    const auto start = Clock::now();
    std::vector<int> stuck;
    for (int i = 0; i < 5; ++i) {
      stuck.push_back(ConnectTo(port_, 4096));
      ASSERT_GE(stuck.back(), 0);
      const std::string request = Get(path);
      ASSERT_EQ(send(stuck.back(), request.data(), request.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(request.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> bodies(6);
    std::vector<double> seconds(6);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < bodies.size(); ++i) {
      clients.emplace_back([&, i] {
        bodies[i] = Talk(port_, {Get("/ok.lmc")}, 0, 15000).body;
        seconds[i] = Seconds(Clock::now() - start);
      });
    }
    for (std::thread& t : clients) t.join();
    watch.Finish();
    for (size_t i = 0; i < bodies.size(); ++i) {
      EXPECT_EQ(bodies[i], "ok") << path << ": request " << i;
      EXPECT_GE(seconds[i], not_before_s) << path << ": request " << i;
      EXPECT_LE(seconds[i], bound_s) << path << ": request " << i;
    }
    // The stuck clients were connected all along, their answers started.
    for (int fd : stuck) {
      int error = 0;
      socklen_t length = sizeof error;
      EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length), 0);
      EXPECT_EQ(error, 0);
      char head[16] = {};
      EXPECT_EQ(recv(fd, head, 15, MSG_PEEK | MSG_DONTWAIT), 15) << path;
      EXPECT_STREQ(head, "HTTP/1.1 200 OK") << path;
      close(fd);
    }
    EXPECT_LE(watch.Peak() - watch.Idle(), 64 * kMiB)
        << path << ": resident memory grew from " << MiB(watch.Idle()) << " to "
        << MiB(watch.Peak());
    printf(
        "[  figures ] 5 clients that never read %s: 6 requests answered after %.2f to %.2f s, "
        "resident idle %s, peak +%s\n",
        path.c_str(), *std::min_element(seconds.begin(), seconds.end()),
        *std::max_element(seconds.begin(), seconds.end()), MiB(watch.Idle()).c_str(),
        MiB(watch.Peak() - watch.Idle()).c_str());
    EXPECT_EQ(Talk(port_, {Get("/ok.lmc")}, 0, 10000).body, "ok");
  }
};

// 200 MB each: every worker is held one send time-out, then the run stops
// and the rest of its output is dropped; nothing of the 1 GB stays in
// memory.
TEST_F(HostileOutput, ClientsThatNeverReadCostOneSendWait) {
  ASSERT_TRUE(StartHost("globaltimeout = 60\n"));
  NormalRequestsGetThrough("/big.lmc", 0, 5.0);
}

// A run that holds 6 MB of output, more than the kernel takes from it,
// and never ends: it is stopped at its own time-out (2 s), and sending
// what it wrote to a client that does not read costs one more send
// time-out at most.
TEST_F(HostileOutput, AfterTheRunTimeOutOneMoreSendWaitAtMost) {
  Program("held.lmc", ".global i\nstoregi i, 0\nloop: cmpgi i, 6000\njmp_ge spin\n" +
                          Print(std::string(1000, 'h')) + "incg i, 1\njmp loop\nspin: jmp spin\n");
  ASSERT_TRUE(Start("globaltimeout = 2\n", {"--io-timeout", "1000", "--monitor-interval", "100",
                                            "--output-flush", "16777216"}));
  NormalRequestsGetThrough("/held.lmc", 1.8, 6.0);
}

}  // namespace
}  // namespace lumo
