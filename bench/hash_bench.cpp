// Throughput of the digests and the Base64 codec used by authentication.
#include <benchmark/benchmark.h>

#include <string>

#include "client/Base64.h"
#include "client/MD5.h"
#include "client/SHA.h"

namespace {

std::string payload(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

void BM_MD5(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        tern::MD5 md5;
        md5.update(data);
        benchmark::DoNotOptimize(md5.rawDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_SHA1(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        tern::SHA sha;
        sha.update(data);
        benchmark::DoNotOptimize(sha.hexDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Encode(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(tern::base64Encode(data));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string text = tern::base64Encode(payload(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(tern::base64Decode(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

}  // namespace

BENCHMARK(BM_MD5)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_SHA1)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_Base64Encode)->Arg(1 << 20);
BENCHMARK(BM_Base64Decode)->Arg(1 << 20);
BENCHMARK_MAIN();
