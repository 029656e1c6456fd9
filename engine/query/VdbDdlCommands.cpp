// The definitions: CREATE TABLE, CREATE INDEX, DROP TABLE / INDEX, UPDATE INDEX and ALTER TABLE
// (see VdbCommand.h). They work through the table layer: a new table file is made by a base
// table over the database's data file system, then opened through the catalog like any other.
#include <filesystem>

#include "query/VdbCommand.h"
#include "session/VdbCatalog.h"
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
  TVdbServices* Services = FCatalog->Services();
  TkxFileSystem* FileSystem = Services->DataFileSystem();
  const std::string FileName = DataFileName(*FCatalog, Name);
  if (FCatalog->FindRltnIdx(Name) > 0 || (FileSystem != nullptr && FileSystem->FileExists(FileName)))
    throw EVdbEngine(kVdbErrAlreadyExists, kxFormatArgs{Name});
  auto Table = std::make_unique<TVdbBaseTable>(Services);
  Table->SetFileSystem(FileSystem);
  Table->SetFileName(FileName);
  const bool Single = FCatalog->GetIsSingleFile();
  const std::string Location = FCatalog->Location();
  Table->SetPhysicalDirectory(Single ? std::filesystem::path(Location).parent_path().string() : Location);
  if (Single) Table->SetContainerName(TVdbRelation::CalcStdName(Location));
  Table->SetLevel(Create.FOptions.FLevel > 0 ? Create.FOptions.FLevel : kVdbCurrentLevel);
  if (!Create.FOptions.FLanguage.empty()) Table->SetCollationName(Create.FOptions.FLanguage);
  if (Create.FOptions.FCapacity > 0) Table->SetCapacity(Create.FOptions.FCapacity);
  if (Create.FOptions.FHasPassword) Table->SetKey(Create.FOptions.FKey);
  for (int I = 0; I < static_cast<int>(Create.FColumnDefinitions.size()); ++I) {
    auto Column = Create.CreateColumnDef(I);
    if (!Column) throw EVdbEngine(kVdbErrTypeMismatch, kxFormatArgs{Create.FColumnDefinitions[static_cast<std::size_t>(I)]->FColumnName});
    AddColumn(Table->ColumnDefs(), std::move(Column));
  }
  for (int I = 0; I < static_cast<int>(Create.FConstraints.FCheckConstraints.size()); ++I)
    Table->CheckDefs().Add(Create.CreateCheckDef(I));
  Table->KeyDefs() = Create.FConstraints.FCandidateKeys;
  Table->ForeignKeyDefs() = Create.FConstraints.FForeignKeys;
  try {
    Check(Table->NewFile(), *FCatalog);
    Table->Close();
    Table.reset();
    // Opening it through the catalog sets up its key indexes.
    OpenTable(Name, true);
  } catch (...) {
    Table.reset();
    CloseTable(*FCatalog, Name);
    DeleteTableFiles(*FCatalog, Name);
    throw;
  }
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

void TVdbAlterTableCommand::DoExecute() {
  throw EVdbEngine(kVdbErrNotSupported, "ALTER TABLE");
}

}  // namespace vdb
