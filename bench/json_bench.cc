// What it measures: reading and writing JSON texts with the dynamic values (ParseString, then
// AsJSon(false, true)) side by side with nlohmann::json (parse, then dump with every non-ASCII
// character escaped) on the same texts:
//   - Add: the typical parameters of an "Add" call, {"A":2,"B":3,"Info":"x"};
//   - Large: a seeded ~1 MB object of 10 000 members with strings, numbers, nested arrays and
//     objects.
// The *_Parse and *_Write variants split the round trip in two.
// Reproduce: scripts/bench json_bench
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "json/dyn_object.h"

namespace {

using appsrv::json::IDynObject;
using appsrv::json::TDynObject;

const std::string kAddText = R"({"A":2,"B":3,"Info":"x"})";

std::string random_word(std::mt19937& rng, size_t min_len, size_t max_len) {
  static const char* const kPieces[] = {"a", "b",    "c",   "d",        "e",           "k", "m",
                                        "o", "r",    "s",   "t",        "x",           " ", "_",
                                        "/", "\\\"", "\\n", "\xC3\xA9", "\xE6\x9C\x8D"};
  const size_t len = min_len + rng() % (max_len - min_len + 1);
  std::string s;
  while (s.size() < len) {
    // Mostly letters; escapes and non-ASCII now and then.
    const size_t r = rng() % 100;
    s += r < 90 ? kPieces[rng() % 13] : kPieces[13 + rng() % 6];
  }
  return s;
}

// 10 000 members, about 100 bytes each: the generator is seeded, so every run reads the same.
std::string large_text() {
  std::mt19937 rng(20151207);
  std::string s = "{";
  const auto quoted = [&](size_t min_len, size_t max_len) {
    s += '"';
    s += random_word(rng, min_len, max_len);
    s += '"';
  };
  for (int i = 0; i < 10000; ++i) {
    if (i > 0) {
      s += ',';
    }
    s += "\"member";
    s += std::to_string(i);
    s += random_word(rng, 2, 8);
    s += "\":";
    switch (i % 6) {
      case 0:
        s += std::to_string(static_cast<int64_t>(rng()) * 4099 - 1000000);
        break;
      case 1:
        quoted(190, 360);
        break;
      case 2:
        s += std::to_string(rng() % 100000);
        s += '.';
        s += std::to_string(rng() % 100);
        break;
      case 3: {
        s += '[';
        const int n = 4 + static_cast<int>(rng() % 8);
        for (int k = 0; k < n; ++k) {
          if (k > 0) {
            s += ',';
          }
          if (k % 2 == 0) {
            s += std::to_string(rng() % 1000);
          } else {
            quoted(3, 10);
          }
        }
        s += ",[true,false,null]]";
        break;
      }
      case 4:
        s += "{\"id\":";
        s += std::to_string(rng() % 100000);
        s += ",\"name\":";
        quoted(30, 80);
        s += ",\"tags\":[";
        quoted(3, 8);
        s += ',';
        quoted(3, 8);
        s += "],\"ok\":true}";
        break;
      default:
        s += std::to_string(rng() % 1000);
        s += ".25e";
        s += std::to_string(rng() % 20);
        break;
    }
  }
  s += '}';
  return s;
}

const std::string& text_for(int which) {
  static const std::string large = large_text();
  return which == 0 ? kAddText : large;
}

void Dyn_RoundTrip(benchmark::State& state) {
  const std::string& text = text_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const IDynObject v = TDynObject::ParseString(text, false, true);
    std::string out = v->AsJSon(false, true);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}

void Nlohmann_RoundTrip(benchmark::State& state) {
  const std::string& text = text_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const nlohmann::json v = nlohmann::json::parse(text);
    std::string out = v.dump(-1, ' ', true);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Dyn_Parse(benchmark::State& state) {
  const std::string& text = text_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    IDynObject v = TDynObject::ParseString(text, false, true);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Nlohmann_Parse(benchmark::State& state) {
  const std::string& text = text_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    nlohmann::json v = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Dyn_Write(benchmark::State& state) {
  const std::string& text = text_for(static_cast<int>(state.range(0)));
  const IDynObject v = TDynObject::ParseString(text, false, true);
  for (auto _ : state) {
    std::string out = v->AsJSon(false, true);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Nlohmann_Write(benchmark::State& state) {
  const std::string& text = text_for(static_cast<int>(state.range(0)));
  const nlohmann::json v = nlohmann::json::parse(text);
  for (auto _ : state) {
    std::string out = v.dump(-1, ' ', true);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Argument 0 is the Add parameters, 1 the large object.
BENCHMARK(Dyn_RoundTrip)->ArgName("large")->Arg(0)->Arg(1);
BENCHMARK(Nlohmann_RoundTrip)->ArgName("large")->Arg(0)->Arg(1);
BENCHMARK(Dyn_Parse)->ArgName("large")->Arg(0)->Arg(1);
BENCHMARK(Nlohmann_Parse)->ArgName("large")->Arg(0)->Arg(1);
BENCHMARK(Dyn_Write)->ArgName("large")->Arg(0)->Arg(1);
BENCHMARK(Nlohmann_Write)->ArgName("large")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
