// Class lookup by hash identifier and GUID (CQZRuntimeClass::GetClassPtr) at 64, 512 and 4096
// registered classes, hits and misses, against std::unordered_map keyed by the same 20 bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/objmodel.h"
#include "qzobj/platform/module.h"
#include "support/ratio_reporter.h"

namespace {

struct Key {
    DWORD hashID;
    GUID guid;
    bool operator==(const Key& other) const { return hashID == other.hashID && guid == other.guid; }
};

struct KeyHash {
    size_t operator()(const Key& key) const {
        char bytes[20];
        std::memcpy(bytes, &key.hashID, 4);
        std::memcpy(bytes + 4, &key.guid, 16);
        return std::hash<std::string_view>()(std::string_view(bytes, sizeof bytes));
    }
};

GUID GuidOf(DWORD n) {
    GUID guid{};
    guid.Data1 = 0x6B1F0000u + n;
    guid.Data2 = 0x2C7A;
    guid.Data3 = static_cast<WORD>(n * 7919u);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(n >> (i % 4 * 8));
    return guid;
}

// Records registered so far; a deque keeps their addresses stable.
std::deque<CQZRuntimeClass>& Records() {
    static auto& records = *new std::deque<CQZRuntimeClass>;
    return records;
}

void EnsureRegistered(size_t count) {
    auto& records = Records();
    while (records.size() < count) {
        CQZRuntimeClass& record = records.emplace_back();
        std::memset(static_cast<void*>(&record), 0, sizeof record);
        record.cbSize = sizeof(CQZRuntimeClass);
        record.dwObjSize = 16;
        std::snprintf(record.szClassName, sizeof record.szClassName, "BenchClass%zu",
                      records.size());
        record.guid = GuidOf(static_cast<DWORD>(records.size()));
        record.dwStatus = QZRTC_NEVER;
        record.dwVTblVersion = 1;
        if (record.RegisterClass(qzo::platform::MainModule(), nullptr, 0) != QZRTC_REGISTERED) {
            std::fprintf(stderr, "registration of %s failed\n", record.szClassName);
            std::exit(1);
        }
    }
}

std::vector<Key> Hits(size_t count) {
    std::vector<Key> keys;
    for (size_t i = 0; i < count; ++i) keys.push_back({Records()[i].dwHashID, Records()[i].guid});
    return keys;
}

// Misses: names never registered, and registered identifiers with a GUID nobody has.
std::vector<Key> Misses(size_t count) {
    std::vector<Key> keys;
    for (size_t i = 0; i < count; ++i) {
        const std::string name = "Missing" + std::to_string(i);
        if (i % 2 == 0)
            keys.push_back({GetHashID(name.c_str()), GuidOf(static_cast<DWORD>(i))});
        else
            keys.push_back({Records()[i].dwHashID, GuidOf(0x00FF0000u + static_cast<DWORD>(i))});
    }
    return keys;
}

void Lookup(benchmark::State& state, bool hits) {
    const size_t count = static_cast<size_t>(state.range(0));
    EnsureRegistered(count);
    const std::vector<Key> keys = hits ? Hits(count) : Misses(count);
    size_t i = 0, found = 0;
    for (auto _ : state) {
        const Key& key = keys[i++ % keys.size()];
        found += CQZRuntimeClass::GetClassPtr(&key.guid, key.hashID) != nullptr;
    }
    benchmark::DoNotOptimize(found);
    const size_t expected = hits ? static_cast<size_t>(state.iterations()) : 0;
    if (found != expected) state.SkipWithError("unexpected lookup result");
}

void MapLookup(benchmark::State& state, bool hits) {
    const size_t count = static_cast<size_t>(state.range(0));
    EnsureRegistered(count);
    std::unordered_map<Key, const CQZRuntimeClass*, KeyHash> map;
    const std::vector<Key> registered = Hits(count);
    for (size_t k = 0; k < count; ++k) map.emplace(registered[k], &Records()[k]);
    const std::vector<Key> keys = hits ? Hits(count) : Misses(count);
    size_t i = 0, found = 0;
    for (auto _ : state) {
        const Key& key = keys[i++ % keys.size()];
        found += map.find(key) != map.end();
    }
    benchmark::DoNotOptimize(found);
}

void RegistryHit(benchmark::State& state) {
    Lookup(state, true);
}
void RegistryMiss(benchmark::State& state) {
    Lookup(state, false);
}
void MapHit(benchmark::State& state) {
    MapLookup(state, true);
}
void MapMiss(benchmark::State& state) {
    MapLookup(state, false);
}

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    SetDebugMode(FALSE);
    std::vector<qzo::bench::Comparison> comparisons;
    for (int count : {64, 512, 4096}) {
        for (const char* kind : {"Hit", "Miss"}) {
            const std::string suffix = "/" + std::to_string(count);
            comparisons.push_back({std::string("Registry") + kind + suffix,
                                   std::string("Map") + kind + suffix,
                                   std::string("GetClassPtr ") + kind + " at " +
                                       std::to_string(count) + " classes / std::unordered_map",
                                   0});
        }
    }
    for (auto [name, function] :
         {std::pair{"RegistryHit", &RegistryHit}, std::pair{"MapHit", &MapHit},
          std::pair{"RegistryMiss", &RegistryMiss}, std::pair{"MapMiss", &MapMiss}}) {
        benchmark::RegisterBenchmark(name, function)->Arg(64)->Arg(512)->Arg(4096);
    }
    qzo::bench::RunWithRatios(std::move(comparisons));
    return 0;
}
