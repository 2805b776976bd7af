// orbhost's database stand-in on SQLite, through orbhost.exe: the plug-in's
// self-test with Pelorus.dll (the database file it leaves, read back with
// SQLite), and requests the self-test never sends, put to the stand-in by the
// probe plug-in's "ToDatabase" command (SQL errors, the rows as JSON, table
// names that try to end the identifier, uploads and the folder's limit).
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <set>

#include "orbhost_runner.h"
#include "test_support.h"
#include "utf.h"

namespace orbhost::test {
namespace {

namespace fs = std::filesystem;

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Each row of `select` in the file as "kind:value|kind:value|...", the
// kind being SQLite's storage class; "error: ..." when it cannot be read.
std::vector<std::string> Rows(const fs::path& file, const std::string& select) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(Utf8(file).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
  if (opened != SQLITE_OK) return {"error: cannot open " + Utf8(file)};
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db.get(), select.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    return {std::string("error: ") + sqlite3_errmsg(db.get())};
  std::vector<std::string> rows;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      static const char* const kKinds[] = {"", "integer", "real", "text", "blob", "null"};
      const unsigned char* text = sqlite3_column_text(statement, c);
      row += std::string(c ? "|" : "") + kKinds[sqlite3_column_type(statement, c)] + ":" +
             (text ? reinterpret_cast<const char*>(text) : "");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  return rows;
}

const std::vector<std::string> kSelfTestRows = {
    "integer:0|text:first item|text:c:\\AAAA|text:2019/2/13|integer:1|real:1.019",
    "integer:1|text:second item|text:|text:2019/2/14|integer:0|real:2.019",
    "integer:2|text:third item|text:c:\\CCCC|text:2019/2/15|integer:1|real:3.019",
};

TEST(DatabaseSelfTest, LeavesTheThreeRowsInADatabaseAndUploadsIt) {
  const NewPublicLibraryFiles cleanup;
  const wintest::ScratchFolder uploads;
  const RunResult r = RunOrbhost({L"call", L"TestSQDBServer", L"--dll", PelorusPath(),
                                  L"--upload-dir", uploads.path().wstring()});
  ASSERT_NE(r.Answer()["status"], "0xA0800010") << "TestSQDBServer is missing";
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_EQ(r.Answer()["status"], "0x00000000");
  const std::vector<Json> requests = r.Events("database");
  ASSERT_EQ(requests.size(), 3u) << r.out;
  for (const Json& request : requests) EXPECT_EQ(request["result"], true) << request.dump();

  const fs::path file = Utf8ToUtf16(requests[0]["file"].get<std::string>());
  EXPECT_EQ(file.parent_path(), kPublicLibraries);
  EXPECT_EQ(Rows(file, "SELECT * FROM TestTable ORDER BY KeyID"), kSelfTestRows);
  EXPECT_EQ(Rows(uploads.path() / file.filename(), "SELECT * FROM TestTable ORDER BY KeyID"),
            kSelfTestRows);
}

// Requests to the stand-in through the probe plug-in, in one orbhost shell.
class DatabaseRequests : public ::testing::Test {
 protected:
  // Each request's answer ({"status", "response"}) in order; orbhost's
  // standard error in *log.
  std::vector<Json> Send(const std::vector<Json>& requests, std::string* log = nullptr) {
    std::string input;
    for (const Json& request : requests)
      input += Json({{"Cmd", "ToDatabase"}, {"Request", request}}).dump() + "\n";
    RunOptions options;
    options.input = input;
    const RunResult r = RunOrbhost({L"shell", L"--dll", BesideTest(L"probe_plugin.dll"),
                                    L"--upload-dir", uploads.path().wstring()},
                                   options);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    if (log) *log = r.err;
    std::vector<Json> answers;
    for (const Json& line : r.JsonLines())
      if (!line.contains("event")) answers.push_back(line);
    EXPECT_EQ(answers.size(), requests.size()) << r.out;
    return answers;
  }

  Json Command(const std::string& sql) const {
    return {{"Cmd", "SQLCommand"}, {"FilePath", Utf8(database)}, {"SQLCommand", sql}};
  }
  Json Query(const std::string& table) const {
    return {{"Cmd", "SQLQueryTable"}, {"FilePath", Utf8(database)}, {"TableName", table}};
  }

  wintest::ScratchFolder scratch;
  wintest::ScratchFolder uploads;
  fs::path database = scratch.path() / L"requests.db";
};

TEST_F(DatabaseRequests, BrokenSqlAnswersFalseWithSqlitesMessageInTheLog) {
  std::string log;
  const std::vector<Json> answers =
      Send({Command("Create Table t(a);Insert Into t Values(1);Insert Intoo t Values(2);"),
            Command("Insert Into missing Values(1);")},
           &log);
  ASSERT_EQ(answers.size(), 2u);
  for (const Json& answer : answers) {
    EXPECT_EQ(answer["status"], "0x00000000");
    EXPECT_EQ(answer["response"], Json({{"CommandResult", false}}));
  }
  EXPECT_NE(log.find("[2] [database] SQLCommand on '" + Utf8(database) +
                     "': near \"Intoo\": syntax error"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("no such table: missing"), std::string::npos) << log;
  // Statements before the failing one stay done, as with any SQLite caller.
  EXPECT_EQ(Rows(database, "SELECT a FROM t"), std::vector<std::string>({"integer:1"}));
}

TEST_F(DatabaseRequests, QueryAnswersEveryRowAsJsonObjects) {
  const std::vector<Json> answers =
      Send({Command("Create Table k(i Integer, r Real, t Text, n, b Blob);"
                    "Insert Into k Values(-7, 2.5, 'caf\xC3\xA9 \"q\"', NULL, x'00ff10');"
                    "Insert Into k Values(9007199254740993, 1e300, '', NULL, x'');"),
            Query("k"),
            Query("nothing"),
            {{"Cmd", "SQLQueryTable"},
             {"FilePath", Utf8(scratch.path() / L"absent.db")},
             {"TableName", "k"}}});
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0]["response"]["CommandResult"], true);
  const Json& rows = answers[1]["response"];
  EXPECT_EQ(rows["CommandResult"], true);
  EXPECT_EQ(rows["QueryResult"], R"([{"i":-7,"r":2.5,"t":"café \"q\"","n":null,"b":"00ff10"},)"
                                 R"({"i":9007199254740993,"r":1e+300,"t":"","n":null,"b":""}])");
  // A missing table, and a missing file (not created by a query).
  for (const Json& missing : {answers[2], answers[3]})
    EXPECT_EQ(missing["response"], Json({{"CommandResult", false}, {"QueryResult", ""}}));
  EXPECT_FALSE(fs::exists(scratch.path() / L"absent.db"));
}

TEST_F(DatabaseRequests, TableNamesWithQuotesNameATableAndNeverRunAsSql) {
  const std::vector<Json> answers =
      Send({Command("Create Table t(a);Insert Into t Values(1);"
                    "Create Table \"odd\"\"name\"(a);Insert Into \"odd\"\"name\" Values(2);"),
            Query("t\"; Drop Table t; --"), Query("t\" Where 0 Union Select 5 --"),
            Query("odd\"name"), Query("t")});
  ASSERT_EQ(answers.size(), 5u);
  EXPECT_EQ(answers[1]["response"]["CommandResult"], false);
  EXPECT_EQ(answers[2]["response"]["CommandResult"], false);
  EXPECT_EQ(answers[3]["response"]["QueryResult"], R"([{"a":2}])");
  EXPECT_EQ(answers[4]["response"]["QueryResult"], R"([{"a":1}])");
}

TEST_F(DatabaseRequests, UploadCopiesSoundDatabasesOnlyAndKeepsTheNewestTwenty) {
  // 21 databases, uploaded in order, then files that are not one.
  const fs::path folder = scratch.path() / L"dbs";
  fs::create_directories(folder);
  std::vector<Json> requests = {Command("Create Table t(a);Insert Into t Values(1);")};
  for (int i = 0; i < 21; ++i) {
    fs::copy_file(database, folder / (L"db" + std::to_wstring(i) + L".db"));
    requests.push_back({{"Cmd", "Upload"},
                        {"FolderPath", Utf8(folder) + "\\"},
                        {"FileName", "db" + std::to_string(i) + ".db"}});
  }
  wintest::WriteAll(folder / L"text.db", "not a database, only some text of some length");
  fs::copy_file(database, scratch.path() / L"outside.db");
  for (const char* name : {"text.db", "missing.db", "..\\outside.db"})
    requests.push_back(
        {{"Cmd", "Upload"}, {"FolderPath", Utf8(folder) + "\\"}, {"FileName", name}});

  std::string log;
  const std::vector<Json> answers = Send(requests, &log);
  ASSERT_EQ(answers.size(), requests.size());
  for (size_t i = 1; i <= 21; ++i)
    EXPECT_EQ(answers[i]["response"], Json({{"CommandResult", true}})) << i;
  for (size_t i = 22; i < answers.size(); ++i)
    EXPECT_EQ(answers[i]["response"], Json({{"CommandResult", false}})) << i;
  EXPECT_NE(log.find("is not a sound SQLite database"), std::string::npos) << log;

  std::set<std::wstring> kept;
  for (const auto& entry : fs::directory_iterator(uploads.path()))
    kept.insert(entry.path().filename().wstring());
  EXPECT_EQ(kept.size(), 20u);
  EXPECT_FALSE(kept.count(L"db0.db"));
  EXPECT_TRUE(kept.count(L"db20.db"));
  EXPECT_EQ(Rows(uploads.path() / L"db20.db", "SELECT a FROM t"),
            std::vector<std::string>({"integer:1"}));
}

}  // namespace
}  // namespace orbhost::test
