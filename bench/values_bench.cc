// Benchmarks of script values: conversions through Variable, aggregates and
// scopes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "core/base/dictionary.h"
#include "values/variable.h"
#include "values/variable_hash.h"

namespace lumo {
namespace {


void BM_VariableIntegerToText(benchmark::State& state) {
  auto* v = new Variable("v");
  int32_t i = 0;
  for (auto _ : state) {
    v->SetValue_Integer(i++);
    benchmark::DoNotOptimize(v->Value().Length());
  }
  v->Free();
}
BENCHMARK(BM_VariableIntegerToText);

void BM_VariableTextToNumber(benchmark::State& state) {
  auto* v = new Variable("v");
  for (auto _ : state) {
    v->SetValue("12345", 5);
    benchmark::DoNotOptimize(v->Value_Integer());
  }
  v->Free();
}
BENCHMARK(BM_VariableTextToNumber);

// Loops over 1, 2, 3 ... are what the splay tree is for.
void BM_ArraySequential(benchmark::State& state) {
  auto* a = new Variable("a");
  const int32_t n = static_cast<int32_t>(state.range(0));
  for (int32_t i = 1; i <= n; ++i) a->Element(AggregateIndex(i), true)->SetValue_Integer(i);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t i = 1; i <= n; ++i) sum += a->Element(AggregateIndex(i), false)->Value_Integer();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
  a->Free();
}
BENCHMARK(BM_ArraySequential)->Arg(1000)->Arg(1000000);

// 1,000,000 members "k"+i stored in a structure, then all summed by lookup.
void BM_StructureMembers(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) names.push_back(Numbered("k", i));
  for (auto _ : state) {
    auto* s = new Variable("s");
    for (int32_t i = 0; i < n; ++i) {
      s->Element(AggregateIndex(names[static_cast<size_t>(i)]), true)->SetValue_Integer(i);
    }
    int64_t sum = 0;
    for (int32_t i = 0; i < n; ++i) {
      sum += s->Element(AggregateIndex(names[static_cast<size_t>(i)]), false)->Value_Integer();
    }
    benchmark::DoNotOptimize(sum);
    s->Free();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_StructureMembers)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_AggregateDeepCopy(benchmark::State& state) {
  auto* a = new Variable("a");
  for (int32_t i = 1; i <= state.range(0); ++i) {
    a->Element(AggregateIndex(i), true)->SetValue("value", 5);
  }
  for (auto _ : state) {
    auto* copy = new Variable(*a);
    benchmark::DoNotOptimize(copy);
    copy->Free();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  a->Free();
}
BENCHMARK(BM_AggregateDeepCopy)->Arg(10000);

void BM_VariableHashFindByName(benchmark::State& state) {
  Dictionary dictionary;
  VariableHash hash(&dictionary);
  std::vector<std::string> names;
  for (int i = 0; i < 500; ++i) {
    names.push_back(Numbered("Global_", i));
    hash.SetVariable(names.back().data(), static_cast<int32_t>(names.back().size()), "x", 1);
  }
  size_t i = 0;
  for (auto _ : state) {
    Variable* v = nullptr;
    const std::string& n = names[i];
    benchmark::DoNotOptimize(hash.Find(&v, n.data(), static_cast<int32_t>(n.size()), false));
    if (++i == names.size()) i = 0;
  }
}
BENCHMARK(BM_VariableHashFindByName);

// A call copies the function's name table to make its locals.
void BM_LocalsCopyNames(benchmark::State& state) {
  Dictionary dictionary;
  VariableHash names(&dictionary, VariableHash::kLocalBits, VariableHash::kLocalCapacity);
  for (int i = 0; i < 8; ++i) {
    std::string n = Numbered("local", i);
    names.AddEntry(n.data(), static_cast<int32_t>(n.size()));
  }
  VariableHash locals(&dictionary, VariableHash::kLocalBits, VariableHash::kLocalCapacity);
  for (auto _ : state) {
    locals.CopyNames(names);
    benchmark::DoNotOptimize(locals.Count());
  }
}
BENCHMARK(BM_LocalsCopyNames);

}  // namespace
}  // namespace lumo
