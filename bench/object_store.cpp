// The object store's commit, restore and change detection against anchors on the same file
// system. Commit and restore of 1 KB, 64 KB and 4 MB objects, with and without the flush flag
// (compacting the history now and then, untimed), against a blob row in SQLite (WAL, UPDATE and
// SELECT by key; synchronous=NORMAL for commits without flush, FULL for commits with it) and
// against the floor of a raw pwrite/pread of the same bytes (+ fdatasync). Change detection
// answered from the change table (SnoopChange hits) against a std::unordered_map lookup under a
// std::shared_mutex, at 1 and 4 threads. Prints the ratios at the end; SQLite is skipped when it
// is not installed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#if QZO_HAVE_SQLITE3
#include <sqlite3.h>
#endif

#include "qzobj/objmodel.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "qzobj/store.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"
#include "support/temp_folder.h"

namespace {

constexpr DWORD kRead = 0x80000000u;
constexpr DWORD kReadWriteEdit = 0xE0000000u;
constexpr DWORD kSizes[] = {1u << 10, 64u << 10, 4u << 20};
constexpr int kSnoopThreads = 4;

std::string g_folder;

std::u16string SystemPath(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

std::string SizeName(DWORD size) {
    return size >= (1u << 20) ? std::to_string(size >> 20) + "MB"
                              : std::to_string(size >> 10) + "KB";
}

CQZRuntimeClass& BlobClass();

// The stored object of the benchmark: CQZObject's own chunks, then its bytes as one chunk
// "BenchBody" after a chunk "BenchSize" with their count.
class BlobObject : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override { return &BlobClass(); }
    BOOL StoreData(CQZArchive& archive) override {
        if (!CQZObject::StoreData(archive)) return FALSE;
        const DWORD size = DWORD(body.size());
        return StoreMemory(archive, "BenchSize", &size, sizeof size) &&
               StoreMemory(archive, "BenchBody", body.data(), size);
    }
    BOOL LoadData(CQZArchive& archive) override {
        if (!CQZObject::LoadData(archive)) return FALSE;
        DWORD size = 0;
        if (!LoadMemory(archive, "BenchSize", &size, sizeof size) || size > (64u << 20))
            return FALSE;
        body.assign(size, '\0');
        return size == 0 || LoadMemory(archive, "BenchBody", body.data(), size);
    }
    static CQZRTObject* Create() { return new BlobObject; }

    std::string body;
};

CQZRuntimeClass& BlobClass() {
    static CQZRuntimeClass* record = [] {
        auto* made = new CQZRuntimeClass;
        std::memset(made, 0, sizeof *made);
        made->cbSize = sizeof(CQZRuntimeClass);
        made->dwObjSize = sizeof(BlobObject);
        std::strncpy(made->szClassName, "BenchBlob", sizeof made->szClassName - 1);
        made->guid =
            GUID{0x5A7E0B01, 0x7E57, 0x4E61, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 2}};
        made->dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
        made->pfnCreateObject = &BlobObject::Create;
        made->dwStatus = QZRTC_NEVER;
        made->dwVTblVersion = QZOBJ_VTBL_VERSION;
        return made;
    }();
    return *record;
}

struct Releaser {
    void operator()(CQZObject* object) const {
        if (object) object->DelObject();
    }
};
using BlobRef = std::unique_ptr<BlobObject, Releaser>;

BlobRef Restore(const Location& location, DWORD access) {
    Locator locator(location);
    DWORD result = 0;
    CQZObject* object = locator.RestoreObject(access, 5000, 0, &result);
    if (object && !object->IsKindOf(&BlobClass())) {
        object->DelObject();
        object = nullptr;
    }
    return BlobRef(static_cast<BlobObject*>(object));
}

// One object per size, created once in the working project.
std::map<DWORD, Location>& Objects() {
    static auto* objects = new std::map<DWORD, Location>;
    return *objects;
}

// Read-only copies of the 1 KB object, one per snooping thread.
std::vector<BlobRef>& Snoopers() {
    static auto* snoopers = new std::vector<BlobRef>;
    return *snoopers;
}

bool PrepareStore() {
    static int anchor;
    if (BlobClass().RegisterClass(QZOBJ_ModuleFromAddress(&anchor), &classCQZObject,
                                  classCQZObject.dwObjSize) != QZRTC_REGISTERED)
        return false;
    const DWORD id = PrjLocator::RegisterProject(SystemPath(g_folder + "/PROJ/").c_str(), TRUE);
    if (id == PRJLOC_NO_PROJECT || !PrjLocator::SetWorkingProject(id)) return false;
    for (DWORD size : kSizes) {
        Locator creator;
        BlobRef object(static_cast<BlobObject*>(creator.CreateObject(&BlobClass(), 0)));
        if (!object) return false;
        object->body.assign(size, 'q');
        if (!object->Commit(0)) return false;
        Objects()[size] = object->GetLocator().GetLocation();
    }
    for (int i = 0; i < kSnoopThreads; ++i) {
        Snoopers().push_back(Restore(Objects()[kSizes[0]], kRead));
        if (!Snoopers().back() || Snoopers().back()->Snoop()) return false;
    }
    return true;
}

// Commits of one object: one byte changes per commit; every few commits the history is compacted
// outside the timing so that the file stays small.
void StoreCommit(benchmark::State& state, DWORD size, DWORD flags) {
    const Location location = Objects()[size];
    BlobRef object = Restore(location, kReadWriteEdit);
    if (!object) {
        state.SkipWithError("cannot open the object for writing");
        return;
    }
    const int purgeEvery = size >= (1u << 20) ? 8 : 48;
    int sincePurge = 0;
    size_t at = 0;
    for (auto _ : state) {
        object->body[at++ % size] ^= 1;
        if (!object->Commit(flags)) {
            state.SkipWithError("commit failed");
            break;
        }
        if (++sincePurge == purgeEvery) {
            state.PauseTiming();
            object.reset();
            Locator compactor(location);
            const bool purged = compactor.Purge();
            object = Restore(location, kReadWriteEdit);
            sincePurge = 0;
            state.ResumeTiming();
            if (!purged || !object) {
                state.SkipWithError("compacting failed");
                break;
            }
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void StoreRestore(benchmark::State& state, DWORD size) {
    const Location location = Objects()[size];
    for (auto _ : state) {
        BlobRef object = Restore(location, kRead);
        if (!object || object->body.size() != size) {
            state.SkipWithError("restore failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void StoreSnoopHit(benchmark::State& state) {
    CQZObject* object = Snoopers()[size_t(state.thread_index())].get();
    for (auto _ : state) benchmark::DoNotOptimize(object->Snoop());
}

// The map anchor: a table of 4096 objects' times, looked up under the shared side of the lock.
void MapSnoopHit(benchmark::State& state) {
    static std::unordered_map<uint32_t, uint64_t>* table = [] {
        auto* made = new std::unordered_map<uint32_t, uint64_t>;
        for (uint32_t id = 1024; id < 1024 + 4096; ++id) (*made)[id] = uint64_t(id) * 7919;
        return made;
    }();
    static std::shared_mutex lock;
    const uint32_t key = 1024 + uint32_t(state.thread_index()) * 97;
    const uint64_t known = uint64_t(key) * 7919;
    for (auto _ : state) {
        std::shared_lock<std::shared_mutex> reading(lock);
        auto it = table->find(key);
        benchmark::DoNotOptimize(it != table->end() && it->second != known);
    }
}

// The raw floor: the same bytes written over one file at offset 0 (+ fdatasync), read back.
void RawWrite(benchmark::State& state, DWORD size, bool flush) {
    const std::string path = g_folder + "/raw-" + SizeName(size) + (flush ? "-f" : "");
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    std::string body(size, 'r');
    size_t at = 0;
    for (auto _ : state) {
        body[at++ % size] ^= 1;
        if (pwrite(fd, body.data(), size, 0) != ssize_t(size) || (flush && fdatasync(fd) != 0)) {
            state.SkipWithError("write failed");
            break;
        }
    }
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void RawRead(benchmark::State& state, DWORD size) {
    const std::string path = g_folder + "/raw-" + SizeName(size);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    std::string body(size, 'r');
    if (pwrite(fd, body.data(), size, 0) != ssize_t(size)) state.SkipWithError("write failed");
    for (auto _ : state) {
        std::string copy(size, '\0');
        if (pread(fd, copy.data(), size, 0) != ssize_t(size)) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(copy.data());
    }
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

#if QZO_HAVE_SQLITE3
// The database anchor: one blob row per database, updated and selected by its key.
class SqliteBlob {
  public:
    ~SqliteBlob() {
        if (update_) sqlite3_finalize(update_);
        if (select_) sqlite3_finalize(select_);
        if (db_) sqlite3_close(db_);
    }
    bool Open(const std::string& path, const char* synchronous, DWORD size) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) return false;
        const std::string setup = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                                  synchronous +
                                  "; CREATE TABLE IF NOT EXISTS blobs(id INTEGER PRIMARY KEY, "
                                  "data BLOB); INSERT OR REPLACE INTO blobs VALUES(1, zeroblob(" +
                                  std::to_string(size) + "));";
        return sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
               sqlite3_prepare_v2(db_, "UPDATE blobs SET data = ?1 WHERE id = 1", -1, &update_,
                                  nullptr) == SQLITE_OK &&
               sqlite3_prepare_v2(db_, "SELECT data FROM blobs WHERE id = 1", -1, &select_,
                                  nullptr) == SQLITE_OK;
    }
    bool Update(const std::string& body) {
        sqlite3_bind_blob(update_, 1, body.data(), int(body.size()), SQLITE_STATIC);
        const bool done = sqlite3_step(update_) == SQLITE_DONE;
        sqlite3_reset(update_);
        return done;
    }
    bool Select(std::string& body) {
        bool got = false;
        if (sqlite3_step(select_) == SQLITE_ROW) {
            const void* data = sqlite3_column_blob(select_, 0);
            const int size = sqlite3_column_bytes(select_, 0);
            body.assign(static_cast<const char*>(data), size_t(size));
            got = true;
        }
        sqlite3_reset(select_);
        return got;
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
};

void SqliteUpdate(benchmark::State& state, DWORD size, bool full) {
    SqliteBlob blob;
    const std::string path = g_folder + "/blob-" + SizeName(size) + (full ? "-full" : "") + ".db";
    if (!blob.Open(path, full ? "FULL" : "NORMAL", size)) {
        state.SkipWithError("cannot open the database");
        return;
    }
    std::string body(size, 's');
    size_t at = 0;
    for (auto _ : state) {
        body[at++ % size] ^= 1;
        if (!blob.Update(body)) {
            state.SkipWithError("update failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void SqliteSelect(benchmark::State& state, DWORD size) {
    SqliteBlob blob;
    if (!blob.Open(g_folder + "/blob-" + SizeName(size) + "-read.db", "NORMAL", size)) {
        state.SkipWithError("cannot open the database");
        return;
    }
    for (auto _ : state) {
        std::string body;
        if (!blob.Select(body) || body.size() != size) {
            state.SkipWithError("select failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}
#endif

void RegisterAll() {
    for (DWORD size : kSizes) {
        const std::string name = SizeName(size);
        for (bool flush : {false, true}) {
            const std::string mode = flush ? "/flush" : "/noflush";
            benchmark::RegisterBenchmark(("Commit/" + name + mode).c_str(), StoreCommit, size,
                                         flush ? DWORD(LOCATOR_COMMIT_FLUSH) : 0u)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("RawPwrite/" + name + mode).c_str(), RawWrite, size,
                                         flush)
                ->UseRealTime();
#if QZO_HAVE_SQLITE3
            benchmark::RegisterBenchmark(("SqliteUpdate/" + name + mode).c_str(), SqliteUpdate,
                                         size, flush)
                ->UseRealTime();
#endif
        }
        benchmark::RegisterBenchmark(("Restore/" + name).c_str(), StoreRestore, size)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("RawPread/" + name).c_str(), RawRead, size)->UseRealTime();
#if QZO_HAVE_SQLITE3
        benchmark::RegisterBenchmark(("SqliteSelect/" + name).c_str(), SqliteSelect, size)
            ->UseRealTime();
#endif
    }
    benchmark::RegisterBenchmark("SnoopChangeHit", StoreSnoopHit)
        ->Threads(1)
        ->Threads(kSnoopThreads)
        ->UseRealTime();
    benchmark::RegisterBenchmark("SharedMutexMapHit", MapSnoopHit)
        ->Threads(1)
        ->Threads(kSnoopThreads)
        ->UseRealTime();
}

std::vector<qzo::bench::Comparison> Comparisons() {
    std::vector<qzo::bench::Comparison> comparisons;
    for (DWORD size : kSizes) {
        const std::string name = SizeName(size);
        for (const char* mode : {"/noflush", "/flush"}) {
            const std::string ours = "Commit/" + name + mode + "/real_time";
            comparisons.push_back({ours, "SqliteUpdate/" + name + mode + "/real_time",
                                   "Commit " + name + mode + " vs SQLite UPDATE" +
                                       (mode[1] == 'f' ? " (FULL)" : " (NORMAL)"),
                                   0});
            comparisons.push_back({ours, "RawPwrite/" + name + mode + "/real_time",
                                   "Commit " + name + mode + " vs raw pwrite" +
                                       (mode[1] == 'f' ? " + fdatasync" : ""),
                                   0});
        }
        const std::string ours = "Restore/" + name + "/real_time";
        comparisons.push_back({ours, "SqliteSelect/" + name + "/real_time",
                               "Restore " + name + " vs SQLite SELECT", 0});
        comparisons.push_back(
            {ours, "RawPread/" + name + "/real_time", "Restore " + name + " vs raw pread", 0});
    }
    for (int threads : {1, kSnoopThreads}) {
        const std::string suffix = "/real_time/threads:" + std::to_string(threads);
        comparisons.push_back(
            {"SnoopChangeHit" + suffix, "SharedMutexMapHit" + suffix,
             "SnoopChange hit vs shared_mutex map, " + std::to_string(threads) + " thread(s)", 0});
    }
    return comparisons;
}

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::UsePrivateWindir(argv, "object-store")) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 2;
    // Upper case: project paths are stored upper case and then resolve by their exact names.
    g_folder = qzo::bench::MakeTempFolder("OBJECTSTORE");
    if (g_folder.empty() || !PrepareStore()) {
        std::fprintf(stderr, "cannot prepare the object store in %s\n", g_folder.c_str());
        return 1;
    }
    RegisterAll();
    qzo::bench::RunWithRatios(Comparisons(), qzo::bench::Clock::kWall,
                              "Object store (time per commit, restore or lookup):");
    Snoopers().clear();
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
    qzo::bench::RemovePrivateWindir();
    return 0;
}
