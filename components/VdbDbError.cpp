#include "VdbDbError.h"

#include <algorithm>
#include <array>

#include "VdbText.h"

std::string VdbErrorText(VdbResult code) {
  std::array<VdbChar, 256> text{};
  VdbGetErrorMsg(code, text.data(), 255);
  return vdbtext::Utf8(vdbtext::FromApi(text.data()));
}

namespace {

// Codes that speak for themselves: the handle or the call was wrong, the engine has nothing
// to add.
bool IsPlainCode(int code) {
  constexpr std::array<int, 8> kPlain{-203, -108, -107, -106, -105, -104, -102, -101};
  return std::find(kPlain.begin(), kPlain.end(), code) != kPlain.end();
}

}  // namespace

void RaiseVdbError(const std::string& context, int code, VdbHandle session) {
  const std::string codeText = VdbErrorText(static_cast<VdbResult>(code));
  if (IsPlainCode(code)) throw EDatabaseError(context + ": " + codeText);
  int16_t lastCode = 0;
  std::array<VdbChar, 1024> message{};
  if (session > 0) VdbSessGetLastError(session, &lastCode, message.data(), 1023);
  if (lastCode == 0) throw EVeskorDBError(context + ": " + codeText, code, 0);
  const std::string lastMessage = vdbtext::Utf8(vdbtext::FromApi(message.data()));
  if (code == VDB_ERR_ENGINE) throw EVeskorDBError(context + ": " + lastMessage, code, lastCode);
  throw EVeskorDBError(context + ": " + codeText + ". " + lastMessage, code, lastCode);
}
