// The process the campaigns start, kill and judge by.
//
//   campaign_writer crash-init DB                 creates the crash campaign's tables
//   campaign_writer crash-write DB LOG SEED [N [die]]
//                                                 runs N transactions (default 100000) unless
//                                                 killed, appending each committed number to LOG
//                                                 (with fsync); "die": SIGKILL itself after them
//   campaign_writer crash-verify DB LOG SEED      the database holds exactly the transactions
//                                                 committed: the last logged one, or the one
//                                                 after it when the kill fell between commit and
//                                                 log; prints "ok N"
//   campaign_writer shared-init DB COUNTERS       the shared campaign's tables
//   campaign_writer shared-run DB ID SECONDS      one of the processes updating the shared table;
//                                                 prints "increments N inserts N deletes N waits N"
//   campaign_writer shared-verify DB INCREMENTS   the counters add up to INCREMENTS, every row of
//                                                 a process once; prints "ok ROWS"
//
// Exit status 0 when done (or verified), 1 when the verification found a difference, 3 on an
// engine failure (its message on standard error).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

#include "CampaignDb.h"

namespace campaign {
namespace {

using TArgs = std::vector<std::string>;

void CrashInit(const TArgs& A) {
  TDb Db(A[0]);
  for (const char* Sql : kCrashSchema) Db.Exec(Sql);
}

std::int32_t Done(TDb& Db) {
  const auto Rows = Db.Query("SELECT Done FROM Progress");
  if (Rows.size() != 1 || !Rows[0][0]) throw std::runtime_error("Progress holds no single row");
  return std::stoi(*Rows[0][0]);
}

// The model after the first Count transactions.
TCrashModel ModelAfter(std::uint32_t Seed, std::int32_t Count) {
  TCrashModel Model(Seed);
  for (std::int32_t N = 1; N <= Count; ++N) Model.Next(N);
  return Model;
}

void AppendLine(int File, const std::string& Line) {
  const std::string Text = Line + "\n";
  if (::write(File, Text.data(), Text.size()) != static_cast<ssize_t>(Text.size()) ||
      ::fsync(File) != 0)
    throw std::runtime_error("cannot write the commit log");
}

void CrashWrite(const TArgs& A) {
  const auto Seed = static_cast<std::uint32_t>(std::stoul(A[2]));
  TDb Db(A[0]);
  const std::int32_t Start = Done(Db);
  TCrashModel Model = ModelAfter(Seed, Start);
  const int Log = ::open(A[1].c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (Log < 0) throw std::runtime_error("cannot open " + A[1]);
  const std::int32_t Count = A.size() > 3 ? std::stoi(A[3]) : 100000;
  for (std::int32_t N = Start + 1; N <= Start + Count; ++N) {
    Db.Begin();
    for (const std::string& Sql : Model.Next(N)) Db.Exec(Sql);
    Db.Commit();
    AppendLine(Log, std::to_string(N));
  }
  // "die": the process ends as a kill would end it, right after its last commit.
  if (A.size() > 4 && A[4] == "die") ::kill(::getpid(), SIGKILL);
  ::close(Log);
}

std::int32_t LastLogged(const std::string& Path) {
  std::ifstream In(Path);
  std::int32_t Last = 0;
  for (std::string Line; std::getline(In, Line);)
    if (!Line.empty()) Last = std::stoi(Line);
  return Last;
}

std::string Show(const TRow& Row) {
  std::string Text;
  for (const auto& Field : Row) {
    const std::string Value = Field ? *Field : "NULL";
    Text += (Text.empty() ? "" : "|") + Value.substr(0, 24);
  }
  return Text;
}

int CrashVerify(const TArgs& A) {
  const auto Seed = static_cast<std::uint32_t>(std::stoul(A[2]));
  TDb Db(A[0]);
  const std::int32_t Logged = LastLogged(A[1]);
  const std::int32_t Count = Done(Db);
  if (Count != Logged && Count != Logged + 1) {
    std::cout << "the database holds " << Count << " transactions, " << Logged << " were committed\n";
    return 1;
  }
  const std::vector<TRow> Expected = ModelAfter(Seed, Count).Rows();
  const std::vector<TRow> Actual = Db.Query("SELECT Id, Val, Name, Note FROM Items ORDER BY Id");
  if (Actual != Expected) {
    std::cout << "after " << Count << " transactions: " << Actual.size() << " rows, expected "
              << Expected.size() << "\n";
    for (std::size_t I = 0; I < std::max(Actual.size(), Expected.size()); ++I) {
      const std::string Got = I < Actual.size() ? Show(Actual[I]) : "-";
      const std::string Want = I < Expected.size() ? Show(Expected[I]) : "-";
      if (Got != Want) std::cout << "  row " << I << ": " << Got << " expected " << Want << "\n";
    }
    return 1;
  }
  std::cout << "ok " << Count << "\n";
  return 0;
}

// --- Several processes on one shared table ---------------------------------------------------

void SharedInit(const TArgs& A) {
  TDb Db(A[0]);
  Db.Exec("CREATE TABLE Counters (Id INTEGER NOT NULL, Hits INTEGER, PRIMARY KEY (Id))");
  Db.Exec("CREATE TABLE Rows (Owner INTEGER, Seq INTEGER, Note LONGVARCHAR)");
  Db.Exec("CREATE INDEX ByOwner ON Rows (Owner, Seq)");
  for (int Id = 1; Id <= std::stoi(A[1]); ++Id)
    Db.Exec("INSERT INTO Counters VALUES (" + std::to_string(Id) + ", 0)");
}

// A change that meets a lock held by another process fails after the lock time-out; it is taken
// back whole and tried again, so each increment counts once.
template <class F>
bool Retrying(TDb& Db, std::int64_t& Waits, F&& Change) {
  for (int Try = 0; Try < 200; ++Try) {
    try {
      Db.Begin();
      Change();
      Db.Commit();
      return true;
    } catch (const std::runtime_error&) {
      Db.Cancel();
      ++Waits;
      std::this_thread::sleep_for(std::chrono::milliseconds(1 + Try % 7));
    }
  }
  return false;
}

int SharedRun(const TArgs& A) {
  TDb Db(A[0]);
  const int Id = std::stoi(A[1]);
  const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(
                                                            static_cast<int>(std::stod(A[2]) * 1000));
  std::mt19937 Random(static_cast<std::uint32_t>(Id) * 7919u);
  const auto Counters = Db.Query("SELECT Id FROM Counters").size();
  std::int64_t Increments = 0, Inserts = 0, Deletes = 0, Waits = 0;
  std::int32_t Seq = 0;
  std::set<std::int32_t> Mine;
  while (std::chrono::steady_clock::now() < Until) {
    const std::uint32_t Kind = Random() % 4;
    bool Done = false;
    if (Kind < 2) {
      const auto Counter = 1 + Random() % Counters;
      Done = Retrying(Db, Waits, [&] {
        if (Db.Exec("UPDATE Counters SET Hits = Hits + 1 WHERE Id = " + std::to_string(Counter)) != 1)
          throw std::logic_error("counter row missing");
      });
      if (Done) ++Increments;
    } else if (Kind == 2 || Mine.empty()) {
      const std::int32_t Next = ++Seq;
      Done = Retrying(Db, Waits, [&] {
        Db.Exec("INSERT INTO Rows VALUES (" + std::to_string(Id) + ", " + std::to_string(Next) +
                ", '" + std::string(Random() % 600, static_cast<char>('a' + Id)) + "')");
      });
      if (Done) {
        Mine.insert(Next);
        ++Inserts;
      }
    } else {
      const std::int32_t Gone = *Mine.begin();
      Done = Retrying(Db, Waits, [&] {
        if (Db.Exec("DELETE FROM Rows WHERE Owner = " + std::to_string(Id) + " AND Seq = " +
                    std::to_string(Gone)) != 1)
          throw std::logic_error("own row missing");
      });
      if (Done) {
        Mine.erase(Gone);
        ++Deletes;
      }
    }
    if (!Done) {
      std::cerr << "process " << Id << ": a change did not get through in 200 tries\n";
      return 1;
    }
  }
  // What this process leaves behind, for the verifier.
  std::cout << "increments " << Increments << " inserts " << Inserts << " deletes " << Deletes
            << " waits " << Waits << " rows";
  for (const std::int32_t S : Mine) std::cout << " " << S;
  std::cout << "\n";
  return 0;
}

// SharedVerify DB INCREMENTS OWNER:SEQ,SEQ,... for every process.
int SharedVerify(const TArgs& A) {
  TDb Db(A[0]);
  std::int64_t Sum = 0;
  for (const TRow& Row : Db.Query("SELECT Hits FROM Counters")) Sum += std::stoll(Row[0].value_or("0"));
  int Result = 0;
  if (Sum != std::stoll(A[1])) {
    std::cout << "the counters add up to " << Sum << ", " << A[1] << " increments were made\n";
    Result = 1;
  }
  std::multiset<std::string> Expected;
  for (std::size_t I = 2; I < A.size(); ++I) {
    const std::size_t Colon = A[I].find(':');
    const std::string Owner = A[I].substr(0, Colon);
    std::string Rest = A[I].substr(Colon + 1);
    for (std::size_t Pos = 0; Pos < Rest.size();) {
      const std::size_t End = std::min(Rest.find(',', Pos), Rest.size());
      Expected.insert(Owner + "/" + Rest.substr(Pos, End - Pos));
      Pos = End + 1;
    }
  }
  std::multiset<std::string> Actual;
  for (const TRow& Row : Db.Query("SELECT Owner, Seq FROM Rows"))
    Actual.insert(Row[0].value_or("NULL") + "/" + Row[1].value_or("NULL"));
  if (Actual != Expected) {
    std::cout << "the shared table holds " << Actual.size() << " rows, " << Expected.size()
              << " expected\n";
    Result = 1;
  }
  if (Result == 0) std::cout << "ok " << Actual.size() << "\n";
  return Result;
}

struct TMode {
  const char* Name;
  std::size_t MinArgs;
  int (*Run)(const TArgs&);
};

int Run(const char* Mode, const TArgs& A) {
  static const TMode kModes[] = {
      {"crash-init", 1, [](const TArgs& X) { CrashInit(X); return 0; }},
      {"crash-write", 3, [](const TArgs& X) { CrashWrite(X); return 0; }},
      {"crash-verify", 3, CrashVerify},
      {"shared-init", 2, [](const TArgs& X) { SharedInit(X); return 0; }},
      {"shared-run", 3, SharedRun},
      {"shared-verify", 2, SharedVerify},
  };
  for (const TMode& M : kModes)
    if (std::string(Mode) == M.Name && A.size() >= M.MinArgs) return M.Run(A);
  std::cerr << "usage: campaign_writer MODE ARGUMENTS (see the source)\n";
  return 2;
}

}  // namespace
}  // namespace campaign

int main(int argc, char** argv) {
  if (argc < 2) return campaign::Run("", {});
  try {
    return campaign::Run(argv[1], campaign::TArgs(argv + 2, argv + argc));
  } catch (const std::exception& Error) {
    std::cerr << argv[1] << ": " << Error.what() << "\n";
    return 3;
  }
}
