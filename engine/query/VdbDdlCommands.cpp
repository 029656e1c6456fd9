// The definitions: CREATE TABLE, CREATE INDEX, DROP TABLE / INDEX, UPDATE INDEX and ALTER TABLE
// (see VdbCommand.h). They work through the table layer: a new table file is made by a base
// table over the database's data file system, then opened through the catalog like any other.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "query/VdbColumnValue.h"
#include "query/VdbCommand.h"
#include "session/VdbCatalog.h"
#include "table/VdbAliasRelation.h"
#include "table/VdbBaseTable.h"
#include "table/kxStrUtils.h"
#include "storage/kxFileSystem.h"

namespace vdb {

namespace {


void Check(std::int32_t Result, TVdbCatalog& Catalog) {
  if (Result >= 0) return;
  TVdbServices* Services = Catalog.Services();
  if (Services->LastErrorCode() == -Result) throw EVdbEngine::CreateMsg(Services->LastErrorCode(), Services->LastErrorMsg());
  throw EVdbEngine(static_cast<std::int16_t>(-Result), kxFormatArgs{});
}

// The data file of a table named in SQL: "\Name.vdbt" inside a container, "Name.vdbt" in a
// directory database.
std::string DataFileName(const TVdbCatalog& Catalog, const std::string& TableName) {
  return (Catalog.GetIsSingleFile() ? "\\" : "") + TableName + ".vdbt";
}

// The table's files: "<name>.*" and "<name>!*" in the data file system.
std::vector<std::string> TableFiles(TkxFileSystem& FileSystem, const TVdbCatalog& Catalog, const std::string& TableName) {
  const std::string Prefix = Catalog.GetIsSingleFile() ? "\\" : "";
  std::vector<std::string> Files;
  TkxFindFileRec Found;
  for (bool More = FileSystem.FindFirstFile(Prefix + "*", 0, Found); More; More = FileSystem.FindNextFile(Found)) {
    const std::string& Name = Found.Name;
    if (Name.size() > TableName.size() && CompareIdentifiers(Name.substr(0, TableName.size()), TableName) == 0 &&
        (Name[TableName.size()] == '.' || Name[TableName.size()] == '!'))
      Files.push_back(Prefix + Name);
  }
  FileSystem.FindFileClose(Found);
  return Files;
}

// Closes every open relation over the table so that its files can go or change; error 175 when
// something still uses it.
void CloseTable(TVdbCatalog& Catalog, const std::string& TableName) {
  Catalog.CloseUnneededTables(true, false);
  const std::int16_t RltnIdx = Catalog.FindRltnIdx(TableName);
  if (RltnIdx <= 0) return;
  if (Catalog.IsRelationInUse(RltnIdx)) throw EVdbEngine(kVdbErrTableStillAccessed, kxFormatArgs{TableName});
  Check(Catalog.TryCloseRelation(RltnIdx, true, true), Catalog);
}

// Adds a column to a definition being built: names are unique, and there is one record id at most
// (the table layer would take both and fail only when the table is opened).
void AddColumn(TVdbColumnDefs& Columns, std::unique_ptr<TVdbColumnDef> Column) {
  if (Columns.Find(Column->Name) >= 0) throw EVdbEngine(kVdbErrDuplicateIdentifier, kxFormatArgs{Column->Name});
  if (Column->GetColumnType() == kVdbRecordIdCode && Columns.FindFirst(kVdbRecordIdCode) >= 0)
    throw EVdbEngine(kVdbErrSecondAutoInc, kxFormatArgs{});
  Columns.Add(std::move(Column));
}

// What a table file is made from.
struct TTableDefinition {
  std::int16_t Level = kVdbCurrentLevel;
  std::string Collation;  // empty: the engine's
  std::int32_t Capacity = 0;  // 0: the default
  bool HasKey = false;
  std::string Key;
  TVdbEncryptionMethod Method{};
  bool HasMethod = false;
  TVdbColumnDefs Columns;
  TVdbNamedDefs Checks, Keys, ForeignKeys;
};

void CheckNameIsFree(TVdbCatalog& Catalog, const std::string& Name) {
  TkxFileSystem* FileSystem = Catalog.Services()->DataFileSystem();
  if (Catalog.FindRltnIdx(Name) > 0 || (FileSystem != nullptr && FileSystem->FileExists(DataFileName(Catalog, Name))))
    throw EVdbEngine(kVdbErrAlreadyExists, kxFormatArgs{Name});
}

// Deletes a table's files after a creation that failed half-way.
void DeleteTableFiles(TVdbCatalog& Catalog, const std::string& TableName) noexcept {
  TkxFileSystem* FileSystem = Catalog.Services()->DataFileSystem();
  if (FileSystem == nullptr) return;
  try {
    for (const std::string& File : TableFiles(*FileSystem, Catalog, TableName)) FileSystem->DeleteFile(File);
  } catch (...) {
    // The creation's own error is the one worth reporting.
  }
}

// Runs Step; when it fails, the table Name made for it is closed and its files deleted.
template <typename TStep>
void WithCleanup(TVdbCatalog& Catalog, const std::string& Name, TStep&& Step) {
  try {
    Step();
  } catch (...) {
    try {
      CloseTable(Catalog, Name);
    } catch (...) {
      // The step's own error is the one worth reporting.
    }
    DeleteTableFiles(Catalog, Name);
    throw;
  }
}

// Makes the files of a new table Name from Definition (whose lists it takes); a creation that
// fails leaves no files behind.
void CreateTableFiles(TVdbCatalog& Catalog, const std::string& Name, TTableDefinition& Definition) {
  TVdbServices* Services = Catalog.Services();
  auto Table = std::make_unique<TVdbBaseTable>(Services);
  Table->SetFileSystem(Services->DataFileSystem());
  Table->SetFileName(DataFileName(Catalog, Name));
  const bool Single = Catalog.GetIsSingleFile();
  const std::string Location = Catalog.Location();
  Table->SetPhysicalDirectory(Single ? std::filesystem::path(Location).parent_path().string() : Location);
  if (Single) Table->SetContainerName(TVdbRelation::CalcStdName(Location));
  Table->SetLevel(Definition.Level);
  if (!Definition.Collation.empty()) Table->SetCollationName(Definition.Collation);
  if (Definition.Capacity > 0) Table->SetCapacity(Definition.Capacity);
  if (Definition.HasMethod) Table->SetEncryptionMethod(Definition.Method);
  if (Definition.HasKey) Table->SetKey(Definition.Key);
  Table->ColumnDefs() = std::move(Definition.Columns);
  Table->CheckDefs() = std::move(Definition.Checks);
  Table->KeyDefs() = std::move(Definition.Keys);
  Table->ForeignKeyDefs() = std::move(Definition.ForeignKeys);
  WithCleanup(Catalog, Name, [&] {
    Check(Table->NewFile(), Catalog);
    Table->Close();
    Table.reset();
  });
}

}  // namespace

std::int32_t TVdbDdlCommand::Execute() {
  DoExecute();
  return 0;
}

// ---------------------------------------------------------------------------------------------
// CREATE

void TVdbCreateCommand::DoExecute() {
  if (auto* Table = dynamic_cast<TVdbSqlCreateTableCommand*>(&SqlCommand())) return CreateTable(*Table);
  if (auto* Index = dynamic_cast<TVdbSqlCreateIndexCommand*>(&SqlCommand())) return CreateIndex(*Index);
  throw EVdbEngine(kVdbErrNotSupported, "Full-text indexes");
}

void TVdbCreateCommand::CreateTable(TVdbSqlCreateTableCommand& Create) {
  const std::string& Name = Create.TableName();
  CheckNameIsFree(*FCatalog, Name);
  TTableDefinition Definition;
  Definition.Level = Create.FOptions.FLevel > 0 ? Create.FOptions.FLevel : kVdbCurrentLevel;
  Definition.Collation = Create.FOptions.FLanguage;
  Definition.Capacity = Create.FOptions.FCapacity;
  Definition.HasKey = Create.FOptions.FHasPassword;
  Definition.Key = Create.FOptions.FKey;
  for (int I = 0; I < static_cast<int>(Create.FColumnDefinitions.size()); ++I) {
    auto Column = Create.CreateColumnDef(I);
    if (!Column) throw EVdbEngine(kVdbErrTypeMismatch, kxFormatArgs{Create.FColumnDefinitions[static_cast<std::size_t>(I)]->FColumnName});
    AddColumn(Definition.Columns, std::move(Column));
  }
  for (int I = 0; I < static_cast<int>(Create.FConstraints.FCheckConstraints.size()); ++I)
    Definition.Checks.Add(Create.CreateCheckDef(I));
  Definition.Keys = Create.FConstraints.FCandidateKeys;
  Definition.ForeignKeys = Create.FConstraints.FForeignKeys;
  CreateTableFiles(*FCatalog, Name, Definition);
  // Opening it through the catalog sets up its key indexes.
  WithCleanup(*FCatalog, Name, [&] { OpenTable(Name, true); });
}

void TVdbCreateCommand::CreateIndex(TVdbSqlCreateIndexCommand& Create) {
  TVdbRelation& Table = *FCatalog->GetRelation(OpenTable(Create.TableName(), true));
  Check(Table.CreateIndex(Create.IndexName(), Create.GetVdbIndexExpression(), Create.Unique()), *FCatalog);
}

// ---------------------------------------------------------------------------------------------
// DROP, UPDATE INDEX, ALTER TABLE

void TVdbDropCommand::DoExecute() {
  auto& Drop = static_cast<TVdbSqlDropCommand&>(SqlCommand());
  if (Drop.IsFulltext()) throw EVdbEngine(kVdbErrNotSupported, "Full-text indexes");
  const std::string& Name = Drop.TableName();
  if (!Drop.IndexName().empty()) {
    TVdbRelation& Table = *FCatalog->GetRelation(OpenTable(Name, true));
    const std::int16_t IndexNo = Table.GetIndexNo(Drop.IndexName());
    if (IndexNo < 0) throw EVdbEngine(kVdbErrIndexNotFound, kxFormatArgs{Drop.IndexName()});
    Check(Table.RemoveInd(IndexNo), *FCatalog);
    return;
  }
  OpenTable(Name, true);  // error 88 for a table that does not exist
  CloseTable(*FCatalog, Name);
  TkxFileSystem& FileSystem = *FCatalog->Services()->DataFileSystem();
  for (const std::string& File : TableFiles(FileSystem, *FCatalog, Name))
    if (!FileSystem.DeleteFile(File)) throw EVdbEngine(kVdbErrCannotDelete, kxFormatArgs{File});
}

void TVdbUpdateIndexCommand::DoExecute() {
  auto& Update = static_cast<TVdbSqlUpdateIndexCommand&>(SqlCommand());
  if (Update.IsFulltext()) throw EVdbEngine(kVdbErrNotSupported, "Full-text indexes");
  TVdbRelation& Table = *FCatalog->GetRelation(OpenTable(Update.TableName(), true));
  // An index is brought up to date by building it again from its definition.
  std::vector<std::int16_t> Indexes;
  if (Update.IndexName() == "*") {
    for (std::int16_t IndexNo = Table.FirstIndexNo(); IndexNo <= Table.LastIndexNo(); ++IndexNo)
      if (Table.GetIndexFile(IndexNo) != nullptr) Indexes.push_back(IndexNo);
  } else {
    const std::int16_t IndexNo = Table.GetIndexNo(Update.IndexName());
    if (IndexNo < 0) throw EVdbEngine(kVdbErrIndexNotFound, kxFormatArgs{Update.IndexName()});
    Indexes.push_back(IndexNo);
  }
  for (const std::int16_t IndexNo : Indexes) {
    Check(Table.CheckIndexOpen(IndexNo), *FCatalog);
    const TVdbSortDef* Definition = Table.GetIndexDefinition(IndexNo);
    TVdbIndexFile* File = Table.GetIndexFile(IndexNo);
    if (Definition == nullptr || File == nullptr) continue;
    const std::string IndexName = File->Name();
    const TVdbSortDef Copy = *Definition;
    Check(Table.RemoveInd(IndexNo), *FCatalog);
    Check(Table.NewIndex(IndexName, Copy, {}, Table.GetCapacity()), *FCatalog);
  }
}

// ---------------------------------------------------------------------------------------------
// ALTER TABLE: the table is made anew under a temporary name with the changed definition, the
// rows are copied and converted, the indexes built again; only when all of that worked do the
// new files take the old ones' place. Any failure before leaves the table as it was.

namespace {

// A user index of the table being changed.
struct TIndexCopy {
  std::string Name;
  std::string Specification;
  bool Unique = false;
};

// The table being changed: its new definition, for each new column the old column it is filled
// from (0: none, a new column) and the user indexes to build again.
struct TAlteredTable {
  TTableDefinition Definition;
  std::vector<std::int16_t> Sources;
  std::vector<TIndexCopy> Indexes;
  std::vector<std::string> DroppedColumns;
};

TVdbBaseTable& BaseTableOf(TVdbRelation& Relation) {
  if (auto* Base = dynamic_cast<TVdbBaseTable*>(&Relation)) return *Base;
  if (auto* Alias = dynamic_cast<TVdbVirtualRelation*>(&Relation)) return BaseTableOf(Alias->BaseRelation());
  throw EVdbEngine(kVdbErrNotSupported, "ALTER TABLE on a relation that is not a table");
}

bool IsSystemIndexName(const std::string& Name) {
  return CompareIdentifiers(Name.substr(0, 3), "sys") == 0 || CompareIdentifiers(Name.substr(0, 6), "tmpIdx") == 0;
}

TAlteredTable DescribeTable(TVdbBaseTable& Table, const std::string& Key) {
  TAlteredTable Altered;
  TTableDefinition& Definition = Altered.Definition;
  Definition.Level = Table.Level();
  Definition.Collation = Table.CollationName();
  Definition.Capacity = Table.GetCapacity();
  Definition.Method = Table.EncryptionMethod();
  Definition.HasMethod = true;
  Definition.HasKey = !Key.empty();
  Definition.Key = Key;
  for (std::int16_t FieldNo = 1; FieldNo <= Table.GetColumnCount(); ++FieldNo) {
    Definition.Columns.Add(Table.GetColumnDef(FieldNo).Clone());
    Altered.Sources.push_back(FieldNo);
  }
  Definition.Checks = Table.CheckDefs();
  Definition.Keys = Table.KeyDefs();
  Definition.ForeignKeys = Table.ForeignKeyDefs();
  for (std::int16_t IndexNo = Table.FirstIndexNo(); IndexNo <= Table.LastIndexNo(); ++IndexNo) {
    const TVdbIndexFile* File = Table.GetIndexFile(IndexNo);
    const TVdbSortDef* Sort = Table.GetIndexDefinition(IndexNo);
    // Key indexes are made again from the keys themselves.
    if (File == nullptr || Sort == nullptr || IsSystemIndexName(File->Name()) || Table.KeyDefs().IndexOf(File->Name()) >= 0)
      continue;
    Altered.Indexes.push_back(
        {File->Name(), Sort->CalcSpecification(Table.ColumnDefs(), false, false, false, false, Table.Level()), Sort->IsUnique});
  }
  return Altered;
}

int ColumnIndex(const TTableDefinition& Definition, const std::string& Name) {
  const int Index = Definition.Columns.Find(Name);
  if (Index < 0) throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Name});
  return Index;
}

// The columns rebuilt with one of them replaced (Replacement) or left out (nullptr).
void ReplaceColumn(TAlteredTable& Altered, int Index, std::unique_ptr<TVdbColumnDef> Replacement) {
  TVdbColumnDefs Columns;
  std::vector<std::int16_t> Sources;
  const TVdbColumnDefs& Old = Altered.Definition.Columns;
  for (int I = 0; I < Old.GetCount(); ++I) {
    if (I != Index) {
      AddColumn(Columns, Old.GetColumnDef(I).Clone());
    } else if (Replacement) {
      AddColumn(Columns, std::move(Replacement));
    } else {
      continue;
    }
    Sources.push_back(Altered.Sources[static_cast<std::size_t>(I)]);
  }
  Altered.Definition.Columns = std::move(Columns);
  Altered.Sources = std::move(Sources);
}

// Where Part occurs in Text from From on, letters compared without regard to case (column names
// are); npos when it does not.
std::size_t FindNoCase(const std::string& Text, const std::string& Part, std::size_t From) {
  if (From > Text.size()) return std::string::npos;
  const auto Same = [](char A, char B) {
    return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
  };
  const auto At = std::search(Text.begin() + static_cast<std::ptrdiff_t>(From), Text.end(), Part.begin(), Part.end(), Same);
  return At == Text.end() ? std::string::npos : static_cast<std::size_t>(At - Text.begin());
}

// Replaces "{Old}" by "{New}" in an index specification.
std::string RenameInSpecification(std::string Specification, const std::string& Old, const std::string& New) {
  const std::string From = "{" + Old + "}";
  for (std::size_t At = 0; (At = FindNoCase(Specification, From, At)) != std::string::npos; At += New.size() + 2)
    Specification.replace(At, From.size(), "{" + New + "}");
  return Specification;
}

void RenameColumn(TAlteredTable& Altered, const std::string& Old, const std::string& New) {
  const int Index = ColumnIndex(Altered.Definition, Old);
  if (Altered.Definition.Columns.Find(New) >= 0) throw EVdbEngine(kVdbErrDuplicateIdentifier, kxFormatArgs{New});
  auto Column = Altered.Definition.Columns.GetColumnDef(Index).Clone();
  Column->Name = New;
  ReplaceColumn(Altered, Index, std::move(Column));
  for (int I = 0; I < Altered.Definition.Keys.Count(); ++I)
    if (auto* Key = Altered.Definition.Keys.Get<TVdbCandidateKeyDef>(I)) {
      std::vector<std::string> Names;
      for (int J = 0; J < Key->GetColumnCount(); ++J)
        Names.push_back(CompareIdentifiers(Key->GetColumnName(J), Old) == 0 ? New : Key->GetColumnName(J));
      std::string List;
      for (const std::string& Name : Names) List += (List.empty() ? "" : ",") + Name;
      Key->SetColumnList(List);
    }
  for (int I = 0; I < Altered.Definition.ForeignKeys.Count(); ++I)
    if (auto* Foreign = Altered.Definition.ForeignKeys.Get<TVdbForeignKeyDef>(I))
      for (std::string& Name : Foreign->FColumnNames)
        if (CompareIdentifiers(Name, Old) == 0) Name = New;
  for (TIndexCopy& Index : Altered.Indexes) Index.Specification = RenameInSpecification(Index.Specification, Old, New);
}

void ApplyColumnChanges(const TVdbSqlAlterTableCommand& Alter, TAlteredTable& Altered) {
  for (std::size_t I = 0; I < Alter.FColumnNames.size(); ++I) {
    const std::string& Name = Alter.FColumnNames[I];
    const auto& Sql = Alter.FColumnDefinitions[I];
    if (Sql && Sql->FSqlType == sqlNone) {
      RenameColumn(Altered, Name, Sql->FColumnName);
      continue;
    }
    std::unique_ptr<TVdbColumnDef> Column = Sql ? Alter.CreateColumnDef(static_cast<int>(I)) : nullptr;
    if (Sql && !Column) throw EVdbEngine(kVdbErrTypeMismatch, kxFormatArgs{Sql->FColumnName});
    if (Name.empty()) {  // ADD
      AddColumn(Altered.Definition.Columns, std::move(Column));
      Altered.Sources.push_back(0);
    } else if (Column) {  // MODIFY
      ReplaceColumn(Altered, ColumnIndex(Altered.Definition, Name), std::move(Column));
    } else {  // DROP
      ReplaceColumn(Altered, ColumnIndex(Altered.Definition, Name), nullptr);
      Altered.DroppedColumns.push_back(Name);
    }
  }
  if (Altered.Definition.Columns.GetCount() == 0) throw EVdbEngine(kVdbErrDefinitionMissing, kxFormatArgs{});
}

void ApplyConstraintChanges(const TVdbSqlAlterTableCommand& Alter, TAlteredTable& Altered) {
  TTableDefinition& Definition = Altered.Definition;
  for (const std::string& Name : Alter.FDeletedConstraintNames)
    if (!Definition.Checks.DeleteByName(Name) && !Definition.Keys.DeleteByName(Name) &&
        !Definition.ForeignKeys.DeleteByName(Name))
      throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Name});
  for (int I = 0; I < static_cast<int>(Alter.FConstraints.FCheckConstraints.size()); ++I)
    Definition.Checks.Add(Alter.CreateCheckDef(I, Definition.Level));
  for (int I = 0; I < Alter.FConstraints.FCandidateKeys.Count(); ++I)
    Definition.Keys.Add(Alter.FConstraints.FCandidateKeys[I].CloneNamed());
  for (int I = 0; I < Alter.FConstraints.FForeignKeys.Count(); ++I)
    Definition.ForeignKeys.Add(Alter.FConstraints.FForeignKeys[I].CloneNamed());
  const TVdbSqlTableOptions& Options = Alter.FOptions;
  if (Options.FLevel > 0) Definition.Level = Options.FLevel;
  if (!Options.FLanguage.empty()) Definition.Collation = Options.FLanguage;
  if (Options.FCapacity > 0) Definition.Capacity = Options.FCapacity;
}

// The error of a value that did not convert, naming its column and record (an error without a
// number of its own is a type mismatch).
EVdbEngine ConversionError(const EVdbEngine& Error, const std::string& Column, std::int32_t RecNo) {
  const std::int16_t Code =
      Error.Code() == kVdbErrUnknown ? std::int16_t{kVdbErrTypeMismatch} : Error.Code();
  const std::string Where = " (column \"" + Column + "\", record " + std::to_string(RecNo) + ")";
  if (Code != Error.Code()) return EVdbEngine(Code, kxFormatArgs{std::string(Error.what()) + Where});
  return EVdbEngine::CreateMsg(Code, std::string(Error.what()) + Where);
}

// Copies every row of From into To, each new column from its source column, converted; a value
// that does not convert stops the copy with its error.
void CopyRows(TVdbRelation& From, TVdbRelation& To, const std::vector<std::int16_t>& Sources, TVdbCatalog& Catalog) {
  TVdbAccessor Reader(From, "AlterTable_Read");
  TVdbAccessor Writer(To, "AlterTable_Write");
  for (std::int16_t Moved = Reader.First(); Moved == 0; Moved = Reader.Next()) {
    Check(Writer.Append(), Catalog);
    try {
      for (std::size_t I = 0; I < Sources.size(); ++I) {
        if (Sources[I] == 0) continue;
        const auto FieldNo = static_cast<std::int16_t>(I + 1);
        try {
          WriteColumnValue(Writer, FieldNo, ConvertColumnValue(ReadColumnValue(Reader, Sources[I]), To, FieldNo));
        } catch (const EVdbEngine& Error) {
          if (Error.Code() == kVdbErrNullNotAllowed) throw;
          throw ConversionError(Error, To.GetColumnDef(FieldNo).Name, Reader.CurrentRecordNo());
        } catch (const std::exception& Error) {
          throw ConversionError(EVdbEngine(kVdbErrTypeMismatch, kxFormatArgs{Error.what()}), To.GetColumnDef(FieldNo).Name,
                                Reader.CurrentRecordNo());
        }
      }
      Check(Writer.Post(), Catalog);
    } catch (...) {
      Writer.Cancel();
      throw;
    }
  }
}

// The user indexes again, except those over a dropped column, which go with it.
void RebuildIndexes(TVdbRelation& Table, const TAlteredTable& Altered, TVdbCatalog& Catalog) {
  for (const TIndexCopy& Index : Altered.Indexes) {
    const bool OverDropped = std::any_of(Altered.DroppedColumns.begin(), Altered.DroppedColumns.end(), [&](const std::string& Name) {
      return FindNoCase(Index.Specification, "{" + Name + "}", 0) != std::string::npos;
    });
    if (!OverDropped) Check(Table.CreateIndex(Index.Name, Index.Specification, Index.Unique), Catalog);
  }
}

// Renames the files of table From to table To; false when one could not be renamed.
bool RenameTableFiles(TVdbCatalog& Catalog, const std::string& From, const std::string& To) {
  TkxFileSystem& FileSystem = *Catalog.Services()->DataFileSystem();
  const std::string Prefix = Catalog.GetIsSingleFile() ? "\\" : "";
  for (const std::string& File : TableFiles(FileSystem, Catalog, From))
    if (!FileSystem.RenameFile(File, Prefix + To + File.substr(Prefix.size() + From.size()))) return false;
  return true;
}

// The files of NewName take the place of Name's, whose files become Backup's; the old files step
// aside first, so that a failed rename can put them back.
void SwapTableFiles(TVdbCatalog& Catalog, const std::string& Name, const std::string& NewName, const std::string& Backup) {
  if (!RenameTableFiles(Catalog, Name, Backup)) {
    RenameTableFiles(Catalog, Backup, Name);
    throw EVdbEngine(kVdbErrNoRestructureRight, kxFormatArgs{Name});
  }
  if (!RenameTableFiles(Catalog, NewName, Name)) {
    RenameTableFiles(Catalog, Name, NewName);
    RenameTableFiles(Catalog, Backup, Name);
    throw EVdbEngine(kVdbErrNoRestructureRight, kxFormatArgs{Name});
  }
}

}  // namespace

void TVdbAlterTableCommand::DoExecute() {
  auto& Alter = static_cast<TVdbSqlAlterTableCommand&>(SqlCommand());
  const std::string& Name = Alter.TableName();
  TVdbRelation& Old = *FCatalog->GetRelation(OpenTable(Name, true));
  TVdbBaseTable& OldTable = BaseTableOf(Old);
  // Nobody else may use the table while it is copied and its files are replaced.
  Check(OldTable.BeginExclusive(false), *FCatalog);
  bool Locked = true;
  try {
    TAlteredTable Altered = DescribeTable(OldTable, FCatalog->Key());
    ApplyColumnChanges(Alter, Altered);
    ApplyConstraintChanges(Alter, Altered);
    const std::string NewName = "tmpAlter_" + Name;
    const std::string Backup = "tmpAltered_" + Name;
    CheckNameIsFree(*FCatalog, NewName);
    CheckNameIsFree(*FCatalog, Backup);
    std::vector<std::int16_t> Sources = Altered.Sources;
    CreateTableFiles(*FCatalog, NewName, Altered.Definition);
    WithCleanup(*FCatalog, NewName, [&] {
      TVdbRelation& New = *FCatalog->GetRelation(OpenTable(NewName, true));
      CopyRows(Old, New, Sources, *FCatalog);
      RebuildIndexes(New, Altered, *FCatalog);
      CloseTable(*FCatalog, NewName);
      Locked = false;
      OldTable.EndExclusive();
      CloseTable(*FCatalog, Name);
      SwapTableFiles(*FCatalog, Name, NewName, Backup);
    });
    DeleteTableFiles(*FCatalog, Backup);
  } catch (...) {
    if (Locked) OldTable.EndExclusive();
    throw;
  }
}

}  // namespace vdb
