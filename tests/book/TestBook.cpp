#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BookFakes.h"
#include "book/TovikBook.h"
#include "book/TovikBookSettings.h"
#include "tests/base/TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

namespace {

const std::string kSecret(64, 'a');
constexpr std::int64_t kDay = 86'400'000;

std::string Id(int n) { return std::to_string(100'000'000 + n); }

class BookSync : public ::testing::Test {
 protected:
  TFakeBookClock Clock;
  TFakeBookRelay Relay;
  TMemBookSettings Settings;
  TTempDir Dir;
  std::unique_ptr<TBookSync> Sync;
  std::vector<std::vector<std::string>> Books;
  int Empties = 0;

  void SetUp() override { Make(); }
  void TearDown() override {
    // The secret itself never goes to the relay.
    for (const auto& s : Relay.Sent) EXPECT_EQ(AsciiLower(s).find(kSecret), std::string::npos) << s;
  }
  void Make() {
    Sync = std::make_unique<TBookSync>(Relay, Clock, Settings, Dir / "BookSync.txt");
    Sync->OnBook = [this](const std::vector<std::string>& l, std::int64_t) { Books.push_back(l); };
    Sync->OnEmpty = [this] { ++Empties; };
  }
  // Sync on with kSecret and the local list, past the quiet time, nothing in flight.
  void On(std::vector<std::string> ALocal, std::int64_t AStamp = 0) {
    Sync->SetLocal(std::move(ALocal));
    Sync->SetSecret(kSecret, AStamp);
    Clock.Advance(2000);
  }
  void Deliver(const std::vector<std::string>& ALines) {
    for (const auto& l : ALines) Sync->HandleLine(l);
  }
  // Fetches and answers with the list text at relay stamp AStamp.
  void FetchAnswer(const std::string& AText, std::int64_t AStamp) {
    Sync->Fetch();
    Deliver(BookLinesFor(kSecret, AText, AStamp));
  }
  void Run(TTick AMs) {
    for (TTick t = 0; t < AMs; t += 1000) {
      Clock.Advance(1000);
      Sync->Tick();
    }
  }
  const TBookEntry& E(int n) { return Sync->Merged().Known.at(Id(n)); }
};

}  // namespace

TEST(BookFormats, CodesSecretsAndDerivedValues) {
  struct Case {
    const char* In;
    std::optional<std::string> Want;
  };
  const Case cases[] = {
      {"ABCD-EFGH", "ABCDEFGH"}, {"abcd efgh", "ABCDEFGH"}, {" ab-cd\tef gh ", "ABCDEFGH"},
      {"ABCD-EFG1", std::nullopt},  // 1 is not in the alphabet
      {"ABCD-EFG0", std::nullopt}, {"ABCD-EFGI", std::nullopt}, {"ABCD-EFGO", std::nullopt},
      {"ABCD-EFGHJ", std::nullopt},  // 9 characters
      {"ABC", std::nullopt},      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalisePairCode(c.In), c.Want) << c.In;
  EXPECT_EQ(PairCodeFromBytes(TBytes{0, 31, 32, 63, 8, 9, 24, 255}), "A9A9JK29");

  EXPECT_TRUE(IsValidSecret(kSecret));
  EXPECT_TRUE(IsValidSecret(std::string(64, 'F')));
  EXPECT_FALSE(IsValidSecret(std::string(63, 'a')));
  EXPECT_FALSE(IsValidSecret(std::string(63, 'a') + "g"));
  EXPECT_EQ(BookID(kSecret).size(), 64u);
  EXPECT_NE(BookID(kSecret), BookID(std::string(64, 'b')));
  EXPECT_EQ(BookStateName(kSecret).size(), 16u);
  EXPECT_EQ(BookStateName(""), "");
}

TEST(BookFormats, ListTextParsesWithCleaningBoundsAndFirstOccurrence) {
  const std::string longName(100, 'n');
  const std::string text = "111111111=Anna=Office\r\n222222222=" + longName +
                           "\r\nbad=x\r\n111111111=Dup\r\n@111111111=5,-3\r\n@222222222=9000000000000000000,7\r\n"
                           "~333333333=4\n~333333333=9\n~333333333=-1\n~44=3\n@999999999=1,1";
  const TBookList l = ParseBookList(text, 1000);
  ASSERT_EQ(l.Order, (std::vector<std::string>{"111111111", "222222222"}));
  EXPECT_EQ(l.Known.at("111111111"), (TBookEntry{"Anna Office", 5, 0}));
  EXPECT_EQ(l.Known.at("222222222"), (TBookEntry{std::string(80, 'n'), 1000, 7}));
  EXPECT_EQ(l.Gone, (std::map<std::string, std::int64_t>{{"333333333", 9}}));
  EXPECT_EQ(ParseBookList(BookListText(l), 1000).Known, l.Known);

  TBookState st{"ABCDEF0123456789", true, l};
  const TBookState back = ParseBookState(BookStateText(st), 1000);
  EXPECT_EQ(back.Book, st.Book);
  EXPECT_TRUE(back.Pending);
  EXPECT_EQ(back.List.Known, l.Known);
  EXPECT_EQ(back.List.Order, l.Order);
  EXPECT_EQ(back.List.Gone, l.Gone);
}

TEST(BookFormats, InflateStopsAtTheBoundAndBlobsOpenOnlyWithTheirKey) {
  const std::string mib(kBookMaxPlainBytes, 'z');
  EXPECT_EQ(BookInflate(BookDeflate(mib))->size(), kBookMaxPlainBytes);
  EXPECT_FALSE(BookInflate(BookDeflate(mib + "z")));
  EXPECT_FALSE(BookInflate(TBytes{1, 2, 3}));
  const auto b64 = SealBookList("111111111=A", BookListKey(kSecret));
  ASSERT_TRUE(b64);
  EXPECT_EQ(OpenBookList(*b64, BookListKey(kSecret)), "111111111=A");
  EXPECT_FALSE(OpenBookList(*b64, BookListKey(std::string(64, 'b'))));
  EXPECT_FALSE(OpenBookList("AAAA", BookListKey(kSecret)));
  EXPECT_FALSE(OpenBookList(*SealBookList(std::string(2 << 20, ' '), BookListKey(kSecret)), BookListKey(kSecret)));
}

TEST_F(BookSync, FirstImportRanksTheListAndTheOtherPCsStampsWin) {
  On({Id(1) + "=One", Id(2) + "=", Id(3) + "=Three"});
  EXPECT_EQ(E(1), (TBookEntry{"One", 3, 0}));
  EXPECT_EQ(E(2), (TBookEntry{"", 2, 0}));
  EXPECT_EQ(E(3), (TBookEntry{"Three", 1, 0}));
  const std::int64_t t = Clock.S - 1000;
  FetchAnswer(Id(3) + "=Shop\r\n" + Id(9) + "=Nine\r\n@" + Id(3) + "=" + std::to_string(t) + "," + std::to_string(t) +
                  "\r\n@" + Id(9) + "=" + std::to_string(t - 5) + ",0",
              t);
  ASSERT_EQ(Books.size(), 1u);
  EXPECT_EQ(Books[0], (std::vector<std::string>{Id(3) + "=Shop", Id(9) + "=Nine", Id(1) + "=One", Id(2) + "="}));
  // The merge differs from what the relay holds: it goes up with a newer stamp.
  EXPECT_EQ(Relay.SentStarting("BOOKPUT").size(), 1u);
  EXPECT_GT(Sync->Stamp(), t);
  EXPECT_NE(Sync->LastSync(), 0);
}

TEST_F(BookSync, MergeRulesForRenamesForgetsAndTheEntryLimit) {
  struct Case {
    const char* What;
    std::string Local;       // local list before the merge (newest first)
    std::function<std::string(std::int64_t now)> Received;
    std::vector<std::string> Want;
  };
  const std::vector<Case> cases = {
      {"renames of different PCs both stay", "A",
       [](std::int64_t n) {
         return Id(1) + "=One\r\n" + Id(2) + "=Two B\r\n@" + Id(1) + "=" + std::to_string(n - 9000) + ",0\r\n@" +
                Id(2) + "=" + std::to_string(n - 9000) + "," + std::to_string(n + 500);
       },
       {Id(1) + "=One A", Id(2) + "=Two B"}},
      {"the later rename of the same PC wins", "B",
       [](std::int64_t n) {
         return Id(1) + "=Remote\r\n" + Id(2) + "=\r\n@" + Id(1) + "=" + std::to_string(n - 9000) + "," +
                std::to_string(n + 700) + "\r\n@" + Id(2) + "=" + std::to_string(n - 9000) + ",0";
       },
       {Id(1) + "=Remote", Id(2) + "="}},
      {"a tombstone newer than the use removes the PC", "A",
       [](std::int64_t n) {
         return Id(2) + "=\r\n@" + Id(2) + "=" + std::to_string(n - 9000) + ",0\r\n~" + Id(1) + "=" +
                std::to_string(n + 5000);
       },
       {Id(2) + "="}},
      {"a PC used again after it was forgotten comes back", "A",
       [](std::int64_t n) {
         return Id(2) + "=\r\n@" + Id(2) + "=" + std::to_string(n - 9000) + ",0\r\n~" + Id(1) + "=" +
                std::to_string(n - 5000);
       },
       {Id(1) + "=One A", Id(2) + "="}},
  };
  for (const auto& c : cases) {
    Books.clear();
    Settings = {};
    std::filesystem::remove(Dir / "BookSync.txt");
    Make();
    On({Id(2) + "="});
    const std::int64_t base = Clock.S;
    FetchAnswer(Id(2) + "=\r\n@" + Id(2) + "=" + std::to_string(base - 9000) + ",0", base - 9000);
    Clock.Advance(1000);
    // This PC connects to PC 1 and names it.
    std::vector<std::string> local = {Id(1) + "=One", Id(2) + "="};
    if (c.Local == "A") local[0] = Id(1) + "=One A";
    Sync->Upload(local);
    Deliver({"BOOKPUT OK " + std::to_string(Sync->Stamp())});
    Clock.Advance(1000);
    FetchAnswer(c.Received(Clock.S), Clock.S);
    ASSERT_FALSE(Books.empty()) << c.What;
    EXPECT_EQ(Books.back(), c.Want) << c.What;
  }
}

TEST_F(BookSync, AMergedListOf205KeepsTheNewest200AndTombstonesTheRest) {
  On({});
  std::string text;
  for (int i = 0; i < 205; ++i) text += Id(i) + "=\r\n";
  for (int i = 0; i < 205; ++i) text += "@" + Id(i) + "=" + std::to_string(Clock.S - 1000 - i) + ",0\r\n";
  FetchAnswer(text, Clock.S - 500);
  ASSERT_EQ(Books.size(), 1u);
  EXPECT_EQ(Books[0].size(), 200u);
  EXPECT_EQ(Books[0].back(), Id(199) + "=");
  EXPECT_EQ(Sync->Merged().Gone.size(), 5u);
  EXPECT_TRUE(Sync->Merged().Gone.count(Id(204)));
}

TEST_F(BookSync, MassRemovalIsTakenForDamageButOrdinaryForgetsMakeTombstones) {
  struct Case {
    int Total, Removed;
    bool Mass;
  };
  for (const Case c : {Case{12, 5, true}, Case{30, 5, false}, Case{12, 3, false}}) {
    Settings = {};
    Relay.Sent.clear();
    std::filesystem::remove(Dir / "BookSync.txt");
    Make();
    std::vector<std::string> all;
    for (int i = 0; i < c.Total; ++i) all.push_back(Id(i) + "=");
    On(all);
    FetchAnswer(Id(500) + "=", Clock.S - 100);  // a first merge, so later folds are ordinary
    Deliver({"BOOKPUT OK " + std::to_string(Sync->Stamp())});
    std::vector<std::string> fewer(Books.back().begin() + c.Removed, Books.back().end());
    Relay.Sent.clear();
    Sync->Upload(fewer);
    EXPECT_EQ(Sync->Merged().Gone.size(), c.Mass ? 0u : std::size_t(c.Removed)) << c.Total << "/" << c.Removed;
    EXPECT_EQ(Relay.SentStarting("BOOKGET").size(), c.Mass ? 1u : 0u);
    EXPECT_EQ(Relay.SentStarting("BOOKPUT").empty(), c.Mass);
    EXPECT_EQ(Sync->Pending(), true);
  }
}

TEST_F(BookSync, AHostileRelayChangesNothing) {
  On({Id(1) + "=Mine"});
  FetchAnswer(Id(1) + "=Mine\r\n@" + Id(1) + "=1,0", Clock.S - 10'000);
  Deliver({"BOOKPUT OK " + std::to_string(Sync->Stamp())});
  ASSERT_FALSE(Sync->Pending());
  const TBookList before = Sync->Merged();
  const std::int64_t stamp = Sync->Stamp();
  const std::string evil = Id(1) + "=Evil\r\n@" + Id(1) + "=5," + std::to_string(Clock.S + 1000);
  struct Case {
    const char* What;
    std::vector<std::string> Lines;
  };
  const std::int64_t far = Clock.S + kDay + 1;
  std::vector<Case> cases = {
      {"a stamp beyond tomorrow", BookLinesFor(kSecret, evil, far)},
      {"the largest stamp", BookLinesFor(kSecret, evil, INT64_MAX)},
      {"a stamp of 2^64", {"BOOK 18446744073709551616 0 1 AAAA"}},
      {"a negative stamp", {"BOOK -5 0 1 AAAA"}},
      {"too many parts", {"BOOK " + std::to_string(Clock.S) + " 0 " + std::to_string(kBookMaxParts + 1) + " AAAA"}},
      {"index beyond count", {"BOOK " + std::to_string(Clock.S) + " 1 1 AAAA"}},
      {"not Base64", {"BOOK " + std::to_string(Clock.S) + " 0 1 <script>"}},
      {"an oversize part", {"BOOK " + std::to_string(Clock.S) + " 0 1 " + std::string(kBookPartChars + 1, 'A')}},
      {"garbage that does not decrypt", {"BOOK " + std::to_string(Clock.S) + " 0 1 " + std::string(200, 'A')}},
      {"a list that inflates beyond 1 MiB",
       BookLinesFor(kSecret, Id(1) + "=Evil\r\n" + std::string(kBookMaxPlainBytes, '\n'), Clock.S)},
      {"a list under another key", BookLinesFor(std::string(64, 'b'), evil, Clock.S)},
      {"upload confirmations for another stamp", {"BOOKPART OK 5 0", "BOOKPUT OK 5", "ERR BOOK_OLDER"}},
      {"short and empty lines", {"BOOK", "", "BOOK 1", "BOOKPUT", std::string(10'000, 'B')}},
  };
  for (const auto& c : cases) {
    Books.clear();
    Sync->Fetch();
    Deliver(c.Lines);
    EXPECT_TRUE(Books.empty()) << c.What;
    EXPECT_EQ(Sync->Merged().Known, before.Known) << c.What;
    EXPECT_EQ(Sync->Stamp(), stamp) << c.What;
    EXPECT_FALSE(Sync->UploadInFlight()) << c.What;
    Clock.Advance(40'000);  // the fetch gives up; the next case starts a fresh one
    Sync->Tick();
  }
}

TEST_F(BookSync, SuccessIsRecordedOnlyAfterTheListDecryptedAndMerged) {
  On({Id(1) + "="});
  FetchAnswer(Id(1) + "=", Clock.S);
  const std::int64_t first = Sync->LastSync();
  ASSERT_NE(first, 0);
  Clock.Advance(60'000);
  Sync->Fetch();
  Deliver(BookLinesFor(std::string(64, 'c'), Id(1) + "=", Clock.S));
  EXPECT_EQ(Sync->LastSync(), first);
  EXPECT_EQ(Sync->LastError(), "The synced list could not be read (made with another sync code?).");
  EXPECT_EQ(Sync->StatusText(), "Sync is on. The synced list could not be read (made with another sync code?).");
}

TEST_F(BookSync, FarFutureStampsFromAWrongClockDoNotWinForever) {
  On({Id(1) + "=Local"}, INT64_MAX);
  EXPECT_EQ(Sync->Stamp(), 0);
  const std::int64_t year = 365 * kDay;
  // Another PC with its clock a year ahead renamed PC 1 and used PC 2.
  FetchAnswer(Id(2) + "=Ahead\r\n" + Id(1) + "=Ahead\r\n@" + Id(2) + "=" + std::to_string(Clock.S + year) + ",0\r\n@" +
                  Id(1) + "=5," + std::to_string(Clock.S + year),
              Clock.S);
  EXPECT_LE(E(2).Used, Clock.S + kDay);
  EXPECT_LE(E(1).Named, Clock.S + kDay);
  const std::int64_t heldNamed = E(1).Named, heldUsed = E(2).Used;
  EXPECT_LE(Sync->Stamp(), Clock.S + kDay);
  // The clamped values differ from what the relay holds: they are uploaded corrected.
  EXPECT_TRUE(Sync->UploadInFlight());
  Deliver({"BOOKPUT OK " + std::to_string(Sync->Stamp())});
  // Two days later a rename on this PC is newer than what the relay now holds.
  Clock.Advance(2 * kDay);
  Sync->Upload({Id(1) + "=Mine again", Id(2) + "=Ahead"});
  Deliver({"BOOKPUT OK " + std::to_string(Sync->Stamp())});
  FetchAnswer(Id(2) + "=Ahead\r\n" + Id(1) + "=Ahead\r\n@" + Id(2) + "=" + std::to_string(heldUsed) + ",0\r\n@" +
                  Id(1) + "=5," + std::to_string(heldNamed),
              Sync->Stamp() + 1);
  EXPECT_EQ(E(1).Name, "Mine again");
}

TEST_F(BookSync, AnEmptyRelayAsksNoLegacyQuestionAndAnswersAfterTheQuietTime) {
  Sync->SetLocal({Id(1) + "="});
  Sync->SetSecret(std::string(64, 'e'), 0);
  Sync->SetSecret(kSecret, 0);
  Sync->Fetch();
  EXPECT_TRUE(Relay.SentStarting("BOOKGET").empty());  // quiet for 2 s after a new secret
  Deliver({"BOOK 0 0 0 -"});
  EXPECT_EQ(Empties, 0);
  Run(2000);
  ASSERT_EQ(Relay.SentStarting("BOOKGET"), (std::vector<std::string>{"BOOKGET " + BookID(kSecret)}));
  Deliver({"BOOK 0 0 0 -"});
  EXPECT_EQ(Empties, 1);
  Run(30'000);
  EXPECT_EQ(Relay.SentStarting("BOOKGET").size(), 1u);  // no second question under the secret
  EXPECT_EQ(Sync->StatusText().rfind("Sync is on. Last synced ", 0), 0u);
}

TEST_F(BookSync, UploadConfirmationsRateAndFullBackOffs) {
  On({Id(1) + "="});
  Sync->Upload({Id(2) + "=", Id(1) + "="});
  ASSERT_TRUE(Sync->UploadInFlight());
  const std::string st = std::to_string(Sync->Stamp());
  Deliver({"BOOKPART OK 1 0", "BOOKPUT OK 1"});  // another stamp
  EXPECT_TRUE(Sync->UploadInFlight());
  // BOOK_RATE: no resend for 10 s.
  Relay.Sent.clear();
  Deliver({"ERR BOOK_RATE"});
  Run(9000);
  EXPECT_TRUE(Relay.SentStarting("BOOKPUT").empty());
  Run(2000);
  EXPECT_EQ(Relay.SentStarting("BOOKPUT").size(), 1u);
  // BOOK_FULL: the upload is dropped and tried again after 10 minutes.
  Deliver({"ERR BOOK_FULL"});
  EXPECT_FALSE(Sync->UploadInFlight());
  EXPECT_EQ(Sync->LastError(), "The server cannot store more synced lists right now.");
  Relay.Sent.clear();
  Run(590'000);
  EXPECT_TRUE(Relay.SentStarting("BOOKPUT").empty());
  Run(11'000);
  ASSERT_TRUE(Sync->UploadInFlight());
  Deliver({"BOOKPUT OK " + std::to_string(Sync->Stamp())});
  EXPECT_FALSE(Sync->UploadInFlight());
  EXPECT_FALSE(Sync->Pending());
  EXPECT_TRUE(Sync->LastError().empty());
  EXPECT_EQ(Settings.Name, BookStateName(kSecret));
  // An unconfirmed upload is given up after 30 s and tried again a minute later.
  Sync->Upload({Id(3) + "=", Id(2) + "=", Id(1) + "="});
  Run(31'000);
  EXPECT_FALSE(Sync->UploadInFlight());
  EXPECT_EQ(Sync->LastError(), "The server did not confirm the last change; trying again in a minute.");
  Run(60'000);
  EXPECT_TRUE(Sync->UploadInFlight());
}

TEST_F(BookSync, PairingOfferJoinAndTheirFailures) {
  TFakeBookRelay relayB;
  TMemBookSettings settingsB;
  TBookSync joiner(relayB, Clock, settingsB, "");
  std::string code;
  ASSERT_TRUE(Sync->StartPairing(code));
  EXPECT_TRUE(Sync->IsOn());
  EXPECT_EQ(Sync->PairState(), bpOffering);
  EXPECT_EQ(Sync->PairSecondsLeft(), 600);
  ASSERT_EQ(code.size(), 9u);
  const auto put = Relay.SentStarting("BOOKPAIR PUT ");
  ASSERT_EQ(put.size(), 1u);
  const std::string pairID = put[0].substr(13, 32);
  Sync->HandleLine("BOOKPAIR OK " + AsciiLower(pairID));
  EXPECT_EQ(Sync->PairState(), bpOffered);
  Clock.Advance(100'000);
  EXPECT_EQ(Sync->PairSecondsLeft(), 500);

  // The other PC types the code in lower case with a blank.
  std::string typed = AsciiLower(code);
  typed[4] = ' ';
  int paired = 0;
  joiner.OnPaired = [&] { ++paired; };
  joiner.JoinWithCode(typed);
  EXPECT_EQ(joiner.PairState(), bpJoining);
  EXPECT_EQ(joiner.PairSecondsLeft(), 0);
  ASSERT_EQ(relayB.SentStarting("BOOKPAIR GET "), (std::vector<std::string>{"BOOKPAIR GET " + pairID}));
  const std::string blob = put[0].substr(13 + 33);
  joiner.HandleLine("BOOKPAIR DATA " + std::string(32, 'F') + " " + blob);  // another pair ID: ignored
  EXPECT_EQ(joiner.PairState(), bpJoining);
  joiner.HandleLine("BOOKPAIR DATA " + pairID + " " + blob);
  EXPECT_EQ(joiner.PairState(), bpJoined);
  EXPECT_EQ(joiner.Secret(), Sync->Secret());
  EXPECT_EQ(paired, 1);

  struct Case {
    const char* What;
    std::string Code;
    std::vector<std::string> Answers;  // "%ID%" stands for the pair ID
    TTick Wait;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {"invalid code", "ABCD-EFG", {}, 0, "That is not a valid code. A code has 8 letters and digits, like ABCD-EFGH."},
      {"nobody offers it", "ABCD-EFGH", {"BOOKPAIR NONE %ID%"}, 0,
       "No PC is offering this code right now. Check the code: it works for 10 minutes after \"Add another PC\" was "
       "clicked on your other PC, and only once."},
      {"the wrong blob", "ABCD-EFGH", {"BOOKPAIR DATA %ID% " + blob}, 0,
       "The code did not unlock the sync data. Check the code and try again."},
      {"rate", "ABCD-EFGH", {"ERR BOOKPAIR_RATE"}, 0, "Too many tries. Wait a minute and try again."},
      {"full", "ABCD-EFGH", {"ERR BOOKPAIR_FULL"}, 0, "The server is busy. Try again in a few minutes."},
      {"other error", "ABCD-EFGH", {"ERR BOOKPAIR_BAD\x1b[31m"}, 0, "The server refused the request (BOOKPAIR_BAD?[31m)."},
      {"no answer", "ABCD-EFGH", {}, 30'000,
       "The server did not answer. It may be an older version without pairing; use the long sync code instead."},
  };
  for (const auto& c : cases) {
    relayB.Sent.clear();
    joiner.JoinWithCode(c.Code);
    const std::string id = relayB.Sent.empty() ? "" : relayB.Sent[0].substr(13);
    for (auto a : c.Answers) {
      if (auto p = a.find("%ID%"); p != std::string::npos) a.replace(p, 4, id);
      joiner.HandleLine(a);
    }
    for (TTick t = 0; t < c.Wait; t += 1000) {
      Clock.Advance(1000);
      joiner.Tick();
    }
    EXPECT_EQ(joiner.PairState(), bpFailed) << c.What;
    EXPECT_EQ(joiner.PairMessage(), c.Message) << c.What;
  }
  // The offer runs out.
  Clock.Advance(500'000);
  Sync->Tick();
  EXPECT_EQ(Sync->PairState(), bpNone);
  EXPECT_EQ(Sync->PairMessage(), "The code has expired. Click Add another PC for a new one.");
  // Without the relay there is no code.
  Relay.Up = false;
  EXPECT_FALSE(Sync->StartPairing(code));
  EXPECT_EQ(Sync->PairMessage(), "Tovik is not connected to the server right now. Try again in a moment.");
}

TEST_F(BookSync, TheStateFileKeepsTheMergedListAcrossRestarts) {
  On({Id(1) + "=One", Id(2) + "="});
  Sync->Upload({Id(1) + "=One"});
  ASSERT_EQ(Sync->Merged().Gone.size(), 1u);
  const TBookList before = Sync->Merged();
  Make();
  EXPECT_EQ(Sync->Merged().Known, before.Known);
  EXPECT_EQ(Sync->Merged().Gone, before.Gone);
  EXPECT_TRUE(Sync->Pending());
  EXPECT_EQ(ReadFile(Dir / "BookSync.txt").rfind("book=" + BookStateName(kSecret) + "\r\npending=1\r\n@" + Id(1), 0),
            0u);
}

namespace {

// Protection that always fails (no key can be made).
struct TFailingProtector final : ISecretProtector {
  std::optional<TBytes> Protect(TByteView) override { return std::nullopt; }
  std::optional<TBytes> Unprotect(TByteView) override { return std::nullopt; }
};

}  // namespace

TEST(BookSettings, TheSecretIsStoredProtectedOrNotAtAll) {
  TTempDir dir;
  const std::string ini = dir / "config/Tovik.ini";
  const std::string keyFile = dir / "data/Tovik/SettingsKey";
  WriteFile(ini, "[Book]\r\nSecret=" + AsciiUpper(kSecret) + "\r\nStamp=77\r\n");
  TKeyFileProtector protector(keyFile);
  std::vector<std::string> logs;
  TBookSettingsFile settings(ini, protector, [&](const std::string& s) { logs.push_back(s); });

  // A plain value is read once and asked to be written again, protected.
  bool migrate = false;
  EXPECT_EQ(settings.ReadSecret(&migrate), kSecret);
  EXPECT_TRUE(migrate);
  EXPECT_EQ(settings.ReadStamp(), 77);
  settings.SaveSecret(kSecret);
  const std::string text = ReadFile(ini);
  EXPECT_EQ(AsciiLower(text).find(kSecret), std::string::npos) << text;
  EXPECT_NE(text.find("Secret=dpapi:"), std::string::npos);
  EXPECT_EQ(settings.ReadSecret(&migrate), kSecret);
  EXPECT_FALSE(migrate);
  struct stat st{};
  ASSERT_EQ(::stat(keyFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);

  // A value made under another key (another user) reads as empty, and so does damage.
  TKeyFileProtector other(dir / "other/SettingsKey");
  TBookSettingsFile otherSettings(ini, other, nullptr);
  EXPECT_EQ(otherSettings.ReadSecret(), "");
  WriteFile(ini, "[Book]\r\nSecret=DPAPI:not*base64\r\n");
  EXPECT_EQ(settings.ReadSecret(), "");

  // Protection that fails keeps the secret out of the file and says so.
  WriteFile(ini, "[Book]\r\nSecret=" + kSecret + "\r\n");
  TFailingProtector failing;
  TBookSettingsFile broken(ini, failing, [&](const std::string& s) { logs.push_back(s); });
  broken.SaveSecret(kSecret);
  EXPECT_EQ(AsciiLower(ReadFile(ini)).find(kSecret), std::string::npos);
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.back(), "Could not save the sync setting Secret");
  // Turning sync off removes the value.
  settings.SaveSecret("");
  EXPECT_EQ(settings.ReadSecret(), "");
}
