// Two unmodified servers record the demonstration board at the same time
// into one PostgreSQL database: every record file of each has exactly one
// row, under its own server's name. Runs against the throw-away server
// scripts/test starts ($ZORV_TEST_PG).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "core/Journal.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// Every row of sql's result, its columns joined by '|'.
std::vector<std::string> Rows(const std::string& connection, const std::string& sql) {
    std::vector<std::string> rows;
    PGconn* pg = PQconnectdb(connection.c_str());
    if (PQstatus(pg) != CONNECTION_OK) {
        ADD_FAILURE() << PQerrorMessage(pg);
        PQfinish(pg);
        return rows;
    }
    PGresult* r = PQexec(pg, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        ADD_FAILURE() << sql << ": " << PQresultErrorMessage(r);
    }
    for (int i = 0; i < PQntuples(r); ++i) {
        std::string row;
        for (int c = 0; c < PQnfields(r); ++c) {
            row += (c > 0 ? "|" : "") + std::string(PQgetvalue(r, i, c));
        }
        rows.push_back(row);
    }
    PQclear(r);
    PQfinish(pg);
    return rows;
}

std::set<std::string> RecordFiles(const std::string& root) {
    std::set<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (e.is_regular_file() && e.path().extension() == ".wav") {
            files.insert(e.path().string());
        }
    }
    return files;
}

TEST(SharedDatabaseProcessTest, TwoServersRecordIntoOneDatabase) {
    const char* base = std::getenv("ZORV_TEST_PG");
    if (base == nullptr || *base == '\0') {
        GTEST_SKIP() << "no PostgreSQL server for the tests: scripts/test starts one when the "
                        "postgresql package is installed";
    }
    const std::string name = "zorv_shared_" + std::to_string(::getpid());
    Rows(base, "CREATE DATABASE " + name);
    const std::string connection = std::string(base) + " dbname=" + name;

    const std::string source = ZORV_SOURCE_DIR;
    CTempDir dir;
    std::map<std::string, std::unique_ptr<CChildProcess>> servers;
    for (const std::string owner : {"alpha", "beta"}) {
        const std::string work = dir.File(owner);
        std::filesystem::create_directory(work);
        // The board's lines record as PCM into their day directories, so
        // that each call's row names its file from the start.
        std::string text = "[Server]\nName=" + owner + "\n[DataBase]\nConnectionString=" +
                           connection + "\n";
        for (int channel = 0; channel < 6; ++channel) {
            text += "[Channel0-" + std::to_string(channel) + "]\nCompression=0\n";
        }
        std::ofstream(work + "/ZORV_18.ini") << text;
        servers[owner] = std::make_unique<CChildProcess>(
            BuiltProgram("zorv18server"), std::vector<std::string>{}, work,
            std::vector<std::string>{
                "ZORV_REGISTRY=" + work + "/registry.ini",
                "ZORV_BOARD_SCENARIO=" + source + "/tools/scenarios/demo.ini"});
    }
    for (auto& entry : servers) {
        const std::string owner = entry.first;
        CChildProcess* server = entry.second.get();
        ASSERT_TRUE(PollUntil(
            [&] {
                for (const std::string& t : JournalTexts(dir.File(owner + "/ZORV_18.log"))) {
                    if (t == CatalogText(Msg{229})) {
                        return true;
                    }
                }
                return false;
            },
            20s))
            << owner << ": " << server->Stderr();
    }
    // The first calls of the board end between 11 and 16 s: both servers
    // store finished records (Format 0) at the same time.
    const auto finished = [&](const std::string& owner) {
        const std::vector<std::string> n =
            Rows(connection,
                 "SELECT count(*) FROM records WHERE Format = 0 AND owner = '" + owner + "'");
        return n.empty() ? 0 : std::stoi(n[0]);
    };
    ASSERT_TRUE(PollUntil([&] { return finished("alpha") >= 3 && finished("beta") >= 3; }, 60s));
    for (auto& [owner, server] : servers) {
        server->Signal(SIGTERM);
        EXPECT_EQ(server->Wait(20s), 0) << owner;
    }

    for (const std::string owner : {"alpha", "beta"}) {
        const std::set<std::string> files = RecordFiles(dir.File(owner + "/DvrFiles"));
        const std::vector<std::string> rows =
            Rows(connection, "SELECT convert_from(namefile, 'UTF8') FROM records WHERE owner = '" +
                                 owner + "' ORDER BY id");
        EXPECT_GE(files.size(), 3u) << owner;
        EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()), files) << owner;
        EXPECT_EQ(rows.size(), files.size()) << owner << ": a file has more than one row";
        const std::vector<std::string> names = Rows(
            connection, "SELECT DISTINCT serverName FROM records WHERE owner = '" + owner + "'");
        EXPECT_EQ(names, std::vector<std::string>{owner});
    }
    Rows(base, "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

}  // namespace
}  // namespace zorv::test
