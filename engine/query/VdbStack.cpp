#include "query/VdbStack.h"

#include <cstring>
#include <stdexcept>

namespace vdb {

void TVdbStack::Push(const void* Data, std::int32_t Size) {
  if (Size < 0) throw std::invalid_argument("Negative size pushed on the value stack");
  const auto* Bytes = static_cast<const std::uint8_t*>(Data);
  UsStack.emplace_back(Bytes, Bytes + Size);
}

bool TVdbStack::Pop() {
  if (UsStack.empty()) return false;
  UsStack.pop_back();
  return true;
}

std::int32_t TVdbStack::Pop(void* Buffer, std::int32_t BufferSize) {
  if (UsStack.empty()) return -1;
  const std::vector<std::uint8_t>& Top = UsStack.back();
  const auto Size = static_cast<std::int32_t>(Top.size());
  if (Size > BufferSize) return -1;
  if (Size > 0) std::memcpy(Buffer, Top.data(), Top.size());
  UsStack.pop_back();
  return Size;
}

namespace {
template <class TChar>
std::vector<std::uint8_t> TextEntry(const std::basic_string<TChar>& Text) {
  const auto Count = static_cast<std::int32_t>(Text.size());
  std::vector<std::uint8_t> Entry(sizeof(Count) + Text.size() * sizeof(TChar));
  std::memcpy(Entry.data(), &Count, sizeof(Count));
  if (!Text.empty()) std::memcpy(Entry.data() + sizeof(Count), Text.data(), Text.size() * sizeof(TChar));
  return Entry;
}
}  // namespace

void TVdbStack::PushAnsiStr(const std::string& Text) { UsStack.push_back(TextEntry(Text)); }
void TVdbStack::PushStringW(const std::u16string& Text) { UsStack.push_back(TextEntry(Text)); }

template <class TChar>
bool TVdbStack::PopText(std::basic_string<TChar>& Text) {
  if (UsStack.empty()) return false;
  const std::vector<std::uint8_t>& Top = UsStack.back();
  std::int32_t Count = 0;
  if (Top.size() < sizeof(Count)) return false;
  std::memcpy(&Count, Top.data(), sizeof(Count));
  if (Count < 0 || Top.size() != sizeof(Count) + static_cast<std::size_t>(Count) * sizeof(TChar))
    return false;
  Text.resize(static_cast<std::size_t>(Count));
  if (Count > 0) std::memcpy(Text.data(), Top.data() + sizeof(Count), Top.size() - sizeof(Count));
  UsStack.pop_back();
  return true;
}

bool TVdbStack::PopString(std::string& Text) { return PopText(Text); }
bool TVdbStack::PopString(std::u16string& Text) { return PopText(Text); }

void TVdbStack::UnwindStack(std::int32_t Position) {
  while (GetStackPosition() > std::max<std::int32_t>(Position, 0)) UsStack.pop_back();
}

std::int32_t TVdbStack::StackGetTopSize() const {
  return UsStack.empty() ? -1 : static_cast<std::int32_t>(UsStack.back().size());
}

}  // namespace vdb
