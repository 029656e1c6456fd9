/* The VeskorDB engine API: flat functions over 16-bit handles, usable from C and C++.
 *
 * Handles: session 1..100; relation (session - 1) * 256 + relation index (1..254); table
 * (a cursor) 1..255; statement 1..255. 0 is never valid; 256 and above name objects of a remote
 * session, which this build does not have (they answer the invalid-handle codes).
 *
 * Results: 16-bit signed (32-bit where a count or record number is answered). 0 or a positive
 * value is success or the value asked for; a negative value is a result code (VdbGetErrorMsg
 * gives its text) and the session's last error (VdbSessGetLastError) holds the engine's detail.
 * Invalid handles answer VDB_ERR_INVALID_SESSION, VDB_ERR_INVALID_TABLE,
 * VDB_ERR_INVALID_STATEMENT or VDB_ERR_INVALID_RELATION and change nothing. An engine failure
 * caught inside a function answers VDB_ERR_ENGINE; any other failure VDB_ERR_EXCEPTION (last
 * error 123).
 *
 * Text: zero-terminated UTF-16 (VdbChar). Text results are copied into the caller's buffer of
 * MaxLen characters plus the terminating zero and cut there.
 *
 * Areas this engine does not provide (full-text indexing, the procedural language, batch moves,
 * remote sessions) answer VDB_ERR_ENGINE with last error 187 ("This feature is not supported").
 *
 * Threads: the session, table and statement tables are process-wide and guarded; a handle must
 * not be used by two threads at once. VdbSessBreak may be called from any thread. */
#ifndef VESKORDB_API_H
#define VESKORDB_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t VdbChar; /* one UTF-16 code unit */
typedef int16_t VdbResult;
typedef int16_t VdbHandle;

/* Result codes (see VdbGetErrorMsg for all texts). */
enum {
  VDB_OK = 0,
  VDB_ERR_CANNOT_OPEN_TABLE = -1,
  VDB_ERR_OUT_OF_MEMORY = -2,
  VDB_ERR_NO_RECORD = -11,
  VDB_ERR_WRONG_PASSWORD = -12,
  VDB_ERR_CREATE_TABLE = -14,
  VDB_ERR_INVALID_ACCESS = -15,
  VDB_ERR_NO_INDEX = -16,
  VDB_ERR_INVALID_RELATION = -17,
  VDB_ERR_INVALID_INDEX_DEF = -18,
  VDB_ERR_WRONG_CONTEXT = -19,
  VDB_ERR_WRONG_TYPE = -23,
  VDB_ERR_CANNOT_DELETE_INDEX = -48,
  VDB_ERR_DELETE_TABLE = -51,
  VDB_ERR_CREATE_SESSION = -53,
  VDB_ERR_FILE_EXISTS = -54,
  VDB_ERR_BLOB_ACTIVE = -55,
  VDB_ERR_NO_BLOB = -56,
  VDB_ERR_NOT_EDITING = -57,
  VDB_ERR_DATABASE_NOT_FOUND = -58,
  VDB_ERR_SQL_SYNTAX = -59,
  VDB_ERR_TRANSACTION = -63,
  VDB_ERR_PREPARE = -64,
  VDB_ERR_ENGINE = -100,
  VDB_ERR_INVALID_TABLE = -101,
  VDB_ERR_EXCEPTION = -102,
  VDB_ERR_BUFFER_TOO_SMALL = -103,
  VDB_ERR_INVALID_STATEMENT = -104,
  VDB_ERR_INVALID_SESSION = -105,
  VDB_ERR_READ = -201
};

/* Flags of VdbSessOpenDb. */
enum {
  VDB_OPEN_READ_ONLY = 1,
  VDB_OPEN_EXCLUSIVE = 2,
  VDB_OPEN_DEEP_FLUSH = 4,
  VDB_OPEN_SHARED_READ_ONLY = 8
};

/* Rights words of VdbSessOpenTable: bits 0..3 append, edit, delete, index. */
enum {
  VDB_RIGHTS_WRITE = 15,
  VDB_RIGHTS_EXCLUSIVE = 0x100,
  VDB_RIGHTS_SECURE_FLUSH = 0x200,
  VDB_RIGHTS_SHARED_READ_ONLY = 0x400
};

/* Cursor types of VdbStmtPrepare. */
enum { VDB_CURSOR_STATIC = 0, VDB_CURSOR_KEYSET = 1, VDB_CURSOR_LIVE = 2 };

/* Database types of VdbSessCreateDatabase. */
enum { VDB_DB_DIRECTORY = 0, VDB_DB_SINGLE_FILE = 1 };

/* Column types (TVdbFieldSpec.FldType). */
enum {
  VDB_FT_CHAR = 0, VDB_FT_STRING = 1, VDB_FT_SMALLINT = 2, VDB_FT_FLOAT = 3, VDB_FT_BYTE = 4,
  VDB_FT_BOOLEAN = 5, VDB_FT_DATE = 6, VDB_FT_MEMO = 7, VDB_FT_ENUM = 8, VDB_FT_AUTOINC = 9,
  VDB_FT_LINK = 10, VDB_FT_BLOB = 11, VDB_FT_RELATION = 12, VDB_FT_TIME = 13,
  VDB_FT_INTEGER = 16, VDB_FT_TIMESTAMP = 17, VDB_FT_WIDESTRING = 18, VDB_FT_WIDEMEMO = 19,
  VDB_FT_BIGINT = 20, VDB_FT_GUID = 21
};

/* Column options (TVdbFieldSpec.Options). */
enum { VDB_FO_CALCULATED = 1, VDB_FO_NULLABLE = 0x20, VDB_FO_REQUIRED = 0x40 };

typedef struct TVdbNetParams {
  VdbChar NetDirs[256];
  VdbChar PrivateDir[256];
  uint32_t StationNo;
  VdbChar StationName[41];
  VdbChar ReadOnlyDirs[256];
  int32_t ServerTimeout; /* milliseconds */
} TVdbNetParams;

typedef struct TVdbDatabaseInfo {
  int16_t ManagementLevel;
  int16_t EncryptionMethod;
} TVdbDatabaseInfo;

typedef struct TVdbFieldSpec {
  int16_t No;                   /* column number, 1-based */
  VdbChar Name[41];
  uint8_t Options;              /* VDB_FO_* */
  VdbChar RangeOrFormula[256];  /* check range or calculation formula */
  VdbChar SelectOrLink[2001];   /* for string columns: the collation name */
  int16_t FldType;              /* VDB_FT_* */
  int32_t Param;                /* length of strings, scale of floats, precision of times */
  int16_t InternalPosition;     /* byte offset of the value in the record image */
  int16_t InternalSize;         /* byte size of the value in the record image */
} TVdbFieldSpec;

typedef struct TVdbTableInfo {
  VdbChar FileName[256];
  int16_t Level;
  VdbChar Language[41]; /* the table's collation name */
  int16_t EncryptionMethod;
  int32_t Capacity;
} TVdbTableInfo;

/* Called with the table name when a table's key was refused; writes the key to try (MaxLen
 * characters) and answers 1, or answers 0 to give up. */
typedef int16_t (*TVdbPasswordProc)(const VdbChar* TableName, VdbChar* Key, int32_t MaxLen);
/* Called when a record of the cursor's relation was deleted (Moved: the record that took its place, 0 none). */
typedef void (*TVdbChangeProc)(VdbHandle DbHdl, VdbHandle Table, int32_t Deleted, int32_t Moved);

/* ---- Without a handle ---- */

/* Copies the text of result code Code (or "Unknown error") into Msg; always 0. */
VdbResult VdbGetErrorMsg(VdbResult Code, VdbChar* Msg, int32_t MaxLen);
/* Copies the engine's version text into Version; 0. */
VdbResult VdbGetVersion(VdbChar* Version, int32_t MaxLen);

/* ---- Sessions ---- */

/* A new local session for Location (one with "@" would be remote: VDB_ERR_CREATE_SESSION); its handle. */
VdbHandle VdbCreateSession(const VdbChar* Location);
/* Fills Params with the defaults ("AUTO", no private directory, "Undefined", a random station, 20000 ms). */
VdbResult VdbSessGetDefaultNetParams(VdbHandle Sess, TVdbNetParams* Params);
/* Takes station, names, directories from Params and creates the private directory when missing. */
VdbResult VdbSessSetNetParams(VdbHandle Sess, const TVdbNetParams* Params);
/* Installs the procedure asked for a table's key when the one given is refused (null: none). */
VdbResult VdbSessSetPasswordProc(VdbHandle Sess, TVdbPasswordProc Proc);
/* Index page size (kept) and block size of new blob files. */
VdbResult VdbSessSetSystemSettings(VdbHandle Sess, int32_t IndexPageSize, int32_t BlobBlockSize);
/* Opens the database at Location (VDB_OPEN_* flags); 0, VDB_ERR_DATABASE_NOT_FOUND or VDB_ERR_CREATE_SESSION. */
VdbResult VdbSessOpenDb(VdbHandle Sess, const VdbChar* Location, const VdbChar* UserName,
                        const VdbChar* Password, int32_t CacheSizeKB, uint16_t Flags);
/* The open database's management level and encryption method. */
VdbResult VdbSessGetDbInfo(VdbHandle Sess, TVdbDatabaseInfo* Info);
/* Case sensitivity of names, caret switch (remote only), automatic indexes, locking timeout (ms). */
VdbResult VdbSessSetSettings(VdbHandle Sess, int16_t CaseSensitive, int16_t CaretSwitch,
                             int16_t AutoCreateIndexes, int32_t LockingTimeout);
/* Session log level 0 (none) to 4; -3 when the log file cannot be created. */
VdbResult VdbSessSetLogLevel(VdbHandle Sess, int16_t Level);
/* 1 for a single-file database, else 0. */
VdbResult VdbSessIsSingleFile(VdbHandle Sess);
/* The relation handle of the open relation Name, 0 when none is open. */
VdbHandle VdbSessFindRltnHdl(VdbHandle Sess, const VdbChar* Name);
/* Opens table TableName with Rights (VDB_RIGHTS_*); its relation handle, -2 catalog full, -12 wrong key, -1 other failure. */
VdbHandle VdbSessOpenTable(VdbHandle Sess, const VdbChar* TableName, const VdbChar* Key,
                           uint16_t Rights, int16_t Force);
/* The relation handle of TableName, opening it with write rights when it is not open. */
VdbHandle VdbSessGetRltnHdl(VdbHandle Sess, const VdbChar* TableName);
/* Closes every relation that nothing uses. */
VdbResult VdbSessCloseUnneededTables(VdbHandle Sess);
/* Lets every open relation catch up with other sessions; 1 when one changed, else 0. */
VdbResult VdbSessRegisterModifications(VdbHandle Sess);
/* A new statement of the session; its handle (VDB_ERR_OUT_OF_MEMORY when 255 are open). */
VdbHandle VdbSessCreateStatement(VdbHandle Sess);
/* Code := minus the last error number (0: none); Msg := its message. */
VdbResult VdbSessGetLastError(VdbHandle Sess, int16_t* Code, VdbChar* Msg, int32_t MaxLen);
/* Line := the text line of the last compile error; answers its column (1-based, 0 when none). */
int32_t VdbSessGetLastErrorPos(VdbHandle Sess, VdbChar* Line, int32_t MaxLen);
/* Deletes the session's statements and tables, then closes its database. */
VdbResult VdbSessCloseDb(VdbHandle Sess);
/* Deletes the session's remaining tables and statements and frees the session. */
VdbResult VdbSessDelete(VdbHandle Sess);
/* Creates an empty database (VDB_DB_*) while the session has none open; VDB_ERR_FILE_EXISTS when the name is taken. */
VdbResult VdbSessCreateDatabase(VdbHandle Sess, int16_t DatabaseType, const VdbChar* Name,
                                const VdbChar* Key);
/* Deletes a database that the session does not have open. */
VdbResult VdbSessDeleteDatabase(VdbHandle Sess, const VdbChar* Path, const VdbChar* Key);
/* The table names joined by ";" into Names; answers the length of the whole list. */
int32_t VdbSessGetTableNames(VdbHandle Sess, VdbChar* Names, int32_t MaxLen);
/* 1 when the database holds table Name, else 0. */
VdbResult VdbSessExistsTable(VdbHandle Sess, const VdbChar* Name);
/* Creates table Name with NumFields columns (Info may be null: level 6, no collation); VDB_ERR_CREATE_TABLE on failure. */
VdbResult VdbSessCreateTable(VdbHandle Sess, const VdbChar* Name, int16_t NumFields,
                             const TVdbFieldSpec* Fields, const TVdbTableInfo* Info);
/* Deletes table Name and its files (it must not be in use); VDB_ERR_DELETE_TABLE on failure. */
VdbResult VdbSessDeleteTable(VdbHandle Sess, const VdbChar* Name);
/* Renames a table that is not open with all its files. */
VdbResult VdbSessRenameTable(VdbHandle Sess, const VdbChar* OldName, const VdbChar* NewName);
/* Starts a transaction (isolation 1 dirty read, 2 read committed, 3 repeatable read); VDB_ERR_TRANSACTION when one runs. */
VdbResult VdbSessBeginTransaction(VdbHandle Sess, int16_t IsolationLevel);
/* Commits the running transaction; VDB_ERR_TRANSACTION when none runs. */
VdbResult VdbSessEndTransaction(VdbHandle Sess);
/* Rolls the running transaction back; VDB_ERR_TRANSACTION when none runs. */
VdbResult VdbSessCancelTransaction(VdbHandle Sess);
/* 1 while a transaction runs, else 0. */
VdbResult VdbSessInTransaction(VdbHandle Sess);
/* Asks the session's running statement to stop (from any thread). */
VdbResult VdbSessBreak(VdbHandle Sess);
/* Procedural-language tokenizing: not provided by this engine. */
VdbResult VdbSessTokenize(VdbHandle Sess, const VdbChar* Text);

/* ---- Relations ---- */

/* The relation's name. */
VdbResult VdbRltnGetName(VdbHandle Rltn, VdbChar* Name, int32_t MaxLen);
/* The relation's record count (32-bit). */
int32_t VdbRltnRecordCount(VdbHandle Rltn);
/* The relation's index names joined by ";"; answers the length of the whole list. */
int32_t VdbRltnGetIndexNames(VdbHandle Rltn, VdbChar* Names, int32_t MaxLen);
/* Index IndexName: its index specification text and whether it is unique; VDB_ERR_NO_INDEX when unknown. */
VdbResult VdbRltnGetIndexDesc(VdbHandle Rltn, const VdbChar* IndexName, VdbChar* Specification,
                              int32_t MaxLen, int16_t* Unique);
/* Creates and builds index IndexName over Specification (columns joined by ","; "-" descending); its number. */
VdbResult VdbRltnCreateIndex(VdbHandle Rltn, const VdbChar* IndexName,
                             const VdbChar* Specification, int16_t Unique);
/* Deletes index IndexName; VDB_ERR_NO_INDEX when unknown, VDB_ERR_CANNOT_DELETE_INDEX when in use. */
VdbResult VdbRltnDeleteIndex(VdbHandle Rltn, const VdbChar* IndexName);
/* File name, level, collation and capacity of a base table. */
VdbResult VdbRltnGetTableInfo(VdbHandle Rltn, TVdbTableInfo* Info);
/* Closes the relation when nothing uses it (-49 otherwise). */
VdbResult VdbRltnClose(VdbHandle Rltn);
/* Full-text indexing: not provided by this engine. */
VdbResult VdbRltnCreateFullTextIndex(VdbHandle Rltn, const VdbChar* IndexName,
                                     const VdbChar* Columns);

/* ---- Tables (cursors) ---- */

/* A cursor named Name on relation Rltn, before its first record; its table handle (-2 when 255 are open). */
VdbHandle VdbTableCreate(VdbHandle Rltn, const VdbChar* Name);
/* Closes and frees the cursor. */
VdbResult VdbTableDelete(VdbHandle Table);
/* The relation handle of the cursor's relation. */
VdbHandle VdbTableGetRltnHdl(VdbHandle Table);
/* The number of columns. */
VdbResult VdbTableGetNumFields(VdbHandle Table);
/* The description of column FieldNo (1-based). */
VdbResult VdbTableGetFieldSpec(VdbHandle Table, int16_t FieldNo, TVdbFieldSpec* Spec);
/* The engine column type of column FieldNo. */
VdbResult VdbTableGetDataType(VdbHandle Table, int16_t FieldNo);
/* The name of column FieldNo. */
VdbResult VdbTableGetFieldName(VdbHandle Table, int16_t FieldNo, VdbChar* Name, int32_t MaxLen);
/* The number of column Name (1-based), 0 when there is none. */
VdbResult VdbTableGetFieldNo(VdbHandle Table, const VdbChar* Name);
/* The table level of the cursor's relation. */
VdbResult VdbTableGetRltnVersion(VdbHandle Table);
/* Moves Delta records (0 re-reads); VDB_ERR_NO_RECORD past either end. */
VdbResult VdbTableMoveBy(VdbHandle Table, int32_t Delta);
/* To the first record; 1, or VDB_ERR_NO_RECORD when there is none. */
VdbResult VdbTableFirst(VdbHandle Table);
/* To the last record; 1, or VDB_ERR_NO_RECORD when there is none. */
VdbResult VdbTableLast(VdbHandle Table);
/* The number of records the cursor walks (32-bit). */
int32_t VdbTableGetRowCount(VdbHandle Table);
/* The current record number (32-bit). */
int32_t VdbTableGetRecNo(VdbHandle Table);
/* The current position in the walk, 1-based (32-bit). */
int32_t VdbTableGetSequenceNo(VdbHandle Table);
/* Positions on record RecordNo; the number reached. */
int32_t VdbTableSetRecNo(VdbHandle Table, int32_t RecordNo);
/* Positions on walk position SeqNo; the record number reached. */
int32_t VdbTableSetSequenceNo(VdbHandle Table, int32_t SeqNo);
/* Copies the current record image into Buffer (Size bytes at least VdbTableGetRecordSize). */
VdbResult VdbTableGetRecord(VdbHandle Table, void* Buffer, int32_t Size);
/* Copies Buffer into the record being edited or appended. */
VdbResult VdbTableSetRecord(VdbHandle Table, const void* Buffer, int32_t Size);
/* The size of the record image in bytes. */
VdbResult VdbTableGetRecordSize(VdbHandle Table);
/* Positive when the cursor's relation can be written, else 0. */
VdbResult VdbTableCanModify(VdbHandle Table);
/* 1 when sequence numbers are exact, else 0. */
VdbResult VdbTableIsSequenced(VdbHandle Table);
/* Starts reading memo/blob column FieldNo of the current record: its size in bytes; BlobType receives the type word. */
int32_t VdbTableInitGetBlob(VdbHandle Table, int16_t FieldNo, int16_t* BlobType);
/* Copies up to Size bytes of the value in transfer into Buffer and ends the transfer; the number copied. */
int32_t VdbTablePerformGetBlob(VdbHandle Table, void* Buffer, int32_t Size);
/* Stages a memo (8-bit text in the table's code page) or blob value for the record being edited or appended. */
VdbResult VdbTableSetBlob(VdbHandle Table, int16_t FieldNo, const void* Data, int32_t Size,
                          int16_t BlobType);
/* The text of column FieldNo of the current record (memos whole), converted to UTF-16; the full length, *IsNull 1 for NULL. */
int32_t VdbTableGetFieldText(VdbHandle Table, int16_t FieldNo, VdbChar* Text, int32_t MaxLen,
                             int16_t* IsNull);
/* Sets column FieldNo of the record being edited or appended from text (null pointer: NULL). */
VdbResult VdbTableSetFieldText(VdbHandle Table, int16_t FieldNo, const VdbChar* Text);
/* Starts a new record. */
VdbResult VdbTableAppend(VdbHandle Table);
/* Writes the new record. */
VdbResult VdbTableAppendConfirm(VdbHandle Table);
/* Drops the new record. */
VdbResult VdbTableAppendCancel(VdbHandle Table);
/* Deletes the current record. */
VdbResult VdbTableDeleteRecord(VdbHandle Table);
/* Starts editing the current record. */
VdbResult VdbTableEdit(VdbHandle Table);
/* Writes the edited record. */
VdbResult VdbTableEditConfirm(VdbHandle Table);
/* Drops the edit. */
VdbResult VdbTableEditCancel(VdbHandle Table);
/* Walks through index IndexName (empty: record order), backwards when Reverse; VDB_ERR_NO_INDEX when unknown. */
VdbResult VdbTableSetIndex(VdbHandle Table, const VdbChar* IndexName, int16_t Reverse);
/* Walks in the order of SortOrder (columns joined by ","; "-" descending), making an index when needed. */
VdbResult VdbTableSetSortOrder(VdbHandle Table, const VdbChar* SortOrder);
/* Key range on the current index from two record images (null: unset) over the first levels (0: all). */
VdbResult VdbTableSetRange(VdbHandle Table, const void* LowerRecord, const void* UpperRecord,
                           int16_t FieldCountEnd, int16_t FieldCountStart);
/* Removes the key range. */
VdbResult VdbTableClearRange(VdbHandle Table);
/* Positions on the first record whose key in the current index equals that of Record; its number, 0 when none. */
int32_t VdbTableLocateRec1(VdbHandle Table, const void* Record);
/* Marks record RecordNo. */
VdbResult VdbTableAddMark(VdbHandle Table, int32_t RecordNo);
/* Unmarks record RecordNo. */
VdbResult VdbTableRemoveMark(VdbHandle Table, int32_t RecordNo);
/* Marks or unmarks record RecordNo. */
VdbResult VdbTableToggleMark(VdbHandle Table, int32_t RecordNo);
/* 1 when record RecordNo is marked, else 0. */
VdbResult VdbTableIsMarked(VdbHandle Table, int32_t RecordNo);
/* The number of marks (32-bit). */
int32_t VdbTableGetNumMarks(VdbHandle Table);
/* Removes every mark. */
VdbResult VdbTableUnmark(VdbHandle Table);
/* Moves to the next (Delta > 0) or previous marked record, from an end when Restart; 1, or VDB_ERR_NO_RECORD. */
VdbResult VdbTableGotoMark(VdbHandle Table, int32_t Delta, int16_t Restart);
/* The record id the next new record gets (32-bit). */
int32_t VdbTableGetAutoNo(VdbHandle Table);
/* Positions on the record with record id AutoNo; its record number, 0 when there is none. */
int32_t VdbTableGotoAutoNo(VdbHandle Table, int32_t AutoNo);
/* Prepares a filter in SQL (empty: none); Options' low 4 bits: 1 static, 15 incremental; -44 for an invalid condition. */
VdbResult VdbTableSetSQLFilter(VdbHandle Table, const VdbChar* Filter, uint16_t Options);
/* Puts the prepared filter into force (On 1) or takes the active one back (On 0). */
VdbResult VdbTableActivateFilter(VdbHandle Table, int16_t On);
/* Installs the procedure told about deleted records (null: none), passing DbHdl back. */
VdbResult VdbTableSetChangeProc(VdbHandle Table, TVdbChangeProc Proc, VdbHandle DbHdl);
/* Re-reads the current record after changes of other sessions; 1 when the data changed. */
VdbResult VdbTableRefresh(VdbHandle Table);
/* Batch moves: not provided by this engine. */
VdbResult VdbTableBatchMove(VdbHandle Table, VdbHandle Source, int16_t Mode);

/* ---- Statements ---- */

/* Parses Text; 0, or VDB_ERR_SQL_SYNTAX with the place in VdbStmtGetErrorPos. */
VdbResult VdbStmtSetSqlText(VdbHandle Stmt, const VdbChar* Text);
/* Declares parameter Name of column type Type and size Size. */
VdbResult VdbStmtAddParam(VdbHandle Stmt, const VdbChar* Name, int16_t Type, int32_t Size);
/* Clears the parameter values. */
VdbResult VdbStmtClearParams(VdbHandle Stmt);
/* Sets parameter Name from text (null: NULL). */
VdbResult VdbStmtSetParam(VdbHandle Stmt, const VdbChar* Name, const VdbChar* Value, int32_t Size);
/* Prepares with cursor type VDB_CURSOR_* (other values keep the statement's own); VDB_ERR_PREPARE on failure. */
VdbResult VdbStmtPrepare(VdbHandle Stmt, int16_t CursorType);
/* Executes; the number of rows affected (32-bit), or a negative code. */
int32_t VdbStmtExecute(VdbHandle Stmt);
/* A table handle on the statement's result ("ResultTable"), 0 when it has none. */
VdbHandle VdbStmtCreateResultTableHdl(VdbHandle Stmt);
/* The access path chosen for each relation and the join order, as text; the full length. */
int32_t VdbStmtGetPlan(VdbHandle Stmt, VdbChar* Plan, int32_t MaxLen);
/* Drops the preparation. */
VdbResult VdbStmtUnprepare(VdbHandle Stmt);
/* Frees the statement. */
VdbResult VdbStmtDelete(VdbHandle Stmt);
/* Row and column (1-based) of the last syntax error. */
VdbResult VdbStmtGetErrorPos(VdbHandle Stmt, int32_t* Row, int32_t* Col);

#ifdef __cplusplus
}
#endif

#endif /* VESKORDB_API_H */
