// The API's operations on the tables of a database as files: their names, creating a table from
// column descriptions, deleting and renaming a table with all its files.
#include <algorithm>
#include <vector>

#include "api/VdbApi.h"
#include "api/VdbApiBoundary.h"
#include "base/VdbServices.h"
#include "storage/kxFileSystem.h"
#include "table/VdbBaseTable.h"
#include "table/kxStrUtils.h"

using namespace vdb;
using namespace vdb::api;

namespace {


template <class TOperation>
VdbResult WithOpenSession(VdbHandle Sess, TOperation&& Operation) {
  TVdbLocalSession* Session = OpenSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  return Guarded<VdbResult>(Session->Services(), [&]() -> VdbResult { return Operation(*Session); });
}

// The table names of the database (standard form).
std::vector<std::string> TableNames(TVdbLocalSession& Session) {
  std::vector<std::string> Names;
  Session.Catalog()->GetTableNames(Names);
  return Names;
}

bool TableExists(TVdbLocalSession& Session, const std::string& Name) {
  const std::vector<std::string> Names = TableNames(Session);
  return std::any_of(Names.begin(), Names.end(),
                     [&](const std::string& Each) { return CompareIdentifiers(Each, Name) == 0; });
}

// A table name must be a plain file name without extension.
void CheckTableName(const std::string& Name) {
  const bool Plain = !Name.empty() && Name.size() <= 40 &&
                     Name.find_first_of("\\/:*?\"<>|.!") == std::string::npos;
  if (!Plain) throw EVdbEngine(kVdbErrInvalidTableOrIndexName, Name);
}

// The directory prefix of the database's member files ("\" inside a container).
std::string MemberPrefix(TVdbLocalSession& Session) {
  return Session.Catalog()->GetIsSingleFile() ? "\\" : "";
}

// The member files of table Name: "<Name>.*" and "<Name>!*" (names compare without case).
std::vector<std::string> TableFiles(TVdbLocalSession& Session, const std::string& Name) {
  TkxFileSystem& Files = *Session.Services()->DataFileSystem();
  std::vector<std::string> Found;
  TkxFindFileRec Rec;
  for (bool More = Files.FindFirstFile(MemberPrefix(Session) + "*", faAnyFile & ~faDirectory, Rec); More;
       More = Files.FindNextFile(Rec)) {
    if (Rec.Name.size() <= Name.size()) continue;
    const char After = Rec.Name[Name.size()];
    if ((After == '.' || After == '!') && CompareIdentifiers(Rec.Name.substr(0, Name.size()), Name) == 0)
      Found.push_back(Rec.Name);
  }
  Files.FindFileClose(Rec);
  return Found;
}

// Closes table Name in the catalog when it is open and nothing uses it; error 103 otherwise.
void CloseIfOpen(TVdbLocalSession& Session, const std::string& Name) {
  TVdbCatalog& Catalog = *Session.Catalog();
  const std::int16_t RltnIdx = Catalog.FindRltnIdx(Name);
  if (RltnIdx <= 0) return;
  TVdbRelation* Relation = Catalog.GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
  if (Catalog.IsRelationInUse(RltnIdx) || TCursorOwners::Instance().InUse(Session.Handle(), Relation))
    throw EVdbEngine(kVdbErrTableInUse, Name);
  if (Catalog.TryCloseRelation(RltnIdx, true, true) < 0) throw EVdbEngine(kVdbErrTableInUse, Name);
}

std::string Collation(const TVdbFieldSpec& Spec, const std::string& TableCollation) {
  VdbChar Copy[2001];
  std::copy(std::begin(Spec.SelectOrLink), std::end(Spec.SelectOrLink), Copy);
  Copy[2000] = 0;
  const std::string Own = FromApiText(Copy);
  return Own.empty() ? TableCollation : Own;
}

// The column a field description asks for.
std::unique_ptr<TVdbColumnDef> ColumnFromSpec(const TVdbFieldSpec& Spec, const std::string& TableCollation,
                                              std::int16_t Level) {
  VdbChar NameCopy[41];
  std::copy(std::begin(Spec.Name), std::end(Spec.Name), NameCopy);
  NameCopy[40] = 0;
  const std::string Name = FromApiText(NameCopy);
  const bool Nullable = (Spec.Options & VDB_FO_NULLABLE) != 0;
  const std::uint32_t Options = Nullable ? kVdbColNullable : 0;
  switch (Spec.FldType) {
    case VDB_FT_STRING:
    case VDB_FT_WIDESTRING:
    case VDB_FT_MEMO:
    case VDB_FT_WIDEMEMO: {
      const bool Memo = Spec.FldType == VDB_FT_MEMO || Spec.FldType == VDB_FT_WIDEMEMO;
      const std::string CollationName = Collation(Spec, TableCollation);
      const TVdbDataType* Type = TVdbDataType::GetStringType(Spec.FldType, Nullable, Level,
                                                             Memo ? 0 : Spec.Param, CollationName);
      return TVdbColumnDef::CreateStringColumnDef(Name, Type, CollationName, Options);
    }
    case VDB_FT_FLOAT:
      return TVdbColumnDef::CreateColumnDef(
          Name, TVdbDataType::GetFloatType(Nullable, Level, static_cast<std::int16_t>(Spec.Param)), Options);
    case VDB_FT_AUTOINC: {
      // A record-id column is kept unique through an index over itself.
      auto Column = TVdbColumnDef::CreateColumnDef(Name, TVdbDataType::GetDataType(Spec.FldType, false, Level), 0);
      if (auto* Id = dynamic_cast<TVdbRecordIdColumnDef*>(Column.get())) Id->IndexSpec = Name;
      return Column;
    }
    case VDB_FT_CHAR: case VDB_FT_SMALLINT: case VDB_FT_BYTE: case VDB_FT_BOOLEAN:
    case VDB_FT_DATE: case VDB_FT_BLOB: case VDB_FT_TIME:
    case VDB_FT_INTEGER: case VDB_FT_TIMESTAMP: case VDB_FT_BIGINT: case VDB_FT_GUID:
      return TVdbColumnDef::CreateColumnDef(Name, TVdbDataType::GetDataType(Spec.FldType, Nullable, Level),
                                            Options);
    default:
      // Enumerations, links and relation columns need definitions this description cannot carry.
      throw EVdbEngine(kVdbErrUnknownType, Name);
  }
}

VdbResult CreateTable(TVdbLocalSession& Session, const std::string& Name, int16_t NumFields,
                      const TVdbFieldSpec* Fields, const TVdbTableInfo* Info) {
  TVdbServices& Services = *Session.Services();
  CheckTableName(Name);
  if (NumFields <= 0 || Fields == nullptr) throw EVdbEngine(kVdbErrUnknownType, Name);
  if (TableExists(Session, Name)) {
    Services.SetLastError(kVdbErrAlreadyExists, Name);
    return VDB_ERR_CREATE_TABLE;
  }
  const std::int16_t Level = Info != nullptr && Info->Level > 0 ? Info->Level : kVdbCurrentLevel;
  std::string TableCollation;
  if (Info != nullptr) {
    VdbChar Copy[41];
    std::copy(std::begin(Info->Language), std::end(Info->Language), Copy);
    Copy[40] = 0;
    TableCollation = FromApiText(Copy);
  }
  TVdbBaseTable Table(&Services);
  Table.SetFileName(MemberPrefix(Session) + Name + ".vdbt");
  Table.SetLevel(Level);
  Table.SetCollationName(TableCollation);
  if (Info != nullptr && Info->Capacity > 0) Table.SetCapacity(Info->Capacity);
  for (int16_t I = 0; I < NumFields; ++I) Table.ColumnDefs().Add(ColumnFromSpec(Fields[I], TableCollation, Level));
  if (Table.NewFile() < 0) return VDB_ERR_CREATE_TABLE;
  Table.Close();
  return 0;
}

}  // namespace

extern "C" {

int32_t VdbSessGetTableNames(VdbHandle Sess, VdbChar* Names, int32_t MaxLen) {
  TVdbLocalSession* Session = OpenSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  return Guarded<int32_t>(Session->Services(), [&]() -> int32_t {
    std::vector<std::string> List = TableNames(*Session);
    std::sort(List.begin(), List.end(),
              [](const std::string& A, const std::string& B) { return CompareIdentifiers(A, B) < 0; });
    std::string Joined;
    for (const std::string& Name : List) Joined += (Joined.empty() ? "" : ";") + Name;
    return ToApiText(Joined, Names, MaxLen);
  });
}

VdbResult VdbSessExistsTable(VdbHandle Sess, const VdbChar* Name) {
  return WithOpenSession(Sess, [&](TVdbLocalSession& Session) -> VdbResult {
    return TableExists(Session, FromApiText(Name)) ? 1 : 0;
  });
}

VdbResult VdbSessCreateTable(VdbHandle Sess, const VdbChar* Name, int16_t NumFields,
                             const TVdbFieldSpec* Fields, const TVdbTableInfo* Info) {
  TVdbLocalSession* Session = OpenSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  return Guarded<VdbResult>(Session->Services(), [&]() -> VdbResult {
    return CreateTable(*Session, FromApiText(Name), NumFields, Fields, Info);
  }, VDB_ERR_CREATE_TABLE);
}

VdbResult VdbSessDeleteTable(VdbHandle Sess, const VdbChar* Name) {
  TVdbLocalSession* Session = OpenSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  return Guarded<VdbResult>(Session->Services(), [&]() -> VdbResult {
    const std::string Table = FromApiText(Name);
    if (!TableExists(*Session, Table)) throw EVdbEngine(kVdbErrTableNotFound, Table);
    CloseIfOpen(*Session, Table);
    TkxFileSystem& Files = *Session->Services()->DataFileSystem();
    for (const std::string& File : TableFiles(*Session, Table)) {
      if (!Files.DeleteFile(MemberPrefix(*Session) + File)) throw EVdbEngine(kVdbErrCannotDelete, File);
    }
    return 0;
  }, VDB_ERR_DELETE_TABLE);
}

VdbResult VdbSessRenameTable(VdbHandle Sess, const VdbChar* OldName, const VdbChar* NewName) {
  return WithOpenSession(Sess, [&](TVdbLocalSession& Session) -> VdbResult {
    const std::string From = FromApiText(OldName);
    const std::string To = FromApiText(NewName);
    CheckTableName(To);
    if (!TableExists(Session, From)) throw EVdbEngine(kVdbErrTableNotFound, From);
    if (TableExists(Session, To)) throw EVdbEngine(kVdbErrAlreadyExists, To);
    CloseIfOpen(Session, From);
    TkxFileSystem& Files = *Session.Services()->DataFileSystem();
    const std::string Prefix = MemberPrefix(Session);
    for (const std::string& File : TableFiles(Session, From)) {
      const std::string Renamed = To + File.substr(From.size());
      if (!Files.RenameFile(Prefix + File, Prefix + Renamed)) throw EVdbEngine(kVdbErrAlreadyExists, Renamed);
    }
    return 0;
  });
}

}  // extern "C"
