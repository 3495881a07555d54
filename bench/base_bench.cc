// Benchmarks of the foundation layer: strings, hashing, tables, number
// conversions.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "core/base/conversions.h"
#include "core/base/dictionary.h"
#include "core/base/hash_table.h"
#include "core/base/lookup2.h"
#include "core/base/string.h"

namespace lumo {
namespace {


void BM_StringAppendByte(benchmark::State& state) {
  for (auto _ : state) {
    String s;
    for (int i = 0; i < state.range(0); ++i) s.Append('x');
    benchmark::DoNotOptimize(s.Data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StringAppendByte)->Arg(1000)->Arg(1000000);

// The shape of a script that builds one long text from many short pieces.
void BM_StringAppendDecimals(benchmark::State& state) {
  for (auto _ : state) {
    String s;
    for (int32_t i = 1; i <= state.range(0); ++i) AppendInteger(s, i);
    benchmark::DoNotOptimize(s.Length());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StringAppendDecimals)->Arg(1000000);

void BM_Lookup2(benchmark::State& state) {
  std::string key(static_cast<size_t>(state.range(0)), 'k');
  for (auto _ : state) {
    benchmark::DoNotOptimize(Lookup2NoCase(key.data(), static_cast<uint32_t>(key.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Lookup2)->Arg(8)->Arg(32)->Arg(256);

struct Named {
  explicit Named(std::string n) : name(std::move(n)) {}
  std::string_view Name() const { return name; }
  std::string name;
};

void BM_HashTableFind(benchmark::State& state) {
  NameHashTable<Named> table(true, true);
  std::vector<std::string> keys;
  for (int i = 0; i < state.range(0); ++i) {
    keys.push_back(Numbered("Header-", i));
    table.Insert(new Named(keys.back()));
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.Find(keys[i]));
    if (++i == keys.size()) i = 0;
  }
}
BENCHMARK(BM_HashTableFind)->Arg(64)->Arg(10000);

void BM_FormatDouble(benchmark::State& state) {
  double v = 0.1;
  for (auto _ : state) {
    String s = FormatDouble(v, -1);
    benchmark::DoNotOptimize(s.Data());
    v += 1.37;
  }
}
BENCHMARK(BM_FormatDouble);

void BM_ParseDouble(benchmark::State& state) {
  const char* texts[] = {"3.14159", "-12.5e3", "1000000", "0.000123"};
  size_t i = 0;
  for (auto _ : state) {
    const char* t = texts[i++ & 3];
    benchmark::DoNotOptimize(ParseDouble(t, static_cast<int32_t>(strlen(t)), nullptr));
  }
}
BENCHMARK(BM_ParseDouble);

void BM_ParseInteger(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ParseInteger("1234567", 7, nullptr));
}
BENCHMARK(BM_ParseInteger);

// Names added while compiling expressions at run time search the current
// block for an existing copy first.
void BM_DictionaryAddEntry(benchmark::State& state) {
  for (auto _ : state) {
    Dictionary d;
    for (int i = 0; i < 1000; ++i) {
      std::string name = Numbered("variable", i % 300);
      benchmark::DoNotOptimize(d.AddEntry(name.data(), static_cast<int32_t>(name.size())));
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_DictionaryAddEntry);

}  // namespace
}  // namespace lumo
