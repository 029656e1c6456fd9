// The engine's two error tables: message formats by engine error number, and the texts of the
// API result codes (TEngErrorMsg); beside them the one vocabulary of engine error numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdb {

struct VdbErrorEntry {
  std::int16_t code;
  const char* text;
};

extern const VdbErrorEntry kVdbMessageTable[];
extern const std::size_t kVdbMessageTableSize;

extern const VdbErrorEntry TEngErrorMsg[];
extern const std::size_t TEngErrorMsgSize;

// The engine error numbers, each named once for what the error is (its message format is the
// entry of the same number in kVdbMessageTable); a result code is the negated number. Every
// number the engine raises or records is one of these.
// kVdbErrInternalSignal is the engine's non-critical internal signal: raised and caught inside
// the engine to leave an operation early, never recorded as a last error and never shown to a
// user (its message is a fixed text of its own). kVdbErrRecordNotFound is recorded like any
// error, but not written to the session log.
#define VDB_ENGINE_ERRORS(X) \
  X(kVdbErrCannotOpenFile, 1) \
  X(kVdbErrFileRead, 2) \
  X(kVdbErrFileWrite, 3) \
  X(kVdbErrIndexInsert, 4) \
  X(kVdbErrIndexDelete, 5) \
  X(kVdbErrNoSuitableIndex, 6) \
  X(kVdbErrInvalidSearchCondition, 7) \
  X(kVdbErrImport, 8) \
  X(kVdbErrOutputFormat, 9) \
  X(kVdbErrFileClose, 10) \
  X(kVdbErrIndexDataTooLarge, 11) \
  X(kVdbErrIndexOpen, 12) \
  X(kVdbErrIndexMismatch, 13) \
  X(kVdbErrNotADataField, 14) \
  X(kVdbErrLinkAcrossDatabases, 16) \
  X(kVdbErrInvalidTextFileHandle, 18) \
  X(kVdbErrRecordNotFound, 19) \
  X(kVdbErrModuleNotFound, 20) \
  X(kVdbErrIndexFileExists, 22) \
  X(kVdbErrIndexAlreadyOpen, 23) \
  X(kVdbErrExpressionSyntax, 25) \
  X(kVdbErrInvalidFileName, 26) \
  X(kVdbErrIndexDefinitionInconsistent, 28) \
  X(kVdbErrWrongProgramFileVersion, 29) \
  X(kVdbErrNotUnique, 30) \
  X(kVdbErrCannotOpenMemoFile, 31) \
  X(kVdbErrMemoBlobNotAllowed, 32) \
  X(kVdbErrMemoFileWrite, 33) \
  X(kVdbErrPermissionNotGranted, 34) \
  X(kVdbErrTableAlreadyOpen, 35) \
  X(kVdbErrIndexNotFound, 36) \
  X(kVdbErrFileNotFoundOrDenied, 37) \
  X(kVdbErrInvalidCredentials, 38) \
  X(kVdbErrExpressionIncomplete, 41) \
  X(kVdbErrOperatorNotAllowed, 42) \
  X(kVdbErrOutOfRange, 43) \
  X(kVdbErrTypeMismatch, 44) \
  X(kVdbErrCharacterNotAllowed, 45) \
  X(kVdbErrInvalidNumber, 46) \
  X(kVdbErrNullNotAllowed, 47) \
  X(kVdbErrLogicalOperandMissing, 48) \
  X(kVdbErrInvalidParameterValue, 49) \
  X(kVdbErrUnknownIdentifier, 50) \
  X(kVdbErrArrayVariableExpected, 51) \
  X(kVdbErrUnknown, 52) \
  X(kVdbErrTooManyVariables, 53) \
  X(kVdbErrEqualsMissing, 54) \
  X(kVdbErrNumberExpected, 55) \
  X(kVdbErrExpected, 56) \
  X(kVdbErrColumnCountMismatch, 57) \
  X(kVdbErrInvalidTableOrIndexName, 58) \
  X(kVdbErrRecordTooLarge, 59) \
  X(kVdbErrExpressionTooComplex, 60) \
  X(kVdbErrTooManyIndexLevels, 61) \
  X(kVdbErrNoRecordIdColumn, 64) \
  X(kVdbErrLinkTableNotFound, 65) \
  X(kVdbErrNoRestructureRight, 66) \
  X(kVdbErrTooManyIndexes, 67) \
  X(kVdbErrEmptySelection, 68) \
  X(kVdbErrFormulaMissing, 69) \
  X(kVdbErrInvalidRangeConstraint, 70) \
  X(kVdbErrDuplicateIdentifier, 71) \
  X(kVdbErrAlreadyExists, 72) \
  X(kVdbErrTooManyLinkFields, 73) \
  X(kVdbErrTooManyDigits, 74) \
  X(kVdbErrTextTooLong, 75) \
  X(kVdbErrSecondAutoInc, 76) \
  X(kVdbErrTooFewPlaceholders, 77) \
  X(kVdbErrTooManyPlaceholders, 78) \
  X(kVdbErrPageFull, 79) \
  X(kVdbErrSecondStandardIndex, 80) \
  X(kVdbErrValueOutOfTypeRange, 81) \
  X(kVdbErrCommandNotAllowedHere, 82) \
  X(kVdbErrFieldNotFound, 83) \
  X(kVdbErrNoStandardIndex, 84) \
  X(kVdbErrDefinitionMissing, 85) \
  X(kVdbErrReportBandOrder, 86) \
  X(kVdbErrInvalidAccess, 87) \
  X(kVdbErrTableNotFound, 88) \
  X(kVdbErrVariableExpected, 89) \
  X(kVdbErrIndexWrite, 90) \
  X(kVdbErrIndexRead, 91) \
  X(kVdbErrSubreportEndMissing, 92) \
  X(kVdbErrKeywordNotAllowed, 93) \
  X(kVdbErrTooManyTables, 94) \
  X(kVdbErrIndexCorrupt, 95) \
  X(kVdbErrBlockNotTerminated, 97) \
  X(kVdbErrInvalidIndexSpec, 98) \
  X(kVdbErrOutOfMemory, 99) \
  X(kVdbErrLocalProcNotPermitted, 101) \
  X(kVdbErrEndprocExpected, 102) \
  X(kVdbErrTableInUse, 103) \
  X(kVdbErrTableLocked, 104) \
  X(kVdbErrRecordEdited, 105) \
  X(kVdbErrLogin, 106) \
  X(kVdbErrInvalidConnectionId, 107) \
  X(kVdbErrTimeout, 108) \
  X(kVdbErrNetwork, 109) \
  X(kVdbErrLocking, 110) \
  X(kVdbErrCannotOpenBlobStorage, 111) \
  X(kVdbErrMemoDamaged, 112) \
  X(kVdbErrBlobDamaged, 113) \
  X(kVdbErrCanceled, 114) \
  X(kVdbErrNoWriteAccess, 115) \
  X(kVdbErrIndexInUse, 116) \
  X(kVdbErrFeatureNotInLevel, 117) \
  X(kVdbErrExternalProcFailed, 118) \
  X(kVdbErrExternalProcNotFound, 119) \
  X(kVdbErrOdbcInit, 120) \
  X(kVdbErrOdbcDataSource, 121) \
  X(kVdbErrSqlQuery, 122) \
  X(kVdbErrForeignException, 123) \
  X(kVdbErrOldTableVersion, 124) \
  X(kVdbErrAssignToConstant, 125) \
  X(kVdbErrObjectRequired, 126) \
  X(kVdbErrArrayTooLarge, 127) \
  X(kVdbErrFullTextCondition, 128) \
  X(kVdbErrUnknownDbaseVersion, 129) \
  X(kVdbErrFileInUse, 130) \
  X(kVdbErrUnknownClass, 132) \
  X(kVdbErrInvalidObjectReference, 133) \
  X(kVdbErrTableCorrupt, 134) \
  X(kVdbErrMessage, 135) \
  X(kVdbErrNotAMember, 136) \
  X(kVdbErrInvalidDate, 137) \
  X(kVdbErrUnknownCollation, 138) \
  X(kVdbErrAggregateNotNumeric, 139) \
  X(kVdbErrInvalidTime, 140) \
  X(kVdbErrCreateDenied, 141) \
  X(kVdbErrReadDenied, 142) \
  X(kVdbErrZeroFieldSize, 143) \
  X(kVdbErrUnknownType, 144) \
  X(kVdbErrAutoIncUndefined, 145) \
  X(kVdbErrIncompatibleJoinFields, 146) \
  X(kVdbErrMixedLanguageDrivers, 147) \
  X(kVdbErrNoIndexRight, 149) \
  X(kVdbErrTooManyValues, 150) \
  X(kVdbErrInvalidEquateJoin, 151) \
  X(kVdbErrDbaseStructure, 152) \
  X(kVdbErrExternalTable, 153) \
  X(kVdbErrRelationTableNotOpened, 154) \
  X(kVdbErrCannotDelete, 155) \
  X(kVdbErrMemoBlobTooLarge, 156) \
  X(kVdbErrAutoIncModified, 157) \
  X(kVdbErrInvalidTimestamp, 158) \
  X(kVdbErrLanguageDriverUnsupported, 159) \
  X(kVdbErrNoWritePermission, 160) \
  X(kVdbErrNoValue, 161) \
  X(kVdbErrWrongFieldType, 162) \
  X(kVdbErrUnknownVariableType, 164) \
  X(kVdbErrOleCall, 165) \
  X(kVdbErrModuleRecursion, 166) \
  X(kVdbErrConstraintViolated, 167) \
  X(kVdbErrBlobFieldExpected, 168) \
  X(kVdbErrMemoFieldExpected, 169) \
  X(kVdbErrTableHasLocks, 170) \
  X(kVdbErrCapacityReached, 171) \
  X(kVdbErrGroupByMismatch, 172) \
  X(kVdbErrInvalidIdentifier, 173) \
  X(kVdbErrAmbiguousIdentifier, 174) \
  X(kVdbErrTableStillAccessed, 175) \
  X(kVdbErrInvalidIndexName, 176) \
  X(kVdbErrTooFewArguments, 177) \
  X(kVdbErrDivisionByZero, 178) \
  X(kVdbErrNoParentRow, 179) \
  X(kVdbErrIntegrityViolated, 180) \
  X(kVdbErrNotInEditMode, 181) \
  X(kVdbErrCursorNotOnRecord, 182) \
  X(kVdbErrTransactionRunning, 183) \
  X(kVdbErrParentTableNotFound, 184) \
  X(kVdbErrIncompatibleLockFile, 185) \
  X(kVdbErrInvalidPassword, 186) \
  X(kVdbErrNotSupported, 187) \
  X(kVdbErrOrderByNotInResult, 188) \
  X(kVdbErrStringLengthOutOfRange, 189) \
  X(kVdbErrInvalidRelationTable, 190) \
  X(kVdbErrRelativeDatabasePath, 191) \
  X(kVdbErrCannotCreateDatabase, 202) \
  X(kVdbErrInternalSignal, 9999)

enum TVdbError : std::int16_t {
#define VDB_ERROR_ENUMERATOR(Name, Number) Name = Number,
  VDB_ENGINE_ERRORS(VDB_ERROR_ENUMERATOR)
#undef VDB_ERROR_ENUMERATOR
};

// Every engine error number, so that checks can hold the vocabulary against the message table.
inline constexpr TVdbError kVdbEngineErrors[] = {
#define VDB_ERROR_ITEM(Name, Number) Name,
    VDB_ENGINE_ERRORS(VDB_ERROR_ITEM)
#undef VDB_ERROR_ITEM
};

}  // namespace vdb
