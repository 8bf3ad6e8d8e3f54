#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "RelayCoreFixture.h"

namespace tovik::test {
namespace {

class RelaySqliteTest : public RelayCoreTest {
 protected:
  std::filesystem::path FDir;
  std::unique_ptr<TSqliteRelayStore> FSql;

  void SetUp() override {
    char tmpl[] = "/tmp/tovik-relay-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    FDir = tmpl;
    OpenDb();
    RelayCoreTest::SetUp();
  }
  void TearDown() override {
    FCore.reset();
    FSql.reset();
    std::filesystem::remove_all(FDir);
  }
  void OpenDb() {
    std::string err;
    FSql = TSqliteRelayStore::Open((FDir / "relay.db").string(), err);
    ASSERT_TRUE(FSql) << err;
    FStore = FSql.get();
  }
  // The relay process ends and starts again on the same data folder.
  void RestartProcess() {
    FCore.reset();
    FSql.reset();
    OpenDb();
    Restart();
  }
};

TEST_F(RelaySqliteTest, KeptIDsListsOffersAndMessagesSurviveARestart) {
  struct stat st {};
  ASSERT_EQ(stat((FDir / "relay.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string secret(64, 'e'), book(64, 'b'), pair(32, 'D');
  TPc& pc = Online(0x0A000001, 5000);
  const std::string kept = pc.ID;
  Say(pc, "PIN " + kept + " " + secret);
  EXPECT_EQ(Take(pc), "PIN OK " + kept);
  Say(pc, "BOOKPUT " + book + " 77 0 1 QUFB");
  Say(pc, "BOOKPAIR PUT " + pair + " QUJD");
  Say(pc, "REPORT 0badf00d 0 1 QUFB");
  Say(pc, "FEEDBACK 0badf00d 0 1 QUFB");
  TPc& host = Online(0x0A000003, 5000);
  Say(pc, "CONNECT " + host.ID + " 192.168.2.20 6001 " + pc.C.CommitHex());
  Say(pc, "SESSION START " + host.ID + " V");
  Say(pc, "SESSION END");

  RestartProcess();
  TPc& back = NewPc(0x0A000009, 7000);
  Secure(back);
  Say(back, HelloLine(back));
  Take(back);
  Say(back, "PIN " + kept + " " + secret);
  EXPECT_EQ(Take(back), "PIN OK " + kept);
  EXPECT_EQ(Take(back), "ID " + kept + " pinned");
  Say(back, "BOOKGET " + book);
  EXPECT_EQ(Take(back), "BOOK 77 0 1 QUFB");
  Say(back, "BOOKPAIR GET " + pair);
  EXPECT_EQ(Take(back), "BOOKPAIR DATA " + pair + " QUJD");
  EXPECT_EQ(FStore->Reports(10).size(), 1u);
  EXPECT_EQ(FStore->Feedback(10).size(), 1u);
  EXPECT_EQ(FStore->Usage(10).size(), 1u);

  // Another secret still cannot take the kept ID after the restart.
  TPc& other = Online(0x0A000002, 5000);
  Say(other, "PIN " + kept + " " + std::string(64, 'f'));
  EXPECT_EQ(Take(other), "ERR PIN TAKEN");
}

TEST_F(RelaySqliteTest, ASecretKeepsOneIDInEitherStore) {
  // However many IDs one secret asks to keep, the store holds one row for it: the latest.
  for (IRelayStore* store : {static_cast<IRelayStore*>(FSql.get()), static_cast<IRelayStore*>(&FMemStore)}) {
    ASSERT_TRUE(store->PutKept("111111111", "same", 1));
    ASSERT_TRUE(store->PutKept("222222222", "other", 2));
    ASSERT_TRUE(store->PutKept("333333333", "same", 3));
    EXPECT_FALSE(store->KeptHash("111111111"));
    EXPECT_EQ(store->KeptHash("333333333"), "same");
    EXPECT_EQ(store->KeptHash("222222222"), "other");
    EXPECT_EQ(store->KeptIDOfHash("same"), "333333333");
  }
}

TEST_F(RelaySqliteTest, StoreRoundTrips) {
  TStoredBook b{5, {"QUFB", "QkJC"}};
  ASSERT_TRUE(FSql->PutBook("x", b, 1));
  const auto got = FSql->GetBook("x");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->Stamp, 5);
  EXPECT_EQ(got->Parts, b.Parts);
  EXPECT_EQ(FSql->BookCount(), 1);

  ASSERT_TRUE(FSql->PutPairOffer("P", "blob", 100));
  EXPECT_EQ(FSql->PairOfferCount(99), 1);
  EXPECT_EQ(FSql->PairOfferCount(100), 0);
  EXPECT_FALSE(FSql->TakePairOffer("P", 100));  // expired
  EXPECT_FALSE(FSql->TakePairOffer("P", 0));    // and gone

  ASSERT_TRUE(FSql->PutKept("123456789", "h1", 1));
  ASSERT_TRUE(FSql->PutKept("123456789", "h2", 2));
  EXPECT_EQ(FSql->KeptHash("123456789"), "h2");
  EXPECT_EQ(FSql->KeptIDOfHash("h2"), "123456789");
  ASSERT_TRUE(FSql->DeleteKept("123456789"));
  EXPECT_FALSE(FSql->KeptHash("123456789"));

  TStoredMessage m{0, "abcdef01", "111111111", "QUFB", 9};
  ASSERT_TRUE(FSql->AddFeedback(m));
  ASSERT_TRUE(FSql->AddFeedback(m));
  m.MsgID = "abcdef02";
  ASSERT_TRUE(FSql->AddFeedback(m));
  const auto list = FSql->Feedback(10);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].MsgID, "abcdef01");
  EXPECT_EQ(FSql->Feedback(1).at(0).MsgID, "abcdef02");
}

}  // namespace
}  // namespace tovik::test
