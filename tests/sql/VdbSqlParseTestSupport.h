// Parsing for the SQL tests: one whole statement, or one expression on its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sql/VdbExpression.h"
#include "sql/VdbSqlCommand.h"
#include "sql/VdbSqlParser.h"

namespace vdb::test {

// The single statement Text holds; a second statement behind it fails the test.
inline std::unique_ptr<TVdbSqlCommand> ParseOne(const std::string& Text) {
  TSqlParser Parser;
  Parser.SetStatementText(Text);
  auto Command = Parser.ParseFirstStatement(nullptr);
  EXPECT_EQ(Parser.ParseNextStatement(nullptr), nullptr) << Text;
  return Command;
}

// Text as one expression, up to the end of the text.
inline std::unique_ptr<TVdbExpression> ParseExpressionText(const std::string& Text) {
  TSqlParser Parser;
  Parser.SetStatementText(Text);
  Parser.InitParsing(nullptr);
  auto Expression = Parser.ParseExpression();
  Parser.ParseEnd();
  return Expression;
}

}  // namespace vdb::test
