#include "Resources.h"

#include <QBuffer>
#include <QByteArray>

std::unique_ptr<QIODevice> TEmbeddedResources::Open(const QString& name) const {
  const std::span<const std::byte> bytes = EmbeddedResourceBytes(name.toStdString());
  if (bytes.empty()) throw EResourceNotFound("Resource not found: " + name.toStdString());
  // The stream reads the executable's own bytes in place; nothing is copied.
  auto stream = std::make_unique<QBuffer>();
  stream->setData(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<qsizetype>(bytes.size())));
  if (!stream->open(QIODevice::ReadOnly))
    throw EResourceNotFound("Resource cannot be read: " + name.toStdString());
  return stream;
}
