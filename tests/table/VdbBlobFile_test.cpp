// Memo and blob files through the page manager, as plain files and inside a container: value
// round trips, block reuse, flush/undo/update, sharing between clients, the consistency check
// and damaged files.
#include "table/VdbBlobFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "base/VdbLastError.h"
#include "storage/VdbPageManTestSupport.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxCompoundFileTestSupport.h"

namespace vdb::test {
namespace {

using TFile = TVdbBlockedBinaryFile;

enum class TKind { OSFiles, Container };

std::string KindName(const ::testing::TestParamInfo<TKind>& Info) {
  return Info.param == TKind::OSFiles ? "OSFiles" : "Container";
}

using vdbtest::TTempDir;

// Windows-1250 text of Length characters with line breaks (CR LF) now and then, like a lexicon
// article.
std::string Article(std::size_t Length, int Seed = 0) {
  static const std::string Words[] = {"vad", "agancs", "szarvas", "les", "hajt\xE1s", "\xF5z"};
  std::string Text;
  for (int I = 0; Text.size() < Length; ++I) {
    Text += Words[(I + Seed) % 6];
    Text += (I % 17 == 16) ? "\r\n" : " ";
  }
  Text.resize(Length);
  if (!Text.empty() && Text.back() == '\r') Text.back() = '.';
  return Text;
}

std::string Bytes(std::size_t Length, int Seed = 0) {
  std::string Data(Length, '\0');
  for (std::size_t I = 0; I < Length; ++I) Data[I] = static_cast<char>((I * 31 + Seed * 7) & 0xFF);
  return Data;
}

class BlobFileTest : public ::testing::TestWithParam<TKind> {
 protected:
  void SetUp() override {
    if (GetParam() == TKind::Container) {
      Container = std::make_unique<TkxCompoundFileIntf>(Dir.File("lex.vdbd"));
      Container->NewFile();
      Container->Open();
      Fs = Container.get();
      Prefix = "\\";
    } else {
      OSFiles = std::make_unique<TProbeFileSystem>(Dir.Path().string());
      Fs = OSFiles.get();
    }
  }

  void TearDown() override {
    Files.clear();
    if (Container) Container->Close();
  }

  std::unique_ptr<TVdbClientStorage> Client(const std::string& Name, std::int32_t ClientHdl = 1,
                                            TkxFileSystem* FileSystem = nullptr) {
    auto Storage =
        std::make_unique<TVdbClientStorage>(Manager, FileSystem ? FileSystem : Fs, ClientHdl);
    Storage->SetName(Prefix + Name);
    return Storage;
  }

  template <class T>
  T& Keep(std::unique_ptr<T> File) {
    T& Ref = *File;
    Files.push_back(std::move(File));
    return Ref;
  }

  TVdbMemoFile& NewMemo(const std::string& Name = "Data.vdbm") {
    auto& Memo = Keep(std::make_unique<TVdbMemoFile>(Client(Name)));
    Memo.NewFile();
    return Memo;
  }
  TVdbMemoFile& OpenMemo(const std::string& Name = "Data.vdbm", std::int32_t ClientHdl = 1,
                         bool ReadOnly = false) {
    auto& Memo = Keep(std::make_unique<TVdbMemoFile>(Client(Name, ClientHdl)));
    Memo.Open(ReadOnly, false);
    return Memo;
  }
  TVdbBlobFile& NewBlob(std::int32_t BlockSize = 512, const std::string& Name = "Data.vdbb") {
    auto& Blob = Keep(std::make_unique<TVdbBlobFile>(Client(Name), BlockSize));
    Blob.NewFile();
    return Blob;
  }
  TVdbBlobFile& OpenBlob(const std::string& Name = "Data.vdbb") {
    auto& Blob = Keep(std::make_unique<TVdbBlobFile>(Client(Name)));
    Blob.Open(false, false);
    return Blob;
  }

  // Raw access to the stored bytes through another client of the same storage; pokes are
  // flushed, so that they also reach a file nobody holds open.
  std::int32_t Peek(const std::string& Name, std::int64_t Pos) {
    auto Raw = Client(Name, 7);
    Raw->Open(false, false);
    const std::int32_t PageSize = Raw->GetPageSize();
    return Raw->ReadPage(static_cast<std::int32_t>(Pos / PageSize))
        ->ReadInt32(static_cast<std::int32_t>(Pos % PageSize));
  }
  void Poke(const std::string& Name, std::int64_t Pos, std::int32_t Value) {
    auto Raw = Client(Name, 7);
    Raw->Open(false, false);
    const std::int32_t PageSize = Raw->GetPageSize();
    Raw->ReadPage(static_cast<std::int32_t>(Pos / PageSize))
        ->WriteInt32(static_cast<std::int32_t>(Pos % PageSize), Value);
    Raw->Flush();
  }
  void PokeByte(const std::string& Name, std::int64_t Pos, std::uint8_t Value) {
    auto Raw = Client(Name, 7);
    Raw->Open(false, false);
    const std::int32_t PageSize = Raw->GetPageSize();
    Raw->ReadPage(static_cast<std::int32_t>(Pos / PageSize))
        ->WriteInt8(static_cast<std::int32_t>(Pos % PageSize), static_cast<std::int8_t>(Value));
    Raw->Flush();
  }
  static std::int64_t Block(std::int32_t BlockNo, std::int32_t Offset = 0,
                            std::int32_t BlockSize = 256) {
    return static_cast<std::int64_t>(BlockNo) * BlockSize + Offset;
  }

  // The blocks of the chain at First, followed by the next-block fields.
  std::vector<std::int32_t> Chain(TFile& File, std::int32_t First) {
    std::vector<std::int32_t> Next;
    std::int32_t Count = 0;
    std::int32_t FirstFree = 0;
    EXPECT_EQ(File.CreateBlockList(Next, Count, FirstFree), 0);
    std::vector<std::int32_t> Blocks;
    for (std::int32_t B = First; B >= 1 && B <= Count && Blocks.size() <= Next.size();
         B = Next[static_cast<std::size_t>(B)]) {
      Blocks.push_back(B);
    }
    return Blocks;
  }

  static std::string Read(TFile& File, std::int32_t BlockIdx) {
    std::string S = "not read";
    EXPECT_EQ(File.ReadString(BlockIdx, S), 0) << File.LastErrorMsg();
    return S;
  }

  TTempDir Dir;
  std::unique_ptr<TProbeFileSystem> OSFiles;
  std::unique_ptr<TkxCompoundFileIntf> Container;
  TkxFileSystem* Fs = nullptr;
  std::string Prefix;
  TVdbPageManager Manager;
  std::vector<std::unique_ptr<TFile>> Files;
};

INSTANTIATE_TEST_SUITE_P(Storages, BlobFileTest,
                         ::testing::Values(TKind::OSFiles, TKind::Container), KindName);

// --- Creating and opening ------------------------------------------------------------------------

TEST_P(BlobFileTest, NewMemoFileHoldsOnlyTheHeaderBlock) {
  auto& Memo = NewMemo();
  const TBlobBlock Header = Memo.Header();
  EXPECT_EQ(Header.NextBlock, 1);
  EXPECT_EQ(Header.LastBlock, 0);
  EXPECT_EQ(Header.BlockSize, 256);
  EXPECT_FALSE(Memo.Damaged());
  EXPECT_EQ(Memo.Storage().GetPageSize(), 256);
  EXPECT_EQ(Peek("Data.vdbm", 0), 1);
  EXPECT_EQ(Peek("Data.vdbm", 4), 0);
  EXPECT_EQ(Peek("Data.vdbm", 8), 256);
  for (int Pos = 12; Pos < 256; Pos += 4) EXPECT_EQ(Peek("Data.vdbm", Pos), 0) << Pos;
  EXPECT_EQ(Memo.TableName(), "Data");
}

TEST_P(BlobFileTest, MemoFilesUse256ByteBlocksWhateverTheHeaderSays) {
  NewMemo().Close();
  Poke("Data.vdbm", 8, 4096);
  auto& Memo = OpenMemo();
  EXPECT_EQ(Memo.BlockSize(), 256);
  EXPECT_FALSE(Memo.Damaged());
  const std::int32_t First = Memo.WriteString(0, Article(600));
  EXPECT_EQ(Read(Memo, First), Article(600));
}

TEST_P(BlobFileTest, BlobFilesTakeTheirBlockSizeFromTheHeader) {
  struct TCase {
    std::int32_t Stored;
    std::int32_t Expected;  // 0: damaged
  };
  const TCase Cases[] = {{1024, 1024}, {0, 4096}, {2048, 2048}, {-1, 0}, {65769, 0}, {4, 0}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Stored);
    const std::string Name = "b" + std::to_string(Files.size()) + ".vdbb";
    auto& Created = NewBlob(1024, Name);
    Created.Flush();
    Created.Close();
    Poke(Name, 8, Case.Stored);
    auto& Blob = OpenBlob(Name);
    if (Case.Expected == 0) {
      EXPECT_TRUE(Blob.Damaged());
      std::string S;
      EXPECT_EQ(Blob.ReadString(1, S), -113);
      EXPECT_EQ(Blob.WriteString(0, "x"), -113);
    } else {
      EXPECT_FALSE(Blob.Damaged());
      EXPECT_EQ(Blob.BlockSize(), Case.Expected);
      EXPECT_EQ(Blob.Storage().GetPageSize(), Case.Expected);
      const std::int32_t First = Blob.WriteString(0, Bytes(5000));
      ASSERT_GT(First, 0);
      EXPECT_EQ(Read(Blob, First), Bytes(5000));
    }
  }
}

TEST_P(BlobFileTest, NewBlobFileUsesTheGivenBlockSize) {
  auto& Blob = NewBlob(1024);
  EXPECT_EQ(Blob.BlockSize(), 1024);
  EXPECT_EQ(Peek("Data.vdbb", 8), 1024);
  EXPECT_THROW({ TVdbBlobFile Small(Client("x.vdbb"), 4); }, EVdbEngine);
  EXPECT_THROW({ TVdbBlobFile Large(Client("x.vdbb"), 70000); }, EVdbEngine);
}

TEST_P(BlobFileTest, OpeningAMissingFileRaisesThePageManagersError) {
  TVdbMemoFile Memo(Client("missing.vdbm"));
  EXPECT_THROW(Memo.Open(false, false), EVdbPMStorageNotFound);
  EXPECT_FALSE(Memo.IsOpen());
}

TEST_P(BlobFileTest, AFileShorterThanItsLastBlockIsDamagedAtOpening) {
  NewMemo().Close();
  Poke("Data.vdbm", 0, 1001);
  Poke("Data.vdbm", 4, 1000);  // the file holds one tile: 32 blocks
  auto& Memo = OpenMemo();
  EXPECT_TRUE(Memo.Damaged());
  EXPECT_EQ(Memo.WriteString(0, "text"), -113);
  EXPECT_EQ(Memo.LastErrorMsg(),
            "Blob storage of table \"Data\" is damaged. Try to repair the table");
}

// --- Memo values ---------------------------------------------------------------------------------

TEST_P(BlobFileTest, MemoTextsOfEveryLengthComeBackAsWritten) {
  struct TCase {
    std::size_t Length;
    std::int32_t Blocks;
  };
  // 252 characters fill a block exactly: the terminator takes a block of its own.
  const TCase Cases[] = {{1, 1}, {251, 1}, {252, 2}, {253, 2}, {504, 3}, {7272, 29}, {100000, 397}};
  auto& Memo = NewMemo();
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Length);
    std::string Plain(Case.Length, 'x');
    for (std::size_t I = 0; I < Plain.size(); ++I) Plain[I] = static_cast<char>('a' + I % 26);
    const std::int32_t Before = Memo.LastBlock();
    const std::int32_t First = Memo.WriteString(0, Plain);
    ASSERT_EQ(First, Before + 1);
    EXPECT_EQ(Memo.LastBlock() - Before, Case.Blocks);
    EXPECT_EQ(Chain(Memo, First).size(), static_cast<std::size_t>(Case.Blocks));
    EXPECT_EQ(Read(Memo, First), Plain);
    EXPECT_EQ(Memo.CalcMemoLength(First), static_cast<std::int32_t>(Case.Length));
  }
}

TEST_P(BlobFileTest, ATextOfExactlyOneBlockIsFollowedByATerminatorBlock) {
  auto& Memo = NewMemo();
  const std::int32_t First = Memo.WriteString(0, std::string(252, 'q'));
  ASSERT_EQ(First, 1);
  EXPECT_EQ(Peek("Data.vdbm", Block(1)), 2);
  EXPECT_EQ(Peek("Data.vdbm", Block(2)), -1);
  EXPECT_EQ(Peek("Data.vdbm", Block(2, 4)) & 0xFF, 0);
  EXPECT_EQ(Peek("Data.vdbm", 0), 3);
  EXPECT_EQ(Peek("Data.vdbm", 4), 2);
}

TEST_P(BlobFileTest, EmptyTextIsNotStoredAndFreesTheOldChain) {
  auto& Memo = NewMemo();
  EXPECT_EQ(Memo.WriteString(0, ""), 0);
  EXPECT_EQ(Memo.LastBlock(), 0);
  EXPECT_EQ(Read(Memo, 0), "");
  EXPECT_EQ(Memo.CalcMemoLength(0), 0);
  const std::int32_t First = Memo.WriteString(0, Article(600));
  ASSERT_EQ(First, 1);
  EXPECT_EQ(Memo.WriteString(First, ""), 0);
  EXPECT_EQ(Memo.NextBlock(), 1);  // the freed chain heads the free list
  EXPECT_EQ(Memo.WriteString(0, Article(600, 1)), 1);
  EXPECT_EQ(Memo.LastBlock(), 3);
}

TEST_P(BlobFileTest, LineBreaksAreStoredAsOneCarriageReturn) {
  auto& Memo = NewMemo();
  const std::int32_t First = Memo.WriteString(0, "a\r\nb\rc\nd\r\n\r\ne");
  ASSERT_GT(First, 0);
  std::string Stored;
  for (int I = 0; I < 12; ++I) {
    const std::int32_t Word = Peek("Data.vdbm", Block(First, 4 + I));
    Stored += static_cast<char>(Word & 0xFF);
  }
  EXPECT_EQ(Stored.substr(0, Stored.find('\0')), std::string("a\rb\rc\rd\r\re"));
  EXPECT_EQ(Read(Memo, First), "a\r\nb\r\nc\r\nd\r\n\r\ne");
  EXPECT_EQ(Memo.CalcMemoLength(First), 15);
  std::string S;
  EXPECT_EQ(Memo.ReadMemo(First, S, true, -1), 0);
  EXPECT_EQ(S, "a b c d  e");
  EXPECT_EQ(Memo.ReadMemo(First, S, false, 4), 0);
  EXPECT_EQ(S, "a\r\nb");
  EXPECT_EQ(Memo.ReadMemo(First, S, false, 2), 0);
  EXPECT_EQ(S, "a\r");
  EXPECT_EQ(Memo.ReadMemo(First, S, false, 0), 0);
  EXPECT_EQ(S, "");
}

TEST_P(BlobFileTest, AStoredLineFeedReadsAsASpaceAndCtrlZEndsTheText) {
  auto& Memo = NewMemo();
  const std::int32_t First = Memo.WriteString(0, "abcdef");
  PokeByte("Data.vdbm", Block(First, 5), 10);
  PokeByte("Data.vdbm", Block(First, 8), 26);
  EXPECT_EQ(Read(Memo, First), "a cd");
  EXPECT_EQ(Memo.CalcMemoLength(First), 4);
}

// Texts are scanned a word at a time for the bytes that end or change them: every other byte,
// control characters and Windows-1250 letters alike, must come back at every place of a block,
// at the ends of the scanned words and across the step to the next block; a CR there must still
// come back as CR LF.
TEST_P(BlobFileTest, EveryCharacterComesBackAtEveryPlaceOfABlock) {
  const std::uint8_t Chars[] = {1, 9, 11, 12, 13, 14, 25, 27, 31, 0x7F, 0x80, 0x9A, 0xE1, 0xFF};
  const std::size_t Places[] = {0, 1, 6, 7, 8, 15, 16, 243, 244, 247, 248, 250, 251, 252, 253, 503};
  auto& Memo = NewMemo();
  for (const std::uint8_t Char : Chars) {
    for (const std::size_t Place : Places) {
      SCOPED_TRACE(testing::Message() << "char " << int{Char} << " at " << Place);
      std::string Text(600, 'b');
      Text[Place] = static_cast<char>(Char);
      std::string Expected = Text;
      if (Char == 13) Expected.insert(Place + 1, "\n");
      const std::int32_t First = Memo.WriteString(0, Text);
      ASSERT_GT(First, 0) << Memo.LastErrorMsg();
      EXPECT_EQ(Read(Memo, First), Expected);
      EXPECT_EQ(Memo.CalcMemoLength(First), static_cast<std::int32_t>(Expected.size()));
      std::string Cut;
      EXPECT_EQ(Memo.ReadMemo(First, Cut, true, static_cast<std::int32_t>(Place) + 1), 0);
      EXPECT_EQ(Cut, Text.substr(0, Place) + (Char == 13 ? ' ' : static_cast<char>(Char)));
      ASSERT_EQ(Memo.DeleteValue(First), 0);
    }
  }
}

// A limit that falls inside a run of plain characters, at a block's end or on a CR LF.
TEST_P(BlobFileTest, ALimitCutsTheTextWhereverItFalls) {
  auto& Memo = NewMemo();
  std::string Text(700, 'c');
  Text[251] = '\r';  // the last character of the first block
  const std::int32_t First = Memo.WriteString(0, Text);
  ASSERT_GT(First, 0);
  std::string Full = Text;
  Full.insert(252, "\n");
  for (const std::int32_t Limit : {1, 8, 250, 251, 252, 253, 254, 300, 504, 701, 702, 5000}) {
    SCOPED_TRACE(Limit);
    std::string S;
    EXPECT_EQ(Memo.ReadMemo(First, S, false, Limit), 0);
    EXPECT_EQ(S, Full.substr(0, static_cast<std::size_t>(Limit)));
  }
}

// The marks of a walk that found a loop are cleared: the chain reads again once it is mended,
// and a loop deep in a long chain is found as well as one at its start.
TEST_P(BlobFileTest, AChainMendedAfterALoopReadsAgain) {
  auto& Memo = NewMemo();
  const std::string Text = Article(2000);  // blocks 1-8
  const std::int32_t First = Memo.WriteString(0, Text);
  ASSERT_EQ(First, 1);
  const std::int32_t Link = Peek("Data.vdbm", Block(7));
  for (const std::int32_t Back : {6, 3, 1}) {
    SCOPED_TRACE(Back);
    Poke("Data.vdbm", Block(7), Back);
    std::string S;
    EXPECT_EQ(Memo.ReadString(First, S), -112);
    EXPECT_EQ(Memo.CalcMemoLength(First), -112);
    Poke("Data.vdbm", Block(7), Link);
    Memo.SetDamaged(false);
    EXPECT_EQ(Read(Memo, First), Text);
    EXPECT_EQ(Memo.CalcMemoLength(First), static_cast<std::int32_t>(Text.size()));
  }
}

TEST_P(BlobFileTest, TheTopFourBitsOfAMemoLinkAreIgnored) {
  auto& Memo = NewMemo();
  const std::string Text = Article(600);
  const std::int32_t First = Memo.WriteString(0, Text);
  Poke("Data.vdbm", Block(First), Peek("Data.vdbm", Block(First)) | 0x70000000);
  EXPECT_EQ(Read(Memo, First), Text);
}

TEST_P(BlobFileTest, MemoTextsHoldingATerminatorCharacterAreRefused) {
  auto& Memo = NewMemo();
  const std::int32_t First = Memo.WriteString(0, "kept");
  EXPECT_EQ(Memo.WriteString(First, std::string("a\0b", 3)), -45);
  EXPECT_EQ(Memo.LastErrorMsg(), "The character \"#0\" is not allowed here");
  EXPECT_EQ(Memo.WriteString(First,
                             "a\x1a"
                             "b"),
            -45);
  EXPECT_EQ(Read(Memo, First), "kept");
  EXPECT_FALSE(Memo.Damaged());
}

TEST_P(BlobFileTest, RewritingReusesFreedBlocksAndTheFileDoesNotGrow) {
  auto& Memo = NewMemo();
  const std::int32_t Other = Memo.WriteString(0, Article(300, 9));  // blocks 1-2
  std::int32_t First = Memo.WriteString(0, Article(3000));          // blocks 3-14
  ASSERT_EQ(First, 3);
  const std::int32_t Grown = Memo.LastBlock();
  First = Memo.WriteString(First, "short");
  EXPECT_EQ(First, 3);  // the first freed block
  EXPECT_EQ(Memo.LastBlock(), Grown);
  for (int Round = 0; Round < 50; ++Round) {
    First = Memo.WriteString(First, Article(Round % 2 ? 400 : 3000, Round));
    ASSERT_GT(First, 0);
    EXPECT_EQ(Read(Memo, First), Article(Round % 2 ? 400 : 3000, Round));
  }
  EXPECT_EQ(Memo.LastBlock(), Grown);
  EXPECT_EQ(Read(Memo, Other), Article(300, 9));
  EXPECT_EQ(Memo.Check(), 0);
}

TEST_P(BlobFileTest, ShorterTextTakesTheFreedBlocksBeforeAppending) {
  auto& Memo = NewMemo();
  const std::int32_t Long = Memo.WriteString(0, Article(1000));        // 4 blocks: 1-4
  const std::int32_t Short = Memo.WriteString(Long, Article(600, 1));  // 3 blocks
  EXPECT_EQ(Chain(Memo, Short), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(Memo.NextBlock(), 4);
  EXPECT_EQ(Memo.LastBlock(), 4);
  // Freed 1-3 and 4 on the list; a longer text uses all four, then appends.
  const std::int32_t Longer = Memo.WriteString(Short, Article(1500, 2));
  EXPECT_EQ(Chain(Memo, Longer), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Read(Memo, Longer), Article(1500, 2));
}

TEST_P(BlobFileTest, ReopeningAfterFlushShowsTheSameContent) {
  std::vector<std::pair<std::int32_t, std::string>> Values;
  {
    auto& Memo = NewMemo();
    for (int I = 0; I < 40; ++I) {
      const std::string Text = Article(static_cast<std::size_t>(I * 187 % 7272 + 1), I);
      Values.emplace_back(Memo.WriteString(0, Text), Text);
    }
    Values[5].first = Memo.WriteString(Values[5].first, "rewritten");
    Values[5].second = "rewritten";
    Memo.Flush();
    Memo.Close();
  }
  auto& Memo = OpenMemo();
  EXPECT_FALSE(Memo.Damaged());
  for (const auto& [First, Text] : Values) EXPECT_EQ(Read(Memo, First), Text);
  EXPECT_EQ(Memo.Check(), 0);
}

TEST_P(BlobFileTest, UndoDropsTheChangesSinceTheLastFlush) {
  auto& Memo = NewMemo();
  const std::int32_t Kept = Memo.WriteString(0, Article(1000));
  Memo.Flush();
  const std::int32_t Last = Memo.LastBlock();
  const std::int32_t Rewritten = Memo.WriteString(Kept, Article(2000, 5));
  const std::int32_t Added = Memo.WriteString(0, Article(700, 6));
  ASSERT_GT(Added, 0);
  ASSERT_GT(Rewritten, 0);
  Memo.Undo();
  EXPECT_EQ(Memo.LastBlock(), Last);
  EXPECT_EQ(Memo.NextBlock(), Last + 1);
  EXPECT_EQ(Read(Memo, Kept), Article(1000));
  // The file goes on from the flushed state.
  EXPECT_EQ(Memo.WriteString(0, "after"), Last + 1);
  EXPECT_EQ(Memo.Check(), 0);
}

TEST_P(BlobFileTest, UndoRightAfterCreatingKeepsASoundFile) {
  auto& Memo = NewMemo();
  Memo.WriteString(0, Article(900));
  Memo.Undo();
  EXPECT_FALSE(Memo.Damaged());
  EXPECT_EQ(Memo.LastBlock(), 0);
  EXPECT_EQ(Memo.WriteString(0, "x"), 1);
}

TEST_P(BlobFileTest, EmptyResetsTheFileToABareHeader) {
  auto& Memo = NewMemo();
  for (int I = 0; I < 200; ++I) Memo.WriteString(0, Article(1000, I));
  Memo.Flush();
  Memo.SetDamaged(true);
  Memo.Empty();
  Memo.Flush();
  EXPECT_FALSE(Memo.Damaged());
  EXPECT_EQ(Memo.NextBlock(), 1);
  EXPECT_EQ(Memo.LastBlock(), 0);
  EXPECT_EQ(Memo.GetFileSize(), kTile);
  EXPECT_EQ(Peek("Data.vdbm", 0), 1);
  EXPECT_EQ(Peek("Data.vdbm", 4), 0);
  EXPECT_EQ(Memo.WriteString(0, "again"), 1);
}

TEST_P(BlobFileTest, CopyFromWritesTheValueAsANewOne) {
  auto& Source = NewMemo("a.vdbm");
  auto& Target = NewMemo("b.vdbm");
  Target.WriteString(0, "occupies block 1");
  const std::string Text = "line one\r\nline two " + Article(900);
  const std::int32_t From = Source.WriteString(0, Text);
  const std::int32_t To = Target.CopyFrom(Source, From);
  EXPECT_EQ(To, 2);
  EXPECT_EQ(Read(Target, To), Text);
  EXPECT_EQ(Target.CopyFrom(Source, 0), 0);
  EXPECT_EQ(Target.CopyFrom(Source, 5000), -112);
  EXPECT_EQ(Target.LastErrorCode(), 112);
  EXPECT_EQ(Target.LastErrorMsg(),
            "Memo storage of tables \"a\" is damaged. Try to repair the table");
}

TEST_P(BlobFileTest, EncryptedDataBlocksAreStoredThroughTheCipher) {
  auto Cipher = std::make_shared<TXorCipher>(0x5A);
  auto& Memo = Keep(std::make_unique<TVdbMemoFile>(Client("Data.vdbm")));
  Memo.SetEncryption(Cipher);
  Memo.NewFile();
  const std::int32_t First = Memo.WriteString(0, "abcd");
  EXPECT_EQ(Peek("Data.vdbm", 0), 2);  // the header stays plain
  EXPECT_EQ(Peek("Data.vdbm", Block(First)), -1 ^ 0x5A5A5A5A);
  EXPECT_EQ(Peek("Data.vdbm", Block(First, 4)), 0x64636261 ^ 0x5A5A5A5A);
  EXPECT_EQ(Read(Memo, First), "abcd");
  Memo.Flush();
  Memo.Close();
  auto& Again = Keep(std::make_unique<TVdbMemoFile>(Client("Data.vdbm")));
  Again.SetEncryption(Cipher);
  Again.Open(false, false);
  EXPECT_EQ(Read(Again, First), "abcd");
  EXPECT_EQ(Again.Check(), 0);
}

// Short texts first, long ones written over some of them later: every record's text keeps the
// block of its number and the file ends up without a free block, as the lexicon's memo file.
TEST_P(BlobFileTest, RewritingOneBlockTextsWithLongOnesKeepsTheirFirstBlocks) {
  constexpr std::int32_t kRecords = 2374;
  auto& Memo = NewMemo();
  for (std::int32_t Record = 1; Record <= kRecords; ++Record) {
    ASSERT_EQ(Memo.WriteString(0, "entry " + std::to_string(Record)), Record);
  }
  std::vector<std::string> Texts(kRecords + 1);
  for (std::int32_t Record = 1; Record <= kRecords; ++Record) {
    Texts[static_cast<std::size_t>(Record)] = "entry " + std::to_string(Record);
  }
  for (std::int32_t Record = 17; Record <= kRecords; Record += 17) {
    const std::string Long = Article(static_cast<std::size_t>(300 + Record * 3 % 6972), Record);
    ASSERT_EQ(Memo.WriteString(Record, Long), Record);
    Texts[static_cast<std::size_t>(Record)] = Long;
  }
  EXPECT_EQ(Memo.NextBlock(), Memo.LastBlock() + 1);
  Memo.Flush();
  Memo.Close();
  auto& Again = OpenMemo();
  EXPECT_EQ(Again.NextBlock(), Again.LastBlock() + 1);
  for (std::int32_t Record = 1; Record <= kRecords; ++Record) {
    ASSERT_EQ(Read(Again, Record), Texts[static_cast<std::size_t>(Record)]) << Record;
  }
  EXPECT_EQ(Again.Check(), 0);
}

TEST_P(BlobFileTest, AssignCopiesCipherBlockSizeAndDamage) {
  auto Cipher = std::make_shared<TXorCipher>(0x33);
  auto& Source = Keep(std::make_unique<TVdbBlobFile>(Client("a.vdbb"), 2048));
  Source.SetEncryption(Cipher);
  Source.SetDamaged(true);
  auto& Copy = Keep(std::make_unique<TVdbBlobFile>(Client("b.vdbb")));
  Copy.Assign(Source);
  EXPECT_EQ(Copy.BlockSize(), 2048);
  EXPECT_TRUE(Copy.Damaged());
  EXPECT_FALSE(Copy.FixedBlockSize());
  Copy.NewFile();
  EXPECT_FALSE(Copy.Damaged());  // a new file is sound
  const std::int32_t First = Copy.WriteString(0, "secret");
  EXPECT_EQ(Peek("b.vdbb", Block(First, 8, 2048)) & 0xFF, 's' ^ 0x33);
  EXPECT_EQ(Read(Copy, First), "secret");
}

TEST_P(BlobFileTest, CopyFromCarriesBlobBytesUnchanged) {
  auto& Source = NewBlob(512, "a.vdbb");
  auto& Target = NewBlob(1024, "b.vdbb");
  const std::string Data = Bytes(3000, 4) + std::string("\0\r\n\x1a", 4);
  const std::int32_t From = Source.WriteString(0, Data);
  const std::int32_t To = Target.CopyFrom(Source, From);
  ASSERT_GT(To, 0);
  EXPECT_EQ(Read(Target, To), Data);
  EXPECT_EQ(Target.CalcBlobLength(To), 3004);
}

// --- Sharing -------------------------------------------------------------------------------------

TEST_P(BlobFileTest, TwoClientsOfOneStorageSeeEachOthersChanges) {
  auto& A = NewMemo();
  A.Flush();
  auto& B = OpenMemo("Data.vdbm", 2);
  ASSERT_EQ(A.Storage().StorageHdl(), B.Storage().StorageHdl());
  const std::int32_t First = A.WriteString(0, Article(800));
  // Unflushed pages are shared; B follows A's header.
  EXPECT_EQ(Read(B, First), Article(800));
  const std::int32_t Second = B.WriteString(0, Article(300, 1));
  EXPECT_EQ(Second, First + 4);
  EXPECT_EQ(A.WriteString(First, ""), 0);
  EXPECT_EQ(B.WriteString(0, "reuses"), First);
  EXPECT_EQ(Read(A, First), "reuses");
  EXPECT_EQ(A.Check(), 0);
}

TEST(BlobFileSeparateStorages, AnotherStorageSeesFlushedChangesAfterUpdate) {
  TTempDir Dir;
  TVdbPageManager Manager;
  TkxOSFileSystem FsA(Dir.Path().string());
  TkxOSFileSystem FsB(Dir.Path().string());
  auto StorageOf = [&](TkxFileSystem& Fs, std::int32_t Hdl) {
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, &Fs, Hdl);
    Storage->SetName("Data.vdbm");
    return Storage;
  };
  {
    // A new file is held exclusively until it is closed.
    TVdbMemoFile Created(StorageOf(FsA, 1));
    Created.NewFile();
  }
  TVdbMemoFile A(StorageOf(FsA, 1));
  A.Open(false, false);
  const std::int32_t First = A.WriteString(0, Article(900));
  A.Flush();
  TVdbMemoFile B(StorageOf(FsB, 2));
  B.Open(false, false);
  ASSERT_NE(A.Storage().StorageHdl(), B.Storage().StorageHdl());
  std::string S;
  ASSERT_EQ(B.ReadString(First, S), 0);
  EXPECT_EQ(S, Article(900));

  ASSERT_EQ(A.WriteString(First, "changed"), First);
  const std::int32_t Added = A.WriteString(0, Article(500, 3));
  EXPECT_EQ(B.ReadString(First, S), 0);
  EXPECT_EQ(S, Article(900));  // not flushed: B still reads the file as it was
  A.Flush();
  EXPECT_EQ(B.ReadString(First, S), 0);
  EXPECT_EQ(S, Article(900));  // B's cached pages stay until it updates
  B.Update();
  EXPECT_EQ(B.ReadString(First, S), 0);
  EXPECT_EQ(S, "changed");
  EXPECT_EQ(B.ReadString(Added, S), 0);
  EXPECT_EQ(S, Article(500, 3));
  EXPECT_EQ(B.LastBlock(), A.LastBlock());
}

TEST_P(BlobFileTest, AReadOnlyFileRefusesWrites) {
  auto& Created = NewMemo();
  const std::int32_t First = Created.WriteString(0, "text");
  Created.Flush();
  Created.Close();
  auto& Memo = OpenMemo("Data.vdbm", 1, true);
  EXPECT_EQ(Read(Memo, First), "text");
  EXPECT_EQ(Memo.WriteString(First, "other"), -115);
  EXPECT_EQ(Read(Memo, First), "text");
}

TEST_P(BlobFileTest, FailuresAreRecordedAsTheSessionsLastError) {
  TVdbLastError LastError;
  auto& Memo = NewMemo();
  Memo.SetLastErrorTarget(&LastError);
  Memo.SetTableName("Lexikon");
  std::string S;
  EXPECT_EQ(Memo.ReadString(9, S), -112);
  EXPECT_EQ(LastError.LastErrorCode(), 112);
  EXPECT_EQ(LastError.LastErrorMsg(),
            "Memo storage of tables \"Lexikon\" is damaged. Try to repair the table");
}

// --- Blob values ---------------------------------------------------------------------------------

TEST_P(BlobFileTest, BlobValuesOfEveryLengthComeBackAsWritten) {
  struct TCase {
    std::size_t Size;
    std::int32_t Blocks;
  };
  // 512-byte blocks: 504 data bytes in the first, 508 in every further one.
  const TCase Cases[] = {{0, 1}, {1, 1}, {504, 1}, {505, 2}, {1012, 2}, {1013, 3}, {200000, 394}};
  auto& Blob = NewBlob();
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Size);
    const std::int32_t Before = Blob.LastBlock();
    const std::int32_t First = Blob.WriteString(0, Bytes(Case.Size, 1));
    ASSERT_EQ(First, Before + 1);
    EXPECT_EQ(Blob.LastBlock() - Before, Case.Blocks);
    EXPECT_EQ(Blob.BlocksFor(static_cast<std::int64_t>(Case.Size)), Case.Blocks);
    EXPECT_EQ(Peek("Data.vdbb", Block(First, 4, 512)), static_cast<std::int32_t>(Case.Size));
    EXPECT_EQ(Read(Blob, First), Bytes(Case.Size, 1));
    EXPECT_EQ(Blob.CalcBlobLength(First), static_cast<std::int32_t>(Case.Size));
  }
}

TEST_P(BlobFileTest, BlobTypeIsTheFirstTwoDataBytes) {
  auto& Blob = NewBlob();
  const std::int32_t Empty = Blob.WriteData(0, nullptr, 0);
  EXPECT_GT(Empty, 0);
  EXPECT_EQ(Peek("Data.vdbb", Block(Empty, 4, 512)), 0);
  EXPECT_EQ(Blob.ReadBlobType(Empty), 0);
  EXPECT_EQ(Read(Blob, Empty), "");
  const std::int32_t One = Blob.WriteString(0, "\x07");
  EXPECT_EQ(Blob.ReadBlobType(One), 0);
  const std::int32_t Typed = Blob.WriteString(0, std::string("\x01\x80rest", 6));
  EXPECT_EQ(Blob.ReadBlobType(Typed), 0x8001);
  EXPECT_EQ(Blob.ReadBlobType(0), 0);
  EXPECT_EQ(Blob.CalcBlobLength(0), 0);
}

TEST_P(BlobFileTest, BlobRewriteReusesBlocksAndSurvivesReopening) {
  std::int32_t First;
  std::int32_t Grown;
  {
    auto& Blob = NewBlob(1024);
    First = Blob.WriteString(0, Bytes(10000));
    Grown = Blob.LastBlock();
    for (int Round = 0; Round < 20; ++Round) {
      First = Blob.WriteString(First, Bytes(Round % 2 ? 100 : 10000, Round));
    }
    EXPECT_EQ(Blob.LastBlock(), Grown);
    Blob.Flush();
    Blob.Close();
  }
  auto& Blob = OpenBlob();
  EXPECT_EQ(Blob.BlockSize(), 1024);
  EXPECT_EQ(Read(Blob, First), Bytes(100, 19));
  EXPECT_EQ(Blob.Check(), 0);
}

TEST_P(BlobFileTest, DeletingAValueFreesEveryBlockOfIt) {
  auto& Blob = NewBlob(1024);
  const std::int32_t First = Blob.WriteString(0, Bytes(5000));  // blocks 1-5
  const std::int32_t Grown = Blob.LastBlock();
  EXPECT_EQ(Blob.DeleteValue(First), 0);
  EXPECT_EQ(Blob.NextBlock(), First);  // the whole chain heads the free list
  EXPECT_EQ(Blob.DeleteValue(0), 0);   // no value: nothing to do
  // The same value again fits into the freed blocks: nothing was kept back.
  const std::int32_t Again = Blob.WriteString(0, Bytes(5000, 1));
  EXPECT_EQ(Blob.LastBlock(), Grown);
  EXPECT_EQ(Read(Blob, Again), Bytes(5000, 1));
  EXPECT_EQ(Blob.Check(), 0);

  auto& Memo = NewMemo();
  const std::int32_t Text = Memo.WriteString(0, Article(600));
  EXPECT_EQ(Memo.DeleteValue(Text), 0);
  EXPECT_EQ(Memo.WriteString(0, Article(600, 1)), Text);
  EXPECT_EQ(Memo.LastBlock(), 3);
}

TEST_P(BlobFileTest, DeletingADamagedChainChangesNothing) {
  auto& Memo = NewMemo();
  const std::int32_t First = Memo.WriteString(0, Article(700));  // 1-3
  Poke("Data.vdbm", Block(3), 1);                               // a circle
  EXPECT_EQ(Memo.DeleteValue(First), -112);
  EXPECT_EQ(Memo.LastBlock(), 3);
  EXPECT_EQ(Peek("Data.vdbm", 0), 4);
}

// --- Damaged files -------------------------------------------------------------------------------

TEST_P(BlobFileTest, MemoChainsThatLeaveTheFileOrLoopAreDamage) {
  struct TCase {
    const char* What;
    std::int32_t Link;  // written into the first block's next field; 0: start elsewhere
    std::int32_t Start;
  };
  const TCase Cases[] = {{"next beyond the last block", 20, 0},
                         {"next is the header", 0, 0},
                         {"next is negative", -7, 0},
                         {"chain runs back to its start", 1, 0},
                         {"first block beyond the file", 0, 5000},
                         {"first block negative", 0, -3}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Name = "m" + std::to_string(Files.size()) + ".vdbm";
    auto& Memo = NewMemo(Name);
    const std::int32_t First = Memo.WriteString(0, Article(700));  // blocks 1-3
    const std::int32_t Other = Memo.WriteString(0, "other value");
    const std::int32_t Start = Case.Start != 0 ? Case.Start : First;
    if (Case.Start == 0) Poke(Name, Block(2), Case.Link);
    std::string S = "x";
    EXPECT_EQ(Memo.ReadString(Start, S), -112);
    EXPECT_EQ(S, "");
    EXPECT_TRUE(Memo.Damaged());
    Memo.SetDamaged(false);
    EXPECT_EQ(Memo.CalcMemoLength(Start), -112);
    EXPECT_TRUE(Memo.Damaged());
    EXPECT_EQ(Memo.WriteString(0, "refused"), -113);
    EXPECT_EQ(Read(Memo, Other), "other value");
  }
}

TEST_P(BlobFileTest, FreeingADamagedChainChangesNothing) {
  auto& Memo = NewMemo();
  const std::int32_t First = Memo.WriteString(0, Article(700));     // 1-3
  const std::int32_t Other = Memo.WriteString(0, Article(300, 4));  // 4-5
  Poke("Data.vdbm", Block(3), 4);  // the chain runs into the other value and ends with it
  Poke("Data.vdbm", Block(5), 1);  // ... which runs back: a circle
  EXPECT_EQ(Memo.WriteString(First, "new"), -112);
  // Both texts end with their terminators, so they still read in full.
  EXPECT_EQ(Read(Memo, First), Article(700));
  EXPECT_EQ(Read(Memo, Other), Article(300, 4));
  EXPECT_TRUE(Memo.Damaged());
  EXPECT_EQ(Memo.NextBlock(), 6);
  EXPECT_EQ(Memo.LastBlock(), 5);
  EXPECT_EQ(Peek("Data.vdbm", 0), 6);
}

TEST_P(BlobFileTest, ABrokenFreeListIsReportedBeforeAnythingChanges) {
  struct TCase {
    const char* What;
    std::int32_t Head;  // first free block in the header
    std::int32_t Link;  // next field written into block 3 (a free block)
  };
  // Blocks 1-2: kept value; 3-4 freed; 5-6: another kept value.
  const TCase Cases[] = {
      {"free list points into a used chain", 3, 5}, {"free list runs in a circle", 3, 3},
      {"free list leaves the file", 3, 99},         {"free list ends with -1", 3, -1},
      {"first free block is the header", 0, 4},     {"head is a used block", 1, 4}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Name = "f" + std::to_string(Files.size()) + ".vdbm";
    auto& Memo = NewMemo(Name);
    const std::int32_t Kept = Memo.WriteString(0, Article(300));
    const std::int32_t Freed = Memo.WriteString(0, Article(300, 1));
    const std::int32_t Other = Memo.WriteString(0, Article(300, 2));
    ASSERT_EQ(Memo.WriteString(Freed, ""), 0);
    ASSERT_EQ(Memo.NextBlock(), 3);
    Poke(Name, Block(3), Case.Link);
    Poke(Name, 0, Case.Head);
    Memo.Update();  // the file was changed behind this object's back
    EXPECT_EQ(Memo.WriteString(0, Article(600, 3)), -113);
    EXPECT_TRUE(Memo.Damaged());
    EXPECT_EQ(Read(Memo, Kept), Article(300));
    EXPECT_EQ(Read(Memo, Other), Article(300, 2));
    EXPECT_EQ(Peek(Name, 4), 6);  // nothing appended
  }
}

TEST_P(BlobFileTest, AFreeListChangedBehindTheFilesBackIsCaughtWhileAllocating) {
  auto& Memo = NewMemo();
  const std::int32_t Freed = Memo.WriteString(0, Article(300));     // 1-2
  const std::int32_t Other = Memo.WriteString(0, Article(300, 1));  // 3-4
  ASSERT_EQ(Memo.WriteString(Freed, ""), 0);
  ASSERT_EQ(Memo.WriteString(0, "x"), 1);  // the free list is checked and kept: 2 -> 5
  Poke("Data.vdbm", Block(2), 3);          // now it runs into the other value
  EXPECT_EQ(Memo.WriteString(0, Article(600, 2)), -113);
  EXPECT_TRUE(Memo.Damaged());
  EXPECT_EQ(Read(Memo, Other), Article(300, 1));
  EXPECT_EQ(Read(Memo, 1), "x");
}

TEST_P(BlobFileTest, BlockNumbersAboveTwentyEightBitsAreRefused) {
  auto& Memo = NewMemo();
  const std::int32_t Kept = Memo.WriteString(0, Article(600));
  Poke("Data.vdbm", 0, 0x10000000);  // no free block, and no room after the last one
  EXPECT_EQ(Memo.WriteString(0, "new"), -156);
  EXPECT_EQ(Memo.LastErrorMsg(), "Memo/blob storage of table \"Data\" exceeds maximum size");
  // Replacing a value by one that fits into its own blocks still works; a longer one does not,
  // and then the old value stays.
  EXPECT_EQ(Memo.WriteString(Kept, Article(1000, 1)), -156);
  EXPECT_EQ(Read(Memo, Kept), Article(600));
  const std::int32_t Shorter = Memo.WriteString(Kept, "fits");
  EXPECT_EQ(Shorter, Kept);
  EXPECT_EQ(Read(Memo, Shorter), "fits");
  EXPECT_FALSE(Memo.Damaged());
}

TEST_P(BlobFileTest, BlobLengthsThatDisagreeWithTheChainAreDamage) {
  struct TCase {
    const char* What;
    std::int64_t Pos;
    std::int32_t Value;
  };
  // A 1200-byte value in blocks 1-3 (512-byte blocks); block 4 holds another value.
  const TCase Cases[] = {{"negative size", Block(1, 4, 512), -5},
                         {"size beyond the file", Block(1, 4, 512), 0x7FFFFFF0},
                         {"size needs more blocks than the chain", Block(1, 4, 512), 1600},
                         {"chain shorter than the size", Block(2, 0, 512), -1},
                         {"chain longer than the size", Block(3, 0, 512), 4},
                         {"chain leaves the file", Block(2, 0, 512), 77},
                         {"chain runs back", Block(2, 0, 512), 1}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Name = "b" + std::to_string(Files.size()) + ".vdbb";
    auto& Blob = NewBlob(512, Name);
    const std::int32_t First = Blob.WriteString(0, Bytes(1200));
    const std::int32_t Other = Blob.WriteString(0, Bytes(20, 2));
    ASSERT_EQ(First, 1);
    ASSERT_EQ(Other, 4);
    Poke(Name, Case.Pos, Case.Value);
    std::string S = "x";
    EXPECT_EQ(Blob.ReadString(First, S), -113);
    EXPECT_EQ(S, "");
    EXPECT_TRUE(Blob.Damaged());
    EXPECT_EQ(Blob.WriteString(0, "refused"), -113);
    EXPECT_EQ(Read(Blob, Other), Bytes(20, 2));
  }
}

TEST_P(BlobFileTest, NegativeStoredSizeIsDamageForTheLength) {
  auto& Blob = NewBlob();
  const std::int32_t First = Blob.WriteString(0, "abc");
  Poke("Data.vdbb", Block(First, 4, 512), -1);
  EXPECT_EQ(Blob.CalcBlobLength(First), -113);
  EXPECT_EQ(Blob.ReadBlobType(First), -113);
  EXPECT_TRUE(Blob.Damaged());
}

// Random damage to links, sizes and the header: every operation answers a result or one of the
// files' own errors, never crashes, loops or reads outside the file, and a reopened file behaves
// the same.
TEST_P(BlobFileTest, RandomDamageOnlyEverGivesTheFilesErrors) {
  std::mt19937 Random(20261210);
  const auto Below = [&](std::int64_t Bound) {
    return static_cast<std::int32_t>(Random() % static_cast<std::uint64_t>(Bound));
  };
  const auto Allowed = [](std::int32_t Result) {
    return Result >= 0 || Result == -112 || Result == -113 || Result == -156;
  };
  for (int Round = 0; Round < 300; ++Round) {
    SCOPED_TRACE(Round);
    const bool IsMemo = Round % 2 == 0;
    const std::string Name = "r" + std::to_string(Round) + (IsMemo ? ".vdbm" : ".vdbb");
    TFile& File = IsMemo ? static_cast<TFile&>(NewMemo(Name)) : NewBlob(512, Name);
    std::vector<std::int32_t> Refs;
    for (int I = 0; I < 12; ++I) {
      const std::int32_t Ref =
          File.WriteString(0, Article(static_cast<std::size_t>(Below(3000)) + 1, I));
      ASSERT_GT(Ref, 0);
      Refs.push_back(Ref);
    }
    for (int I = 0; I < 4; ++I) {
      auto& Ref = Refs[static_cast<std::size_t>(Below(12))];
      Ref = File.WriteString(Ref, Ref % 2 ? "" : Article(static_cast<std::size_t>(Below(900)), I));
      ASSERT_GE(Ref, 0);
    }
    File.Flush();
    const std::int32_t BlockSize = File.BlockSize();
    const std::int32_t Last = File.LastBlock();
    for (int Hit = Below(6) + 1; Hit > 0; --Hit) {
      const std::int32_t BlockNo = Below(Last + 1);
      const std::int32_t Offset = Below(3) == 0 ? 4 * Below(3) : 0;
      const std::int32_t Choices[] = {-1,
                                      0,
                                      Below(Last + 4) - 2,
                                      Below(Last + 1),
                                      0x7FFFFFFF,
                                      static_cast<std::int32_t>(Random())};
      Poke(Name, Block(BlockNo, Offset, BlockSize), Choices[Below(6)]);
    }
    for (int Pass = 0; Pass < 2; ++Pass) {
      if (Pass == 0) {
        File.Update();
      } else {
        File.Close();
        File.Open(false, false);
      }
      for (const std::int32_t Ref : Refs) {
        std::string S;
        const std::int32_t Read = File.ReadString(Ref, S);
        EXPECT_TRUE(Allowed(Read)) << Read << " " << File.LastErrorMsg();
        EXPECT_LE(static_cast<std::int64_t>(S.size()), 2 * File.GetFileSize());
        if (IsMemo) {
          const std::int32_t Length = static_cast<TVdbMemoFile&>(File).CalcMemoLength(Ref);
          EXPECT_TRUE(Allowed(Length)) << Length;
          if (Read == 0 && Length >= 0) {
            EXPECT_EQ(Length, static_cast<std::int32_t>(S.size()));
          }
        } else {
          EXPECT_TRUE(Allowed(static_cast<TVdbBlobFile&>(File).CalcBlobLength(Ref)));
        }
      }
      EXPECT_GE(File.Check(), 0);
      for (auto& Ref : Refs) {
        const std::int32_t Written =
            File.WriteString(Ref, Article(static_cast<std::size_t>(Below(700)), 5));
        EXPECT_TRUE(Allowed(Written)) << Written;
        if (Written >= 0) Ref = Written;
      }
    }
  }
}

// --- Old table levels ----------------------------------------------------------------------------

TEST_P(BlobFileTest, OldLevelsFreeAChainByItsContent) {
  auto& Memo = NewMemo();
  Memo.SetVersion(4);
  const std::int32_t First = Memo.WriteString(0, Article(600));  // 1-3, ends with a terminator
  // Old writers left other marks after the text's last block.
  Poke("Data.vdbm", Block(3), 0);
  EXPECT_EQ(Memo.WriteString(First, Article(500, 1)), 1);
  EXPECT_EQ(Memo.LastBlock(), 3);
  EXPECT_EQ(Read(Memo, 1), Article(500, 1));

  auto& Blob = NewBlob();
  Blob.SetVersion(3);
  const std::int32_t Value = Blob.WriteString(0, Bytes(1000));  // 1-2
  Poke("Data.vdbb", Block(2, 0, 512), 0);
  EXPECT_EQ(Blob.WriteString(Value, Bytes(900, 1)), 1);
  EXPECT_EQ(Blob.LastBlock(), 2);
  EXPECT_EQ(Read(Blob, 1), Bytes(900, 1));
}

// --- Consistency check ---------------------------------------------------------------------------

TEST_P(BlobFileTest, CheckFindsSharedBlocksLoopsAndBrokenLists) {
  struct TCase {
    const char* What;
    std::int32_t Block;
    std::int32_t Link;
    std::int32_t Expected;
  };
  // Blocks 1-3: value A; 4-5 value B; 6-7 freed.
  const TCase Cases[] = {{"sound", 0, 0, 0},
                         {"B runs into A", 5, 2, TVdbMemoFile::kCheckSharedBlock},
                         {"A runs into the free list", 3, 6, TVdbMemoFile::kCheckSharedBlock},
                         {"B runs in a circle", 5, 4, TVdbMemoFile::kCheckLoop},
                         {"free list runs in a circle", 7, 6, TVdbMemoFile::kCheckBrokenFreeList},
                         {"free list ends early", 7, -1, TVdbMemoFile::kCheckBrokenFreeList},
                         {"A leaves the file", 3, 50, TVdbMemoFile::kCheckLeavesFile}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Name = "c" + std::to_string(Files.size()) + ".vdbm";
    auto& Memo = NewMemo(Name);
    Memo.WriteString(0, Article(700));
    Memo.WriteString(0, Article(300, 1));
    ASSERT_EQ(Memo.WriteString(Memo.WriteString(0, Article(300, 2)), ""), 0);
    if (Case.Block != 0) Poke(Name, Block(Case.Block), Case.Link);
    EXPECT_EQ(Memo.Check(), Case.Expected);
  }
}

TEST_P(BlobFileTest, CreateBlockListGivesEverySuccessor) {
  auto& Memo = NewMemo();
  Memo.WriteString(0, Article(700));
  Memo.WriteString(Memo.WriteString(0, "x"), "");
  std::vector<std::int32_t> List;
  std::int32_t Count = 0;
  std::int32_t FirstFree = 0;
  ASSERT_EQ(Memo.CreateBlockList(List, Count, FirstFree), 0);
  EXPECT_EQ(Count, 4);
  EXPECT_EQ(FirstFree, 4);
  EXPECT_EQ(List, (std::vector<std::int32_t>{4, 2, 3, -1, 5}));
}

// --- Storage failures ----------------------------------------------------------------------------

// A memo file over a file system whose reads fail on demand.
class BlobFileStorageFailures : public ::testing::Test {
 protected:
  void SetUp() override { Memo.NewFile(); }

  std::unique_ptr<TVdbClientStorage> Client() {
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, &Fs, 1);
    Storage->SetName("Data.vdbm");
    return Storage;
  }

  TTempDir Dir;
  TVdbPageManager Manager;
  TProbeFileSystem Fs{Dir.Path().string()};
  TVdbMemoFile Memo{Client()};
};

TEST_F(BlobFileStorageFailures, ReadErrorsOfTheFileSystemAreEngineErrorTwo) {
  const std::int32_t First = Memo.WriteString(0, Article(20000));
  Memo.Flush();
  Memo.Update();  // nothing cached any more
  Fs.FailReads = true;
  std::string S;
  EXPECT_EQ(Memo.ReadString(First, S), -2);
  EXPECT_EQ(Memo.LastErrorMsg(), "Error while reading from file \"Data.vdbm\"");
  EXPECT_FALSE(Memo.Damaged());
  Fs.FailReads = false;
  EXPECT_EQ(Memo.ReadString(First, S), 0);
  EXPECT_EQ(S, Article(20000));
}

TEST_F(BlobFileStorageFailures, ReadErrorsWhileWritingABlockAreEngineErrorThree) {
  for (int I = 0; I < 40; ++I) ASSERT_GT(Memo.WriteString(0, "one block"), 0);
  Memo.Flush();
  Memo.Update();
  ASSERT_EQ(Memo.CalcMemoLength(0), 0);  // the header's tile is read again; block 41's is not
  Fs.FailReads = true;
  EXPECT_EQ(Memo.WriteString(0, "appended"), -3);
  EXPECT_EQ(Memo.LastErrorMsg(), "Error while writing to file \"Data.vdbm\"");
  EXPECT_EQ(Memo.LastBlock(), 40);
  Fs.FailReads = false;
  EXPECT_EQ(Memo.WriteString(0, "appended"), 41);
  EXPECT_FALSE(Memo.Damaged());
}

}  // namespace
}  // namespace vdb::test
