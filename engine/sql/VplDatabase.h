// Conditions and calculations compiled from SQL text: cursor filters, calculated columns, check
// constraints and defaults. A text is parsed as one search condition or one expression, prepared
// against a context and then evaluated for the context's current rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/VdbAccessor.h"
#include "sql/VdbExpression.h"
#include "table/VdbDefinitions.h"

namespace vdb {

// The context of one record buffer laid out by a table's column definitions: the formulas of a
// table read the columns of the record being written. Memo, blob and relation columns have no
// value in a record buffer and cannot be read here.
class TVdbRecordContext : public TVdbExpressionContext {
 public:
  TVdbRecordContext(const TVdbColumnDefs& Columns, std::int16_t TableLevel);
  // The record the next evaluation reads (not owned).
  void SetRecord(const std::uint8_t* RecBuffer) { FRecBuffer = RecBuffer; }

  bool FindColumn(std::string_view Name, TVdbColumnRef& Column) override;
  const TVdbDataType* ColumnType(const TVdbColumnRef& Column) override;
  void ReadColumn(const TVdbColumnRef& Column, TVdbDataValue& Value) override;

 private:
  struct TColumn {
    std::string Name;
    const TVdbDataType* Type;
    std::int32_t Position;
  };
  std::vector<TColumn> FColumns;
  const std::uint8_t* FRecBuffer = nullptr;
};

// A search condition from SQL text. An empty text is TRUE; evaluating a condition whose text did
// not yield a tree is error 7. As an accessor's filter it tests the current record of the
// accessor that asks: one built over an accessor is prepared again for another one; one built
// over a context answers error 87 for an accessor the context does not hold.
class TVdbSqlCondition : public TVdbAccessorFilter {
 public:
  // Parses and prepares Text against Context (not owned); parse and preparation errors are
  // raised, and the condition then has no tree.
  TVdbSqlCondition(std::string Text, TVdbExpressionContext& Context, TVdbPrepareOptions Options = 0);
  // A filter over the records of one accessor (its relation's columns, unqualified or qualified
  // by the relation's name).
  TVdbSqlCondition(std::string Text, TVdbAccessor& Accessor, TVdbPrepareOptions Options = 0);
  ~TVdbSqlCondition() override;

  const std::string& Text() const { return FText; }
  TVdbSearchCondition* Condition() const { return FCondition.get(); }
  // True exactly when the condition is TRUE for the current rows.
  bool Evaluate();
  bool Evaluate(TVdbRelationSet& RltnIdxs);
  TVdbTruthValue EvaluateTruth(TVdbRelationSet& RltnIdxs);
  bool IsSatisfied(TVdbAccessor& Accessor) override;

 private:
  void Compile(TVdbExpressionContext& Context, TVdbPrepareOptions Options);
  // Prepares the text over Accessor's relation, reading Accessor's current record.
  void BindTo(TVdbAccessor& Accessor);
  std::string FText;
  TVdbPrepareOptions FOptions = 0;
  TVdbExpressionContext* FContext = nullptr;
  std::unique_ptr<TVdbAccessorContext> FOwnContext;
  TVdbAccessor* FBoundAccessor = nullptr;
  const TVdbRelation* FBoundRelation = nullptr;
  std::unique_ptr<TVdbSearchCondition> FCondition;
};

// An expression from SQL text.
class TVdbSqlCalculation {
 public:
  TVdbSqlCalculation(std::string Text, TVdbExpressionContext& Context, TVdbPrepareOptions Options = 0);
  ~TVdbSqlCalculation();

  const std::string& Text() const { return FText; }
  TVdbExpression& Expression() const { return *FExpression; }
  const TVdbDataType* DataType() const { return FExpression->DataType(); }
  // Computes the value for the current rows; the value is Value() (of DataType()).
  void Calculate(TVdbRelationSet& RltnIdxs);
  void Calculate();
  const TVdbDataValue& Value() const { return FExpression->ResultValue; }

 private:
  std::string FText;
  std::unique_ptr<TVdbExpression> FExpression;
};

// The session's compiler of table formulas written in SQL: calculated columns, defaults and
// check constraints over the columns of one record. Procedural sources are error 52 ("Not yet
// implemented"): this engine has no procedural language.
class TVdbSqlExpressionFactory : public TVdbExpressionFactory {
 public:
  std::unique_ptr<TVdbCompiledExpression> CompileExpression(const std::string& Source, bool Procedural,
                                                            const TVdbColumnDefs& Columns,
                                                            std::int16_t TableLevel) override;
  std::unique_ptr<TVdbCompiledCondition> CompileCondition(const std::string& Source, bool Procedural,
                                                          const TVdbColumnDefs& Columns,
                                                          std::int16_t TableLevel) override;
};

}  // namespace vdb
