// The POSIX files of the session tools in a fresh temporary folder: received files are created new,
// never through a planted link, readable only by their owner until complete, and deleted when
// dropped; the history file gets its header once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "session/TovikFileTransfer.h"
#include "session/TovikSessionWire.h"
#include "session/TovikToolsPorts.h"

using namespace tovik;

namespace {

class ToolsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovik-files-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Root = tmpl;
    Folder = Root + "/Downloads/Tovik";
    Files = ITransferFiles::Create(Folder);
  }
  void TearDown() override { std::system(("rm -rf '" + Root + "'").c_str()); }

  static std::string Read(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static int Mode(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  }
  static bool Exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
  }

  std::string Root, Folder;
  std::shared_ptr<ITransferFiles> Files;
};

}  // namespace

TEST_F(ToolsFiles, CreatedNewPrivateUntilCompleteAndDeletedWhenDropped) {
  auto made = Files->CreateNew("a.txt");  // the folder is made on the way
  ASSERT_EQ(made.Outcome, TCreateOutcome::Created) << made.Error;
  std::string err;
  ASSERT_TRUE(made.File->Write(BytesOf("hello"), err));
  EXPECT_EQ(Mode(Folder + "/a.txt"), 0600);
  EXPECT_EQ(Files->CreateNew("a.txt").Outcome, TCreateOutcome::Exists);
  ASSERT_TRUE(made.File->Finish(err));
  made.File.reset();
  EXPECT_EQ(Mode(Folder + "/a.txt"), 0644);
  EXPECT_EQ(Read(Folder + "/a.txt"), "hello");

  auto dropped = Files->CreateNew("b.txt");
  ASSERT_EQ(dropped.Outcome, TCreateOutcome::Created);
  ASSERT_TRUE(dropped.File->Write(BytesOf("part"), err));
  dropped.File.reset();
  EXPECT_FALSE(Exists(Folder + "/b.txt"));

  for (const char* bad : {"", ".", "..", "x/y"}) EXPECT_EQ(Files->CreateNew(bad).Outcome, TCreateOutcome::Failed) << bad;
  ASSERT_TRUE(Files->FreeSpace());
  EXPECT_GT(*Files->FreeSpace(), 0);

  // Reading: files only.
  EXPECT_TRUE(Files->IsFile(Folder + "/a.txt"));
  EXPECT_FALSE(Files->IsFile(Folder));
  EXPECT_FALSE(Files->OpenRead(Folder, err));
  auto r = Files->OpenRead(Folder + "/a.txt", err);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Size(), 5);
  std::uint8_t buf[16];
  EXPECT_EQ(r->Read(buf, sizeof buf, err), 5);
  EXPECT_EQ(r->Read(buf, sizeof buf, err), 0);
}

// A link planted under the offered name is never written through: the file is saved beside it under
// the next free name, and the link's target is left as it was.
TEST_F(ToolsFiles, APlantedLinkIsNotFollowed) {
  ASSERT_EQ(Files->CreateNew("seed").Outcome, TCreateOutcome::Created);  // makes the folder
  const std::string target = Root + "/victim";
  { std::ofstream(target) << "untouched"; }
  ASSERT_EQ(::symlink(target.c_str(), (Folder + "/report.pdf").c_str()), 0);
  ASSERT_EQ(::symlink((Root + "/missing").c_str(), (Folder + "/report (2).pdf").c_str()), 0);

  TMsgChannel channel;
  std::vector<std::string> lines;
  TTransferView view;
  view.Line = [&lines](const std::string& l, bool) { lines.push_back(l); };
  view.Progress = [](const std::string&) {};
  {
    TFileReceiver rx(channel, Files.get(), view);
    TBytes offer;
    PutU32LE(offer, 1);
    PutU32LE(offer, 3);
    PutU32LE(offer, 0);
    Append(offer, BytesOf("report.pdf"));
    rx.HandleMessage(mkFileOffer, offer, 0);
    TBytes data;
    PutU32LE(data, 1);
    Append(data, BytesOf("new"));
    rx.HandleMessage(mkFileData, data, 0);
    rx.HandleMessage(mkFileDone, TBytes(data.begin(), data.begin() + 4), 0);
  }
  EXPECT_EQ(Read(target), "untouched");
  EXPECT_FALSE(Exists(Root + "/missing"));
  EXPECT_EQ(Read(Folder + "/report (3).pdf"), "new");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Received report (3).pdf (in Downloads/Tovik)");
}

TEST_F(ToolsFiles, TheHistoryFileGetsItsHeaderOnce) {
  const std::string path = Root + "/cfg/Tovik/Sessions.csv";
  auto history = ISessionHistory::Create(path);
  TSessionHistoryRow row;
  row.Start = {0, "2024-01-02 03:04"};
  row.End = {60, "2024-01-02 03:05"};
  row.Partner = "=cmd|' /C calc'!A0\r\nforged;row";
  history->Append(row);
  history->Append(row);
  const std::string line = "2024-01-02 03:04;2024-01-02 03:05;1;Helped;;'=cmd|' /C calc'!A0forged,row;;0;0;0\r\n";
  EXPECT_EQ(Read(path), SessionsHeaderLine() + line + line);
  EXPECT_EQ(Mode(path), 0600);
  const TWallTime now = TWallTime::Now();
  EXPECT_GT(now.Seconds, 1'600'000'000);
  EXPECT_EQ(now.Local.size(), 16u);
}
