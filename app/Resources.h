// The raw-data resources the executable carries (its RCDATA), built into the program at build
// time; Resource_1 is the lexicon database.
#pragma once

#include <QString>

#include <memory>
#include <stdexcept>

#include "ResourceData.h"

class QIODevice;

class EResourceNotFound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the window finds its resources: the executable itself, or a stand-in in tests.
class TResourceSource {
 public:
  virtual ~TResourceSource() = default;
  // Opens the named resource as a read-only stream; throws EResourceNotFound when it is missing.
  virtual std::unique_ptr<QIODevice> Open(const QString& name) const = 0;
};

// The resources built into this executable.
class TEmbeddedResources final : public TResourceSource {
 public:
  std::unique_ptr<QIODevice> Open(const QString& name) const override;
};
