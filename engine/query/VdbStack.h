// The value stack of a session: a stack of byte strings (each a copy of what was pushed, with its
// size). Texts are pushed as a 32-bit character count followed by the characters. A remembered
// position lets a caller pop everything it pushed since, whatever happened in between.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vdb {

class TVdbStack {
 public:
  void Push(const void* Data, std::int32_t Size);
  // Discards the top entry; false when the stack is empty.
  bool Pop();
  // Copies the top entry into Buffer (BufferSize bytes at most) and discards it; the entry's size,
  // or -1 (nothing popped) when the stack is empty or the entry does not fit.
  std::int32_t Pop(void* Buffer, std::int32_t BufferSize);
  void PushAnsiStr(const std::string& Text);
  void PushStringW(const std::u16string& Text);
  // Pops a text pushed by PushAnsiStr / PushStringW; false (nothing popped) when the top entry
  // is not such a text.
  bool PopString(std::string& Text);
  bool PopString(std::u16string& Text);
  // The number of entries, to unwind to later.
  std::int32_t GetStackPosition() const { return static_cast<std::int32_t>(UsStack.size()); }
  // Pops until the stack is back at Position.
  void UnwindStack(std::int32_t Position);
  // Size of the top entry; -1 when the stack is empty.
  std::int32_t StackGetTopSize() const;
  bool Empty() const { return UsStack.empty(); }

 private:
  template <class TChar>
  bool PopText(std::basic_string<TChar>& Text);
  std::vector<std::vector<std::uint8_t>> UsStack;
};

}  // namespace vdb
