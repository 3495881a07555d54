// lumoc's compile speed: a generated page of 10,000 lines (text, prints,
// conditions, loops, assignments, functions and their calls, in the mix a
// site's pages have) compiled to a program image. The target is under
// 100 ms for the whole page.
#include <benchmark/benchmark.h>

#include <string>

#include "core/base/string.h"
#include "tools/lumoc/compiler.h"

namespace {

std::string Page(int lines) {
  std::string page;
  int written = 0;
  for (int block = 0; written < lines; ++block) {
    const std::string n = std::to_string(block);
    page += "<LmFUNCTION name=\"cell" + n + "(value, &count)\">\n"
            "<LmASSIGN var=\"count\" value=\"count + 1\">\n"
            "<td class=\"c" + n + "\">{{ value }}</td>\n"
            "<LmFUNCTIONRETURN value=\"count * 2\">\n"
            "</LmFUNCTION>\n"
            "<h2>Section " + n + "</h2>\n"
            "<LmASSIGN var=\"g.total\" value=\"0\">\n"
            "<LmASSIGNARRAY var=\"row\" values=\"'a', 'b', " + n + ", 'x' $ " + n + "\">\n"
            "<table>\n"
            "<LmFOR var=\"g.i\" from=\"1\" to=\"10\">\n"
            "<tr><th>{{ g.i }}</th>\n"
            "<LmIF test=\"g.i MOD 2 EQ 0 AND name NE 'x'\">\n"
            "<LmEVAL expr=\"cell" + n + "(row[2] $ g.i, g.total)\">\n"
            "<LmELSEIF test=\"g.i GT 5\">\n"
            "<td>{{ row[1] $ ' ' $ g.i * 3 + 1 }}</td>\n"
            "<LmELSE>\n"
            "<td>{{{ '<b>' $ p:name $ '</b>' }}}</td>\n"
            "</LmIF>\n"
            "</tr>\n"
            "</LmFOR>\n"
            "</table>\n"
            "<LmFOREACH var=\"e\" in=\"row\" index=\"k\">{{ k }}: {{ e }}, </LmFOREACH>\n"
            "<p>Total {{ g.total }} of section " + n + ".</p>\n";
    written += 23;
  }
  return page;
}

void CompileTenThousandLines(benchmark::State& state) {
  const std::string page = Page(10000);
  for (auto _ : state) {
    lumo::LumoCompiler compiler;
    lumo::String image;
    if (!compiler.CompileSource(page, "big.lum", &image)) {
      state.SkipWithError(compiler.FormattedMessages().c_str());
      return;
    }
    benchmark::DoNotOptimize(image.Length());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(CompileTenThousandLines)->Unit(benchmark::kMillisecond);

}  // namespace
