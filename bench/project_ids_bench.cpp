// The project unique-ID generator against two anchors on the same file system: an SQLite counter
// row updated in a transaction (WAL, synchronous=NORMAL, BEGIN IMMEDIATE, UPDATE ... RETURNING,
// COMMIT), and a raw counter file (F_OFD_SETLKW on bytes 0-3, pread, pwrite, unlock). Each runs
// in one process and in four processes at once; every run checks that all IDs it took are
// distinct. Prints the ratios at the end. SQLite is skipped when it is not installed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#if QZO_HAVE_SQLITE3
#include <sqlite3.h>
#endif

#include "qzobj/project_ids.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"
#include "support/temp_folder.h"

namespace {

// IDs each process takes per timed round when several run at once.
constexpr int kIdsPerProcess = 5000;

std::string g_folder;

std::u16string SystemPath(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

// One way of taking IDs: opened in the process that uses it, never shared across a fork.
class IdSource {
  public:
    virtual ~IdSource() = default;
    virtual bool Open() = 0;
    // The next ID; 0xFFFFFFFF on failure.
    virtual uint32_t Next() = 0;
};

class GeneratorSource : public IdSource {
  public:
    bool Open() override {
        const std::u16string folder = SystemPath(g_folder + "/gen");
        return ids_.Open(folder.c_str()) == 0;
    }
    uint32_t Next() override { return ids_.GetNextID(); }

  private:
    CProjUniID ids_;
};

// The raw anchor: a blocking OFD lock around pread and pwrite of the 4-byte counter.
class RawFileSource : public IdSource {
  public:
    ~RawFileSource() override {
        if (fd_ >= 0) close(fd_);
    }
    bool Open() override {
        fd_ = open((g_folder + "/raw.ids").c_str(), O_RDWR | O_CLOEXEC);
        return fd_ >= 0;
    }
    uint32_t Next() override {
        if (!Lock(F_WRLCK)) return 0xFFFFFFFF;
        uint32_t counter = 0xFFFFFFFF;
        if (pread(fd_, &counter, 4, 0) == 4) {
            const uint32_t next = counter + 1;
            if (pwrite(fd_, &next, 4, 0) != 4) counter = 0xFFFFFFFF;
        }
        Lock(F_UNLCK);
        return counter;
    }

  private:
    bool Lock(short type) {
        struct flock lock = {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0;
        lock.l_len = 4;
        return fcntl(fd_, type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW, &lock) == 0;
    }
    int fd_ = -1;
};

#if QZO_HAVE_SQLITE3
// The database anchor: one row, updated in an immediate transaction per ID.
class SqliteSource : public IdSource {
  public:
    ~SqliteSource() override {
        if (update_) sqlite3_finalize(update_);
        if (db_) sqlite3_close(db_);
    }
    bool Open() override {
        if (sqlite3_open((g_folder + "/counter.db").c_str(), &db_) != SQLITE_OK) return false;
        sqlite3_busy_timeout(db_, 10000);
        return Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=NORMAL") &&
               sqlite3_prepare_v2(db_, "UPDATE counter SET next = next + 1 RETURNING next - 1", -1,
                                  &update_, nullptr) == SQLITE_OK;
    }
    uint32_t Next() override {
        if (!Exec("BEGIN IMMEDIATE")) return 0xFFFFFFFF;
        uint32_t id = 0xFFFFFFFF;
        if (sqlite3_step(update_) == SQLITE_ROW) id = uint32_t(sqlite3_column_int64(update_, 0));
        while (sqlite3_step(update_) == SQLITE_ROW) {
        }
        sqlite3_reset(update_);
        if (!Exec("COMMIT")) {
            Exec("ROLLBACK");
            return 0xFFFFFFFF;
        }
        return id;
    }
    static bool Create() {
        sqlite3* db = nullptr;
        bool done = sqlite3_open((g_folder + "/counter.db").c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db,
                                 "PRAGMA journal_mode=WAL;"
                                 "CREATE TABLE IF NOT EXISTS counter(next INTEGER NOT NULL);"
                                 "DELETE FROM counter; INSERT INTO counter VALUES(1024);",
                                 nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return done;
    }

  private:
    bool Exec(const char* sql) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
};
#endif

template <class Source>
std::unique_ptr<IdSource> Make() {
    return std::make_unique<Source>();
}

bool AllDistinct(std::vector<uint32_t> ids) {
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end() &&
           std::find(ids.begin(), ids.end(), 0xFFFFFFFFu) == ids.end();
}

// One process: one ID per iteration, from a source opened once.
void OneProcess(benchmark::State& state, std::unique_ptr<IdSource> (*make)()) {
    std::unique_ptr<IdSource> source = make();
    if (!source->Open()) {
        state.SkipWithError("cannot open the source");
        return;
    }
    std::vector<uint32_t> taken;
    taken.reserve(1 << 20);
    for (auto _ : state) {
        const uint32_t id = source->Next();
        if (taken.size() < taken.capacity()) taken.push_back(id);
    }
    if (!AllDistinct(taken)) state.SkipWithError("an ID was handed out twice");
    state.SetItemsProcessed(state.iterations());
}

// Four processes at once, each taking kIdsPerProcess IDs into shared memory after a common
// start signal; one iteration is one such round, timed from the signal to the last exit.
void FourProcesses(benchmark::State& state, std::unique_ptr<IdSource> (*make)()) {
    constexpr int kProcesses = 4;
    const size_t bytes = sizeof(uint32_t) * kProcesses * kIdsPerProcess;
    void* shared = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        state.SkipWithError("no shared memory");
        return;
    }
    auto* ids = static_cast<uint32_t*>(shared);
    bool distinct = true;
    for (auto _ : state) {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0) {
            state.SkipWithError("no pipes");
            break;
        }
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            const pid_t child = fork();
            if (child == 0) {
                close(go[1]);  // the start signal is the parent closing the last write end
                close(ready[0]);
                std::unique_ptr<IdSource> source = make();
                const bool opened = source->Open();
                char byte = opened ? 1 : 0;
                (void)!write(ready[1], &byte, 1);
                (void)!read(go[0], &byte, 1);
                for (int i = 0; i < kIdsPerProcess; ++i)
                    ids[p * kIdsPerProcess + i] = opened ? source->Next() : 0xFFFFFFFF;
                source.reset();
                _exit(0);
            }
            children.push_back(child);
        }
        bool opened = true;
        for (int p = 0; p < kProcesses; ++p) {
            char byte = 0;
            opened = read(ready[0], &byte, 1) == 1 && byte == 1 && opened;
        }
        const auto start = std::chrono::steady_clock::now();
        close(go[1]);  // every child's read returns: start
        for (pid_t child : children) waitpid(child, nullptr, 0);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        close(ready[0]);
        close(ready[1]);
        close(go[0]);
        if (!opened) {
            state.SkipWithError("a process could not open the source");
            break;
        }
        distinct =
            distinct && AllDistinct(std::vector<uint32_t>(ids, ids + kProcesses * kIdsPerProcess));
    }
    munmap(shared, bytes);
    if (!distinct) state.SkipWithError("an ID was handed out twice");
    state.SetItemsProcessed(state.iterations() * kProcesses * kIdsPerProcess);
}

bool PrepareFiles() {
    const std::string generatorFolder = g_folder + "/gen";
    if (mkdir(generatorFolder.c_str(), 0755) != 0) return false;
    CProjUniID creator;
    if (creator.Create(SystemPath(generatorFolder).c_str(), 1024) != 0) return false;
    const int fd = open((g_folder + "/raw.ids").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const uint32_t first = 1024;
    const bool raw = fd >= 0 && pwrite(fd, &first, 4, 0) == 4;
    if (fd >= 0) close(fd);
#if QZO_HAVE_SQLITE3
    return raw && SqliteSource::Create();
#else
    return raw;
#endif
}

void RegisterAll() {
    struct Subject {
        const char* name;
        std::unique_ptr<IdSource> (*make)();
    };
    std::vector<Subject> subjects = {{"CProjUniID_GetNextID", &Make<GeneratorSource>},
                                     {"RawCounterFile", &Make<RawFileSource>}};
#if QZO_HAVE_SQLITE3
    subjects.push_back({"SqliteCounterUpdate", &Make<SqliteSource>});
#endif
    for (const Subject& subject : subjects) {
        benchmark::RegisterBenchmark((std::string(subject.name) + "/processes:1").c_str(),
                                     OneProcess, subject.make)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string(subject.name) + "/processes:4").c_str(),
                                     FourProcesses, subject.make)
            ->UseManualTime()
            ->Iterations(5)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::UsePrivateWindir(argv, "project-ids")) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 2;
    g_folder = qzo::bench::MakeTempFolder("project-ids");
    if (g_folder.empty() || !PrepareFiles()) {
        std::fprintf(stderr, "cannot prepare the counter files in %s\n", g_folder.c_str());
        return 1;
    }
    RegisterAll();
    qzo::bench::RunWithRatios(
        {{"CProjUniID_GetNextID/processes:1/real_time", "RawCounterFile/processes:1/real_time",
          "GetNextID vs raw counter file, 1 process", 1.5},
         {"CProjUniID_GetNextID/processes:4/iterations:5/manual_time",
          "RawCounterFile/processes:4/iterations:5/manual_time",
          "GetNextID vs raw counter file, 4 processes", 0},
         {"CProjUniID_GetNextID/processes:1/real_time", "SqliteCounterUpdate/processes:1/real_time",
          "GetNextID vs SQLite counter update, 1 process", 0},
         {"CProjUniID_GetNextID/processes:4/iterations:5/manual_time",
          "SqliteCounterUpdate/processes:4/iterations:5/manual_time",
          "GetNextID vs SQLite counter update, 4 processes", 0}},
        qzo::bench::Clock::kWall, "Project unique-ID generator (time per ID or per round):");
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
    qzo::bench::RemovePrivateWindir();
    return 0;
}
