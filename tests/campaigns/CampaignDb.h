// What the campaign processes share: a thin handle on a database through the engine's flat API
// (statements in, rows of text out; the campaigns use ASCII only), and the crash campaign's
// workload, which is a pure function of the seed and the transaction number, so that a verifier
// can rebuild the state any number of committed transactions leave.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/VdbApi.h"

namespace campaign {

inline std::vector<VdbChar> Api(const std::string& Ascii) {
  std::vector<VdbChar> Out(Ascii.begin(), Ascii.end());
  Out.push_back(0);
  return Out;
}

inline std::string FromApi(const std::vector<VdbChar>& Text) {
  std::string Out;
  for (const VdbChar C : Text) {
    if (C == 0) break;
    Out += static_cast<char>(C < 0x80 ? C : '?');
  }
  return Out;
}

using TRow = std::vector<std::optional<std::string>>;  // nullopt: NULL

// One session on one database; every failure throws with the engine's message.
class TDb {
 public:
  explicit TDb(const std::string& Path) {
    FSess = VdbCreateSession(Api(Path).data());
    if (FSess <= 0) throw std::runtime_error("cannot create a session");
    if (VdbSessOpenDb(FSess, Api(Path).data(), Api("").data(), Api("").data(), 0, 0) < 0) {
      if (VdbSessCreateDatabase(FSess, VDB_DB_SINGLE_FILE, Api(Path).data(), nullptr) < 0 ||
          VdbSessOpenDb(FSess, Api(Path).data(), Api("").data(), Api("").data(), 0, 0) < 0)
        Fail("open " + Path);
    }
  }
  ~TDb() { VdbSessDelete(FSess); }
  TDb(const TDb&) = delete;
  TDb& operator=(const TDb&) = delete;

  VdbHandle Session() const { return FSess; }

  [[noreturn]] void Fail(const std::string& What) const {
    std::int16_t Code = 0;
    std::vector<VdbChar> Message(1024, 0);
    VdbSessGetLastError(FSess, &Code, Message.data(), 1023);
    throw std::runtime_error(What + ": " + FromApi(Message) + " (" + std::to_string(-Code) + ")");
  }

  // Runs a statement that changes rows; answers how many.
  std::int32_t Exec(const std::string& Sql) {
    const TStatement Statement(*this, Sql);
    const std::int32_t Rows = VdbStmtExecute(Statement.Handle);
    if (Rows < 0) Fail(Sql);
    return Rows;
  }

  std::vector<TRow> Query(const std::string& Sql) {
    const TStatement Statement(*this, Sql);
    if (VdbStmtExecute(Statement.Handle) < 0) Fail(Sql);
    const VdbHandle Table = VdbStmtCreateResultTableHdl(Statement.Handle);
    if (Table <= 0) Fail(Sql);
    std::vector<TRow> Rows;
    const std::int16_t Fields = VdbTableGetNumFields(Table);
    for (VdbResult Moved = VdbTableFirst(Table); Moved >= 0; Moved = VdbTableMoveBy(Table, 1)) {
      TRow Row;
      for (std::int16_t Field = 1; Field <= Fields; ++Field) Row.push_back(FieldText(Table, Field));
      Rows.push_back(std::move(Row));
    }
    VdbTableDelete(Table);
    return Rows;
  }

  void Begin() {
    if (VdbSessBeginTransaction(FSess, 2) < 0) Fail("begin");
  }
  void Commit() {
    if (VdbSessEndTransaction(FSess) < 0) Fail("commit");
  }
  void Cancel() { VdbSessCancelTransaction(FSess); }

 private:
  struct TStatement {
    TStatement(TDb& Db, const std::string& Sql) : Handle(VdbSessCreateStatement(Db.FSess)) {
      if (Handle <= 0) Db.Fail("statement");
      if (VdbStmtSetSqlText(Handle, Api(Sql).data()) < 0 || VdbStmtPrepare(Handle, -1) < 0) {
        VdbStmtDelete(Handle);
        Db.Fail(Sql);
      }
    }
    ~TStatement() { VdbStmtDelete(Handle); }
    VdbHandle Handle;
  };

  static std::optional<std::string> FieldText(VdbHandle Table, std::int16_t Field) {
    std::int16_t IsNull = 0;
    std::vector<VdbChar> Buffer(256, 0);
    std::int32_t Length = VdbTableGetFieldText(Table, Field, Buffer.data(), 255, &IsNull);
    if (Length > 255) {
      Buffer.assign(static_cast<std::size_t>(Length) + 1, 0);
      Length = VdbTableGetFieldText(Table, Field, Buffer.data(), Length, &IsNull);
    }
    if (IsNull != 0) return std::nullopt;
    return FromApi(Buffer);
  }

  VdbHandle FSess = 0;
};

// --- The crash campaign's workload -----------------------------------------------------------

constexpr const char* kCrashSchema[] = {
    "CREATE TABLE Items (Id INTEGER NOT NULL, Val INTEGER, Name VARCHAR(30), Note LONGVARCHAR, "
    "PRIMARY KEY (Id))",
    "CREATE INDEX ByName ON Items (Name)",
    "CREATE TABLE Progress (Done INTEGER)",
    "INSERT INTO Progress VALUES (0)",
};

struct TItem {
  std::int32_t Val = 0;
  std::string Name;
  std::optional<std::string> Note;
};

// The state after some transactions, and the statements of the next one.
class TCrashModel {
 public:
  explicit TCrashModel(std::uint32_t Seed) : FSeed(Seed) {}

  // The statements of transaction Number (1, 2, ...), applied to the model as well; the last one
  // records Number as done inside the same transaction.
  std::vector<std::string> Next(std::int32_t Number) {
    std::mt19937 Random(FSeed * 1000003u + static_cast<std::uint32_t>(Number));
    std::vector<std::string> Statements;
    const int Operations = 1 + static_cast<int>(Random() % 4);
    for (int I = 0; I < Operations; ++I) Statements.push_back(Operation(Random, Number));
    Statements.push_back("UPDATE Progress SET Done = " + std::to_string(Number));
    return Statements;
  }

  const std::map<std::int32_t, TItem>& Items() const { return FItems; }

  // The rows "SELECT Id, Val, Name, Note FROM Items ORDER BY Id" must answer.
  std::vector<TRow> Rows() const {
    std::vector<TRow> Rows;
    for (const auto& [Id, Item] : FItems)
      Rows.push_back({std::to_string(Id), std::to_string(Item.Val), Item.Name, Item.Note});
    return Rows;
  }

 private:
  // A note of 0 to 1200 characters (up to five memo blocks), sometimes none.
  static std::optional<std::string> Note(std::mt19937& Random, std::int32_t Number) {
    if (Random() % 5 == 0) return std::nullopt;
    std::string Text = "t" + std::to_string(Number);
    const std::size_t Length = Random() % 1200;
    while (Text.size() < Length) Text += static_cast<char>('a' + Random() % 26);
    return Text;
  }
  static std::string Quoted(const std::optional<std::string>& Text) {
    return Text ? "'" + *Text + "'" : "NULL";
  }
  std::int32_t AnyId(std::mt19937& Random) const {
    auto It = FItems.begin();
    std::advance(It, static_cast<long>(Random() % FItems.size()));
    return It->first;
  }

  std::string Operation(std::mt19937& Random, std::int32_t Number) {
    const std::uint32_t Kind = Random() % 10;
    const std::string Name = "n" + std::to_string(Random() % 50);
    if (Kind < 2 && !FItems.empty()) {
      const std::int32_t Id = AnyId(Random);
      FItems.erase(Id);
      return "DELETE FROM Items WHERE Id = " + std::to_string(Id);
    }
    if (Kind < 6 && !FItems.empty()) {
      const std::int32_t Id = AnyId(Random);
      TItem& Item = FItems[Id];
      ++Item.Val;
      Item.Name = Name;
      Item.Note = Note(Random, Number);
      return "UPDATE Items SET Val = Val + 1, Name = '" + Name + "', Note = " + Quoted(Item.Note) +
             " WHERE Id = " + std::to_string(Id);
    }
    const std::int32_t Id = FNextId++;
    TItem Item{static_cast<std::int32_t>(Random() % 1000), Name, Note(Random, Number)};
    const std::string Sql = "INSERT INTO Items VALUES (" + std::to_string(Id) + ", " +
                            std::to_string(Item.Val) + ", '" + Name + "', " + Quoted(Item.Note) +
                            ")";
    FItems[Id] = std::move(Item);
    return Sql;
  }

  std::uint32_t FSeed;
  std::map<std::int32_t, TItem> FItems;
  std::int32_t FNextId = 1;
};

}  // namespace campaign
