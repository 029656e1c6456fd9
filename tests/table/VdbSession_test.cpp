// The process-wide session list: handles are 1-based positions, freed positions are reused, the
// list holds 100 sessions at most, and it may be used from several threads at once.
#include "table/VdbSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace vdb;

class TTestSession : public TVdbSession {
 public:
  explicit TTestSession(std::atomic<int>* Uninitialized = nullptr, bool FailUninitialize = false)
      : FUninitialized(Uninitialized), FFail(FailUninitialize) {}
  bool GetIsOpen() override { return FOpen; }
  std::int16_t Initialize(std::int16_t SessionHdl) override {
    FHandle = SessionHdl;
    FConnectionId = VdbDrawStationNumber();
    return 0;
  }
  void Uninitialize() override {
    if (FUninitialized) ++*FUninitialized;
    if (FFail) throw std::runtime_error("cannot close");
  }
  void SetOpen(bool Value) { FOpen = Value; }
  std::int16_t Handle() const { return FHandle; }

 private:
  std::atomic<int>* FUninitialized;
  bool FFail;
  bool FOpen = false;
  std::int16_t FHandle = 0;
};

std::int16_t Add(TSessionList& List, std::atomic<int>* Uninitialized = nullptr) {
  std::unique_ptr<TVdbSession> S = std::make_unique<TTestSession>(Uninitialized);
  return List.AddSession(S);
}

TEST(SessionList, HandlesArePositionsAndAFreedPositionIsReused) {
  TSessionList List;
  std::atomic<int> Uninitialized{0};
  EXPECT_EQ(Add(List, &Uninitialized), 1);
  EXPECT_EQ(Add(List, &Uninitialized), 2);
  EXPECT_EQ(Add(List, &Uninitialized), 3);
  EXPECT_TRUE(List.DeleteSession(2));
  EXPECT_EQ(Uninitialized, 1);
  EXPECT_FALSE(List.ExistsSessionHdl(2));
  EXPECT_EQ(List.GetSession(2), nullptr);
  EXPECT_EQ(List.GetCount(), 2);
  EXPECT_EQ(Add(List), 2);
  EXPECT_EQ(Add(List), 4);
  EXPECT_FALSE(List.DeleteSession(2 + 40));
  for (std::int16_t Bad : {0, -1, 5, 101}) {
    EXPECT_FALSE(List.ExistsSessionHdl(Bad)) << Bad;
    EXPECT_FALSE(List.DeleteSession(Bad)) << Bad;
  }
}

TEST(SessionList, AHandleIsValidOnlyWhileItsSessionIsOpen) {
  TSessionList List;
  auto Owned = std::make_unique<TTestSession>();
  TTestSession* S = Owned.get();
  std::unique_ptr<TVdbSession> Base = std::move(Owned);
  const std::int16_t Hdl = List.AddSession(Base);
  EXPECT_EQ(Base, nullptr);  // the list owns it now
  EXPECT_EQ(S->GetConnectionId(), -1);
  EXPECT_EQ(S->Initialize(Hdl), 0);
  EXPECT_GE(S->GetConnectionId(), 1);
  EXPECT_LE(S->GetConnectionId(), 2147483646);
  EXPECT_TRUE(List.ExistsSessionHdl(Hdl));
  EXPECT_FALSE(List.ValidSessionHdl(Hdl));
  S->SetOpen(true);
  EXPECT_TRUE(List.ValidSessionHdl(Hdl));
  EXPECT_EQ(List.GetSession(Hdl), S);
}

TEST(SessionList, HoldsAHundredSessionsAndLeavesTheHundredAndFirstWithTheCaller) {
  TSessionList List;
  for (int I = 1; I <= kVdbMaxSessions; ++I) ASSERT_EQ(Add(List), I);
  std::unique_ptr<TVdbSession> Extra = std::make_unique<TTestSession>();
  EXPECT_EQ(List.AddSession(Extra), -1);
  EXPECT_NE(Extra, nullptr);
  ASSERT_TRUE(List.DeleteSession(100));
  EXPECT_EQ(List.AddSession(Extra), 100);
}

TEST(SessionList, AFailingUninitializeStillFreesThePosition) {
  TSessionList List;
  std::unique_ptr<TVdbSession> S = std::make_unique<TTestSession>(nullptr, true);
  const std::int16_t Hdl = List.AddSession(S);
  EXPECT_THROW(List.DeleteSession(Hdl), std::runtime_error);
  EXPECT_FALSE(List.ExistsSessionHdl(Hdl));
  EXPECT_EQ(List.GetCount(), 0);
}

// Closing a session may reach the list again (a session closing its cursors looks up handles).
class TCallingBackSession : public TTestSession {
 public:
  TCallingBackSession(TSessionList& List, int& CountSeen) : FList(List), FCountSeen(CountSeen) {}
  void Uninitialize() override { FCountSeen = FList.GetCount(); }

 private:
  TSessionList& FList;
  int& FCountSeen;
};

TEST(SessionList, UninitializeMayUseTheListAgain) {
  TSessionList List;
  int CountSeen = -1;
  std::unique_ptr<TVdbSession> S = std::make_unique<TCallingBackSession>(List, CountSeen);
  const std::int16_t Hdl = List.AddSession(S);
  Add(List);
  ASSERT_TRUE(List.DeleteSession(Hdl));
  EXPECT_EQ(CountSeen, 1);  // its position was free already
  EXPECT_EQ(List.GetCount(), 1);
}

TEST(SessionList, ThreadsGetDistinctHandles) {
  TSessionList List;
  std::vector<std::vector<std::int16_t>> Got(4);
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([&, T] {
      for (int I = 0; I < 25; ++I) {
        const std::int16_t Hdl = Add(List);
        Got[T].push_back(Hdl);
        if (I % 3 == 0) {
          List.DeleteSession(Hdl);
          Got[T].back() = 0;
        }
      }
    });
  for (auto& T : Threads) T.join();
  std::multiset<std::int16_t> Live;
  for (const auto& G : Got)
    for (std::int16_t Hdl : G)
      if (Hdl != 0) Live.insert(Hdl);
  EXPECT_EQ(static_cast<int>(Live.size()), List.GetCount());
  for (std::int16_t Hdl : Live) {
    EXPECT_EQ(Live.count(Hdl), 1u) << Hdl;
    EXPECT_TRUE(List.ExistsSessionHdl(Hdl));
  }
}

TEST(SessionList, OneListPerProcess) {
  EXPECT_EQ(&TSessionList::Instance(), &TSessionList::Instance());
}

TEST(SessionNames, DefaultIdentificationNames) {
  for (int I = 0; I < 50; ++I) {
    const std::string Name = VdbDefaultIdentificationName();
    ASSERT_EQ(Name.rfind("Conn", 0), 0u) << Name;
    const int Number = std::stoi(Name.substr(4));
    EXPECT_GE(Number, 1);
    EXPECT_LE(Number, 999);
  }
}

}  // namespace
