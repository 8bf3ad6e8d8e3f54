// Two of a person's PCs keep their saved PCs in sync through the real relay core in the simulator:
// each runs a network client, its list of saved PCs and the sync engine, wired as the main window
// wires them. Virtual time throughout.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BookFakes.h"
#include "app/TovikBookAdapters.h"
#include "book/TovikRecent.h"
#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelayCore.h"

using namespace tovik;
using namespace tovik::sim;
using namespace tovik::test;

namespace {

constexpr std::uint16_t kRelayPort = 47800;

struct TSimBookClock final : IBookClock {
  explicit TSimBookClock(TSimNet& ANet) : Net(ANet) {}
  TTick Tick() const override { return Net.Now(); }
  std::int64_t Stamp() const override { return Net.Clock().Stamp(); }
  TSimNet& Net;
};

struct TMemRecentStore final : IRecentStore {
  std::optional<TIniPairs> Section = TIniPairs{};
  std::optional<TIniPairs> ReadSection() override { return Section; }
  TFileResult WriteSection(const TIniPairs& AKeys) override {
    Section = AKeys;
    return {};
  }
  std::string Path() const override { return "Tovik.ini"; }
};

// One PC: client, saved-PC list and sync engine.
struct TBookPC {
  TBookPC(TSimNet& ANet, const std::string& AIP, const std::vector<std::string>& ALines)
      : Net(ANet), PC(ANet, ANet.AddHost(AIP), "relay.test", kRelayPort), Relay(PC.C()), Clock(ANet),
        Sync(Relay, Clock, Settings, "") {
    List.ApplyFromSync(ALines);
    Sync.SetLocal(List.Lines());
    PC.C().OnBook = [this](const std::string& l) { Sync.HandleLine(l); };
    List.OnUpload = [this](const std::vector<std::string>& l) {
      if (Sync.IsOn())
        Sync.Upload(l);
      else
        Sync.SetLocal(l);
    };
    Sync.OnBook = [this](const std::vector<std::string>& l, std::int64_t) { List.ApplyFromSync(l); };
    Sync.OnEmpty = [this] {
      if (List.Count()) Sync.Upload(List.Lines());
    };
    Net.AddTimed(Sync);
    PC.Start();
  }
  ~TBookPC() { Net.RemoveTimed(Sync); }

  TSimNet& Net;
  TSimPC PC;
  TClientBookRelay Relay;
  TSimBookClock Clock;
  TMemBookSettings Settings;
  TMemRecentStore Store;
  TRecentList List{Store};
  TBookSync Sync;
};

std::string Id(int n) { return std::to_string(100'000'000 + n); }

class BookSim : public ::testing::Test {
 protected:
  explicit BookSim(TRelayConfig AConfig = {}) : RelayHost(Net.AddHost("203.0.113.1")) {
    Net.AddName("relay.test", "203.0.113.1");
    Relay = std::make_unique<TSimRelayCore>(Net, RelayHost, kRelayPort, std::vector<std::uint16_t>{}, AConfig);
  }
  void MakePCs(const std::vector<std::string>& ALinesA, const std::vector<std::string>& ALinesB) {
    A = std::make_unique<TBookPC>(Net, "192.0.2.10", ALinesA);
    B = std::make_unique<TBookPC>(Net, "192.0.2.20", ALinesB);
    ASSERT_TRUE(Net.RunUntil([&] { return A->Relay.Available() && B->Relay.Available(); }, 5000));
  }
  // A offers a code, B types it 5 s later; true when both hold the same list within 15 s of joining.
  bool Pair() {
    std::string code;
    if (!A->Sync.StartPairing(code)) return false;
    Net.RunFor(5000);
    if (A->Sync.PairState() != bpOffered) return false;
    B->Sync.JoinWithCode(code);
    return Net.RunUntil([&] { return B->Sync.PairState() == bpJoined && Same(); }, 15'000);
  }
  bool Same() const { return A->List.Lines() == B->List.Lines() && !A->List.Lines().empty(); }
  // Lets the fast polling around pairing end.
  void Settle() { Net.RunFor(700'000); }

  TSimNet Net{5};
  TSimHost& RelayHost;
  std::unique_ptr<TSimRelayCore> Relay;
  std::unique_ptr<TBookPC> A, B;
};

}  // namespace

TEST_F(BookSim, PairingMergesBothListsWithin15Seconds) {
  MakePCs({Id(1) + "=Mum", Id(2) + "=", Id(3) + "=Shop"}, {Id(3) + "=", Id(4) + "=Office"});
  ASSERT_TRUE(Pair());
  EXPECT_EQ(A->Sync.Secret(), B->Sync.Secret());
  EXPECT_EQ(A->List.Count(), 4u);
  EXPECT_EQ(A->List.NameOf(Id(3)), "Shop");
  EXPECT_EQ(A->List.NameOf(Id(4)), "Office");
}

TEST_F(BookSim, ChangesForgetsAndConcurrentRenamesReachTheOtherPC) {
  MakePCs({Id(1) + "=", Id(2) + "=", Id(3) + "=", Id(4) + "="}, {});
  ASSERT_TRUE(Pair());
  Settle();
  // An ordinary change is on the other PC within one routine poll.
  A->List.Add(Id(7));
  EXPECT_TRUE(Net.RunUntil([&] { return B->List.IndexOfID(Id(7)) == 0; }, 302'000));
  // Renames of different PCs on both, and the same PC renamed on both (the later one wins).
  A->List.Rename(Id(1), "First on A");
  A->List.Rename(Id(3), "Three on A");
  Net.RunFor(1000);
  B->List.Rename(Id(2), "Second on B");
  B->List.Rename(Id(3), "Three on B");
  EXPECT_TRUE(Net.RunUntil([&] { return Same() && A->List.NameOf(Id(2)) == "Second on B"; }, 610'000));
  EXPECT_EQ(B->List.NameOf(Id(1)), "First on A");
  EXPECT_EQ(A->List.NameOf(Id(3)), "Three on B");
  // A forget on one PC removes it on the other.
  B->List.Forget(Id(4));
  EXPECT_TRUE(Net.RunUntil([&] { return A->List.IndexOfID(Id(4)) < 0; }, 302'000));
  Net.RunFor(310'000);
  EXPECT_LT(B->List.IndexOfID(Id(4)), 0);
}

TEST_F(BookSim, ADamagedListThatLostManyPCsDoesNotSpreadAndHeals) {
  std::vector<std::string> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back(Id(i) + "=PC " + std::to_string(i));
  MakePCs(twelve, {});
  ASSERT_TRUE(Pair());
  Settle();
  // Five PCs vanish from A's list at once, none added: taken for damage, nothing forgotten.
  std::vector<std::string> damaged(A->List.Lines().begin() + 5, A->List.Lines().end());
  A->Sync.Upload(damaged);
  A->List.ApplyFromSync(damaged);
  EXPECT_TRUE(A->Sync.Merged().Gone.empty());
  Net.RunFor(610'000);
  EXPECT_EQ(B->List.Count(), 12u);
  EXPECT_EQ(A->List.Count(), 12u);
}

namespace {

TRelayConfig TightRelay() {
  TRelayConfig c;
  c.BookLinesPerMinute = 20;
  return c;
}

class BookSimTight : public BookSim {
 protected:
  BookSimTight() : BookSim(TightRelay()) {}
};

TRelayConfig NoRoomRelay() {
  TRelayConfig c;
  c.MaxBooks = 0;
  return c;
}

class BookSimFull : public BookSim {
 protected:
  BookSimFull() : BookSim(NoRoomRelay()) {}
};

}  // namespace

TEST_F(BookSimTight, ARateLimitedUploadWaitsAndArrives) {
  // A list of about 30 parts against a relay that takes 20 book lines a minute.
  std::vector<std::string> many;
  std::uint32_t x = 1;
  for (int i = 0; i < 200; ++i) {
    std::string name;
    for (int k = 0; k < 80; ++k) name += char('a' + (x = x * 1103515245 + 12345) / 65536 % 26);
    many.push_back(Id(i * 7919 % 899'999) + "=" + name);
  }
  MakePCs(many, {});
  A->Sync.TurnOn();
  Net.RunFor(3000);
  ASSERT_TRUE(A->Sync.UploadInFlight());
  // It waits for the relay's next minute instead of giving up after 30 s and starting over.
  bool complained = false;
  EXPECT_TRUE(Net.RunUntil(
      [&] {
        complained |= !A->Sync.LastError().empty();
        return !A->Sync.UploadInFlight() && !A->Sync.Pending();
      },
      80'000));
  EXPECT_FALSE(complained);
  EXPECT_TRUE(A->Sync.LastError().empty()) << A->Sync.LastError();
}

TEST_F(BookSimFull, AFullRelayIsReportedAndTriedAgainAfterTenMinutes) {
  MakePCs({Id(1) + "="}, {});
  A->Sync.TurnOn();
  ASSERT_TRUE(Net.RunUntil([&] { return !A->Sync.LastError().empty(); }, 10'000));
  EXPECT_EQ(A->Sync.LastError(), "The server cannot store more synced lists right now.");
  EXPECT_FALSE(A->Sync.UploadInFlight());
  Net.RunFor(590'000);
  EXPECT_FALSE(A->Sync.UploadInFlight());
  EXPECT_TRUE(Net.RunUntil([&] { return A->Sync.UploadInFlight(); }, 15'000));
}
