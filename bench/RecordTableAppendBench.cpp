// Appends per second to the record table: the SQLite file in the work
// directory against a shared PostgreSQL database, one record per transaction
// and in batches as the record database's writer makes them. The PostgreSQL
// runs need a server: $ZORV_BENCH_PG (a libpq connection string, e.g. the one
// `scripts/pg-scratch start DIR` prints); without it they are skipped.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BenchDir.h"
#include "storage/RecordDbLibrary.h"

namespace {

using namespace zorv;

using bench::CBenchDir;

void Exec(const std::string& connection, const std::string& sql) {
    PGconn* pg = PQconnectdb(connection.c_str());
    PQclear(PQexec(pg, sql.c_str()));
    PQfinish(pg);
}

tagDB_Record Record(int64_t n) {
    tagDB_Record r{};
    r.year = 2026;
    r.mon = 12;
    r.day = 1 + static_cast<uint32_t>(n / 86400 % 28);
    r.hour = static_cast<uint32_t>(n / 3600 % 24);
    r.min = static_cast<uint32_t>(n / 60 % 60);
    r.sec = static_cast<uint32_t>(n % 60);
    r.NChanel = static_cast<uint32_t>(n % 18);
    SetText(r.serverName, "Bench");
    SetText(r.TlfString_1, "4955551234");
    SetText(r.namefile, "/srv/records/2026-12-01.zr18/" + std::to_string(n) + ".wav");
    return r;
}

// Arguments: batch size; 0 for SQLite, 1 for PostgreSQL.
void BM_AppendRecords(benchmark::State& state) {
    const auto batch = static_cast<std::size_t>(state.range(0));
    const bool shared = state.range(1) == 1;
    CBenchDir dir;
    CRecordDbLibrary library;
    std::string database;
    std::string base;
    if (shared) {
        const char* env = std::getenv("ZORV_BENCH_PG");
        if (env == nullptr || *env == '\0') {
            state.SkipWithError("set ZORV_BENCH_PG to a PostgreSQL connection string");
            return;
        }
        base = env;
        database = "zorv_bench_" + std::to_string(::getpid());
        Exec(base, "CREATE DATABASE " + database);
        library.UseSharedDatabase(base + " dbname=" + database, "bench");
    }
    const int32_t handle = library.Open(IRecordDbLibrary::kKindRecordTable, dir.Path(), "ZORV.dbf",
                                        IRecordDbLibrary::kModeServer);
    if (handle == -1) {
        state.SkipWithError("the table cannot be opened");
        return;
    }
    std::vector<tagDB_Record> records(batch);
    std::vector<RecordDbChange> changes(batch);
    std::vector<int32_t> results(batch);
    int64_t n = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < batch; ++i) {
            records[i] = Record(n++);
            changes[i] = {RecordDbChange::Kind::kAppend, &records[i]};
        }
        if (library.Apply(handle, changes, results) != 0) {
            state.SkipWithError("a batch failed");
            break;
        }
    }
    state.SetItemsProcessed(n);
    library.Close(handle);
    if (shared) {
        Exec(base, "DROP DATABASE IF EXISTS " + database + " WITH (FORCE)");
    }
}
BENCHMARK(BM_AppendRecords)
    ->ArgNames({"batch", "postgres"})
    ->Args({1, 0})
    ->Args({50, 0})
    ->Args({1, 1})
    ->Args({50, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
