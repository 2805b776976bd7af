// The stand-in database plug-in: "SQLCommand" runs the table creations and
// row insertions of its SQL text against an in-memory database per file,
// "SQLQueryTable" lists a table's rows, "Upload" succeeds for a known file.
// Replies carry "CommandResult" (Bool) and, for queries, "QueryResult" (String).
#include <cctype>

#include "framing.h"
#include "stand_ins.h"
#include "utf.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

std::u16string Trim(std::u16string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && text[begin] <= u' ') ++begin;
  while (end > begin && text[end - 1] <= u' ') --end;
  return std::u16string(text.substr(begin, end - begin));
}

// Case-insensitive prefix test for ASCII keywords.
bool StartsWithWords(std::u16string_view text, std::string_view words) {
  if (text.size() < words.size()) return false;
  for (size_t i = 0; i < words.size(); ++i) {
    const char16_t c = text[i];
    if (c > 0x7F || std::tolower(static_cast<int>(c)) != std::tolower(words[i])) return false;
  }
  return true;
}

// The table name after a keyword phrase: up to "(" or a blank.
std::u16string TableName(std::u16string_view rest) {
  const std::u16string trimmed = Trim(rest);
  size_t end = 0;
  while (end < trimmed.size() && trimmed[end] != u'(' && trimmed[end] > u' ') ++end;
  return trimmed.substr(0, end);
}

}  // namespace

bool DatabaseStandIn::Execute(const std::u16string& file, const std::u16string& sql) {
  std::lock_guard<std::mutex> lock(mutex_);
  Database& db = files_[file];
  bool ok = true;
  size_t start = 0;
  while (start < sql.size()) {
    size_t end = sql.find(u';', start);
    if (end == std::u16string::npos) end = sql.size();
    const std::u16string statement = Trim(std::u16string_view(sql).substr(start, end - start));
    start = end + 1;
    if (statement.empty()) continue;
    if (StartsWithWords(statement, "create table ")) {
      db[TableName(std::u16string_view(statement).substr(13))];
    } else if (StartsWithWords(statement, "insert into ")) {
      auto table = db.find(TableName(std::u16string_view(statement).substr(12)));
      const size_t values = statement.find(u"Values(");
      const size_t close = statement.rfind(u')');
      if (table == db.end() || values == std::u16string::npos || close < values + 7) {
        ok = false;
        continue;
      }
      table->second.push_back(statement.substr(values + 7, close - values - 7));
    } else {
      ok = false;  // only the statements the self-test sends are understood
    }
  }
  return ok;
}

HRESULT DatabaseStandIn::Handle(const OrbMessageHeader&, const QuonValueSet& request,
                                QuonValueSet& reply) {
  const std::string cmd = Utf16ToUtf8(request.GetStringValue("Cmd"));
  std::u16string file = request.GetStringValue("FilePath");
  bool result = false;
  HRESULT status = S_OK;

  if (const auto* answer = profile_.Find(MachineProfile::Section::kDatabase, cmd)) {
    status = MachineProfile::Apply(*answer, reply);
    result = reply.GetBoolValue("CommandResult");
  } else if (cmd == "SQLCommand") {
    result = !file.empty() && Execute(file, request.GetStringValue("SQLCommand"));
    reply.SetValue("CommandResult", new Value(result));
  } else if (cmd == "SQLQueryTable") {
    std::u16string rows;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto db = files_.find(file);
      if (db != files_.end()) {
        auto table = db->second.find(request.GetStringValue("TableName"));
        if (table != db->second.end()) {
          result = true;
          for (const auto& row : table->second) rows += row + u"\n";
        }
      }
    }
    reply.SetValue("CommandResult", new Value(result));
    reply.SetStringValue("QueryResult", rows);
  } else if (cmd == "Upload") {
    file = request.GetStringValue("FolderPath") + request.GetStringValue("FileName");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = files_.count(file) > 0;
    }
    reply.SetValue("CommandResult", new Value(result));
  } else {
    reply.SetStringValue("Error", std::u16string(u"Unknown Command"));
    status = ORB_E_UNKNOWN_COMMAND;
  }
  events_.Emit(Json{{"event", "database"},
                    {"cmd", cmd},
                    {"file", Utf16ToUtf8(file)},
                    {"result", result},
                    {"status", StatusText(status)}});
  return status;
}

}  // namespace orbhost
