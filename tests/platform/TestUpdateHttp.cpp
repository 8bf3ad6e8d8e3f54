// Real-socket tests: the libcurl HTTP client, downloads and the updater against a small HTTP server on
// 127.0.0.1. Time for the updater's schedule comes from a manual clock; checks run on the test's
// thread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/TovikClock.h"
#include "base/TovikFiles.h"
#include "crypto/TovikCrypto.h"
#include "tests/support/TinyHttpServer.h"
#include "update/TovikDownload.h"
#include "update/TovikServiceUpdate.h"
#include "update/TovikUpdate.h"
#include "update/TovikVersion.h"

namespace tovik {
namespace {

namespace fs = std::filesystem;
using test::THttpAnswer;
using test::TTinyHttpServer;

std::string Sha(const std::string& data) { return AsciiLower(BytesToHex(Sha256(Utf8Bytes(data)))); }

std::string ReadFile(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out, 1 << 30);
  return out;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tovik-upd-XXXXXX";
    FPath = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(FPath); }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// --- The HTTP client ------------------------------------------------------------------------------

class HttpCurl : public ::testing::Test {
 protected:
  TTinyHttpServer Server;
  std::shared_ptr<IHttpClient> Http = IHttpClient::Create();

  THttpResult Get(const std::string& url, std::string& body, std::int64_t max = 1 << 20) {
    THttpOptions o;
    o.UserAgent = "Tovik/412";
    return FetchText(*Http, url, o, max, body);
  }
};

TEST_F(HttpCurl, AnswersStatusesAndRedirects) {
  Server.Route("/a", THttpAnswer{200, "hello", {}, false, 0, ""});
  Server.Route("/gone", THttpAnswer{404, "not here", {}, false, 0, ""});
  Server.Route("/moved", THttpAnswer{302, "", {}, false, 0, Server.Url("/a")});
  Server.Route("/toftp", THttpAnswer{302, "", {}, false, 0, "ftp://127.0.0.1/a"});
  Server.Route("/tofile", THttpAnswer{302, "", {}, false, 0, "file:///etc/passwd"});
  struct Case {
    const char* What;
    std::string Url;
    THttpOutcome Outcome;
    int Status;
    std::string Body;
  };
  const Case cases[] = {
      {"plain 200", Server.Url("/a"), THttpOutcome::hrOk, 200, "hello"},
      {"404 without its body", Server.Url("/gone"), THttpOutcome::hrOk, 404, ""},
      {"redirect to http followed", Server.Url("/moved"), THttpOutcome::hrOk, 200, "hello"},
      {"redirect to ftp refused", Server.Url("/toftp"), THttpOutcome::hrFailed, 302, ""},
      {"redirect to file refused", Server.Url("/tofile"), THttpOutcome::hrFailed, 302, ""},
      {"not an http address", "file:///etc/passwd", THttpOutcome::hrFailed, 0, ""},
      {"nobody listening", "http://127.0.0.1:1/x", THttpOutcome::hrFailed, 0, ""},
  };
  for (const Case& c : cases) {
    std::string body;
    THttpResult r = Get(c.Url, body);
    EXPECT_EQ(r.Outcome, c.Outcome) << c.What << ": " << r.Error;
    if (c.Outcome == THttpOutcome::hrOk) {
      EXPECT_EQ(r.Status, c.Status) << c.What;
    }
    EXPECT_EQ(body, c.Body) << c.What;
    if (c.Outcome == THttpOutcome::hrFailed) {
      EXPECT_FALSE(r.Error.empty()) << c.What;
    }
  }
  auto seen = Server.Seen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().UserAgent, "Tovik/412");
  EXPECT_EQ(Http->Head(Server.Url("/gone"), THttpOptions{}).Status, 404);
}

TEST_F(HttpCurl, CapsTheBody) {
  // An announced length above the cap is refused before the body comes; a body without a length
  // stops as soon as it passes the cap.
  Server.Route("/big", THttpAnswer{200, std::string(2000, 'b'), {}, false, 0, ""});
  Server.Route("/endless", THttpAnswer{200, "", {}, true, 50 << 20, ""});
  for (const char* path : {"/big", "/endless"}) {
    std::string body;
    THttpResult r = Get(Server.Url(path), body, 1000);
    EXPECT_EQ(r.Outcome, THttpOutcome::hrTooLarge) << path;
    EXPECT_TRUE(body.empty()) << path;
  }
  EXPECT_LT(Server.LastBodySent(), 50 << 20);
}

TEST_F(HttpCurl, ASlowButMovingAnswerIsNotCutOff) {
  // 30 bytes, one every 100 ms: 3 s in all, far longer than the 1 s stall limit, yet never stalled (the
  // gaps stay a tenth of the limit, so a busy machine does not turn them into stalls).
  const std::string text = "a slow answer, one byte a time";
  THttpAnswer slow{200, text, {}, false, 0, ""};
  slow.DripMs = 100;
  Server.Route("/slow", slow);
  THttpOptions o;
  o.ConnectTimeoutMs = 5000;
  o.StallTimeoutMs = 1000;
  std::string body;
  THttpResult r = FetchText(*Http, Server.Url("/slow"), o, 1000, body);
  EXPECT_EQ(r.Outcome, THttpOutcome::hrOk) << r.Error;
  EXPECT_EQ(body, text);
}

// --- Downloads ------------------------------------------------------------------------------------

// The real client, watching how large the file on disk gets while the body arrives.
class TWatchingClient final : public IHttpClient {
 public:
  TWatchingClient(std::shared_ptr<IHttpClient> AInner, std::string AFile)
      : FInner(std::move(AInner)), FFile(std::move(AFile)) {}
  THttpResult Get(const std::string& AUrl, const THttpOptions& AOptions, const THttpSink& AOnData) override {
    return FInner->Get(AUrl, AOptions, [&](std::string_view piece) {
      const bool go = AOnData(piece);
      struct stat st {};
      if (::stat(FFile.c_str(), &st) == 0) MaxOnDisk = std::max<std::int64_t>(MaxOnDisk, st.st_size);
      return go;
    });
  }
  THttpResult Head(const std::string& AUrl, const THttpOptions& AOptions) override { return FInner->Head(AUrl, AOptions); }
  std::int64_t MaxOnDisk = 0;

 private:
  std::shared_ptr<IHttpClient> FInner;
  std::string FFile;
};

TEST_F(HttpCurl, DownloadChecksAndCleansUp) {
  TempDir dir;
  const std::string program(300'000, 'p');
  const std::string file = dir.Path() + "/dl";
  Server.Route("/good", THttpAnswer{200, program, {}, false, 0, ""});
  Server.Route("/longer", THttpAnswer{200, program, {}, true, 20 << 20, ""});
  Server.Route("/short", THttpAnswer{200, program.substr(1), {}, false, 0, ""});
  Server.Route("/other", THttpAnswer{200, std::string(program.size(), 'q'), {}, false, 0, ""});
  Server.Route("/gone", THttpAnswer{404, "", {}, false, 0, ""});
  struct Case {
    const char* Path;
    std::string Message;
  };
  const Case cases[] = {
      {"/good", ""},
      {"/longer", kWrongSize},
      {"/short", kWrongSize},
      {"/other", kWrongHash},
      {"/gone", "download failed (404)"},
  };
  for (const Case& c : cases) {
    TWatchingClient watch(Http, file);
    TDownloadResult r = DownloadFile(watch, Server.Url(c.Path), THttpOptions{}, file,
                                     static_cast<std::int64_t>(program.size()), Sha(program));
    EXPECT_EQ(r.Message, c.Message) << c.Path;
    EXPECT_LE(watch.MaxOnDisk, static_cast<std::int64_t>(program.size()) + 65536) << c.Path;
    EXPECT_EQ(fs::exists(file), c.Message.empty()) << c.Path << ": a refused download is deleted";
    if (c.Message.empty()) {
      EXPECT_TRUE(ReadFile(file) == program) << c.Path;
    }
  }
  // The body longer than declared was cut off early, not read to its end.
  Server.Route("/longer", THttpAnswer{200, program, {}, true, 20 << 20, ""});
  DownloadFile(*Http, Server.Url("/longer"), THttpOptions{}, file, static_cast<std::int64_t>(program.size()),
               Sha(program));
  EXPECT_LT(Server.LastBodySent(), 20 << 20);

  // A link put where the download goes is replaced, never written through.
  const std::string victim = dir.Path() + "/victim";
  WriteFileAtomic(victim, "keep");
  fs::remove(file);
  fs::create_symlink(victim, file);
  EXPECT_EQ(DownloadFile(*Http, Server.Url("/good"), THttpOptions{}, file, static_cast<std::int64_t>(program.size()),
                         Sha(program))
                .Message,
            "");
  EXPECT_EQ(ReadFile(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(file));
}

TEST(UpdateFolder, PrivateFolderIsMadePrivate) {
  TempDir dir;
  const std::string f = dir.Path() + "/cache/Update";
  EXPECT_EQ(EnsurePrivateFolder(f), "");
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_all);
  ::chmod(f.c_str(), 0777);
  EXPECT_EQ(EnsurePrivateFolder(f), "");
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_all);
  const std::string link = dir.Path() + "/link";
  fs::create_directory_symlink(f, link);
  EXPECT_NE(EnsurePrivateFolder(link), "");
}

// --- The updater ----------------------------------------------------------------------------------

class TRecordingSystem final : public IUpdateSystem {
 public:
  bool StartProgram(const std::string& AProgram, const std::vector<std::string>& AArgs,
                    const std::string&) override {
    Started.push_back(AProgram);
    Args = AArgs;
    return StartWorks;
  }
  long ProcessId() override { return 4711; }
  bool ServiceRunning() override { return Service; }
  bool SignalService() override { return Service; }
  int RunElevated(const std::string& AProgram, const std::string& AReady, const std::string& AUpdateFile) override {
    return Real ? Real->RunElevated(AProgram, AReady, AUpdateFile) : -1;
  }
  std::unique_ptr<IUpdateSystem> Real;  // the Linux backend's pkexec step, when set
  std::vector<std::string> Started;
  std::vector<std::string> Args;
  bool StartWorks = true;
  bool Service = false;
};

class Updater : public ::testing::Test {
 protected:
  static constexpr int kOwn = 412;
  TManualClock Clock;
  TTinyHttpServer Server;
  TempDir Dir;
  TEcdsaKey Vendor = TEcdsaKey::CreateNew();  // a test key pair, made for this test
  TRecordingSystem System;
  std::vector<std::string> Lines;
  std::string NewProgram = std::string(200'000, 'n') + "new build";
  std::string OldProgram = "old build";

  void SetUp() override {
    fs::create_directories(Dir.Path() + "/app");
    WriteFileAtomic(Program(), OldProgram, 0755);
    ::chmod(Program().c_str(), 0755);
    Serve(413, NewProgram);
  }
  std::string Program() const { return Dir.Path() + "/app/tovik"; }
  std::string UpdateUrl() const { return Server.Url("/tovik/update.txt"); }

  // The update file for a build whose program file is AData, served with the program file beside it.
  void Serve(int ABuild, const std::string& AData, std::int64_t ASize = -1, std::string ASha = {}) {
    TUpdateInfo info{ABuild, ASize < 0 ? static_cast<std::int64_t>(AData.size()) : ASize,
                     ASha.empty() ? Sha(AData) : ASha, "https://example.invalid/tovik"};
    Server.Route("/tovik/update.txt", THttpAnswer{200, SignUpdateFile(info, Vendor), {}, false, 0, ""});
    Server.Route("/tovik/tovik", THttpAnswer{200, AData, {}, false, 0, ""});
  }

  TUpdaterSetup Setup(bool AEnabled = true) {
    TUpdaterSetup s;
    s.Url = UpdateUrl();
    s.DefaultUrl = "https://update.example.invalid/tovik/update.txt";
    s.Enabled = AEnabled;
    s.OwnBuild = kOwn;
    s.ProgramFile = Program();
    s.DownloadFolder = Dir.Path() + "/cache/TovikUpdate";
    s.VendorKey = Vendor.Public();
    return s;
  }
  std::unique_ptr<TUpdater> Make(const TUpdaterSetup& s, std::shared_ptr<IHttpClient> http = IHttpClient::Create()) {
    TUpdaterThreads inline_;
    inline_.Start = [](std::function<void()> job) { job(); };
    inline_.Post = [](std::function<void()> fn) { fn(); };
    return std::make_unique<TUpdater>(s, http, System, inline_,
                                      [this](const std::string& l) { Lines.push_back(l); }, Clock.Now());
  }
  std::size_t Requests() const { return Server.Seen().size(); }
};

TEST_F(Updater, ChecksOnTheSchedule) {
  Server.Route("/tovik/update.txt", THttpAnswer{200, "", {}, false, 0, ""});  // refused: retry in 30 min
  auto u = Make(Setup());
  const TTick t0 = Clock.Now();
  Clock.Set(t0 + kFirstCheckMs - 1);
  u->Tick(Clock.Now());
  EXPECT_EQ(Requests(), 0u);
  Clock.Set(t0 + kFirstCheckMs);
  u->Tick(Clock.Now());
  ASSERT_EQ(Requests(), 1u);
  EXPECT_EQ(Server.Seen()[0].Target, "/tovik/update.txt?b=412");
  EXPECT_EQ(Server.Seen()[0].UserAgent, "Tovik/412");
  EXPECT_EQ(u->LastResult(), "update file refused: not a Tovik update file");
  EXPECT_EQ(u->NextCheck(), Clock.Now() + kRetryAfterFailureMs);
  Clock.Set(t0 + kFirstCheckMs + kRetryAfterFailureMs - 1);
  u->Tick(Clock.Now());
  EXPECT_EQ(Requests(), 1u);

  // Up to date: the next check comes 3 hours later.
  Serve(kOwn, NewProgram);
  Clock.Set(t0 + kFirstCheckMs + kRetryAfterFailureMs);
  u->Tick(Clock.Now());
  EXPECT_EQ(Requests(), 2u);
  EXPECT_EQ(u->LastResult(), "Tovik is up to date");
  EXPECT_EQ(u->NextCheck(), Clock.Now() + kCheckPeriodMs);
  EXPECT_NE(u->StatusText(Clock.Now()).find("Next check in about 181 minute(s)."), std::string::npos)
      << u->StatusText(Clock.Now());
}

// The real client, keeping the options of every request.
class TOptionsClient final : public IHttpClient {
 public:
  THttpResult Get(const std::string& AUrl, const THttpOptions& AOptions, const THttpSink& AOnData) override {
    Seen.push_back(AOptions);
    return FInner->Get(AUrl, AOptions, AOnData);
  }
  THttpResult Head(const std::string& AUrl, const THttpOptions& AOptions) override { return FInner->Head(AUrl, AOptions); }
  std::vector<THttpOptions> Seen;

 private:
  std::shared_ptr<IHttpClient> FInner = IHttpClient::Create();
};

TEST_F(Updater, DownloadsAndChecksANewerBuild) {
  auto http = std::make_shared<TOptionsClient>();
  auto u = Make(Setup(), http);
  u->CheckNow(Clock.Now());
  // Connect within 15 s; the answer may take as long as it keeps moving (a stall time-out of 60 s);
  // the update file is read with a small cap, the program file with its declared size.
  ASSERT_EQ(http->Seen.size(), 2u);
  for (const THttpOptions& o : http->Seen) {
    EXPECT_EQ(o.ConnectTimeoutMs, 15'000);
    EXPECT_EQ(o.StallTimeoutMs, 60'000);
    EXPECT_EQ(o.UserAgent, "Tovik/412");
  }
  EXPECT_EQ(http->Seen[0].MaxBytes, kMaxUpdateFileText);
  EXPECT_EQ(http->Seen[1].MaxBytes, static_cast<std::int64_t>(NewProgram.size()));
  ASSERT_TRUE(u->Ready()) << u->LastResult();
  EXPECT_EQ(u->LastResult(), "build 413 found and downloaded");
  EXPECT_EQ(u->ReadyBuild(), 413);
  EXPECT_TRUE(ReadFile(u->ReadyFile()) == NewProgram);
  EXPECT_EQ(fs::status(Dir.Path() + "/cache/TovikUpdate").permissions() & fs::perms::all, fs::perms::owner_all);
  // The company-server rule: the program file comes from beside the update file.
  EXPECT_EQ(Server.Seen().back().Target, "/tovik/tovik");
  EXPECT_EQ(Lines.back(), "Update: build 413 downloaded and checked; installs when Tovik is not in use");
  EXPECT_NE(u->StatusText(Clock.Now()).find("Build 413 is downloaded and checked."), std::string::npos);
}

TEST_F(Updater, RefusesWithItsReason) {
  struct Case {
    const char* What;
    std::function<void()> Arrange;
    std::string Result;
  };
  TEcdsaKey other = TEcdsaKey::CreateNew();
  const Case cases[] = {
      {"no update file", [&] { Server.Route("/tovik/update.txt", THttpAnswer{404, "", {}, false, 0, ""}); },
       "no update file (404)"},
      {"not an update file",
       [&] { Server.Route("/tovik/update.txt", THttpAnswer{200, "tovikupdate1\r\n", {}, false, 0, ""}); },
       "update file refused: not a Tovik update file"},
      {"incomplete",
       [&] { Server.Route("/tovik/update.txt", THttpAnswer{200, "TOVIKUPDATE1\r\nbuild=413\r\n", {}, false, 0, ""}); },
       "update file refused: the update file is incomplete"},
      {"not signed",
       [&] {
         Server.Route("/tovik/update.txt",
                      THttpAnswer{200, "TOVIKUPDATE1\r\nbuild=413\r\nsize=9\r\nsha256=" + std::string(64, 'a') +
                                           "\r\nurl=https://x/y\r\n", {}, false, 0, ""});
       },
       "update file refused: the update file is not signed"},
      {"signed with another key",
       [&] {
         TUpdateInfo info{413, 9, std::string(64, 'a'), "https://x/y"};
         Server.Route("/tovik/update.txt", THttpAnswer{200, SignUpdateFile(info, other), {}, false, 0, ""});
       },
       "update file refused: the signature of the update file is not valid"},
      {"update file too long",
       [&] { Server.Route("/tovik/update.txt", THttpAnswer{200, "", {}, true, 1 << 20, ""}); },
       "update file refused: it is too large"},
      {"program file too large", [&] { Serve(413, NewProgram, kMaxUpdateSize + 1); }, "update refused: too large"},
      {"wrong size", [&] { Serve(413, NewProgram, static_cast<std::int64_t>(NewProgram.size()) + 1); },
       kWrongSize},
      {"body longer than declared",
       [&] {
         Serve(413, NewProgram);
         Server.Route("/tovik/tovik", THttpAnswer{200, NewProgram, {}, true, 8 << 20, ""});
       },
       kWrongSize},
      {"wrong hash", [&] { Serve(413, NewProgram, -1, Sha("something else")); }, kWrongHash},
      {"download gone",
       [&] {
         Serve(413, NewProgram);
         Server.Route("/tovik/tovik", THttpAnswer{403, "", {}, false, 0, ""});
       },
       "download failed (403)"},
  };
  for (const Case& c : cases) {
    c.Arrange();
    Lines.clear();
    auto u = Make(Setup());
    u->CheckNow(Clock.Now());
    EXPECT_EQ(u->LastResult(), c.Result) << c.What;
    EXPECT_FALSE(u->Ready()) << c.What;
    EXPECT_EQ(u->NextCheck(), Clock.Now() + kRetryAfterFailureMs) << c.What;
    ASSERT_FALSE(Lines.empty()) << c.What;
    EXPECT_EQ(Lines.back(), "Update: " + c.Result) << c.What;
    EXPECT_FALSE(fs::exists(Dir.Path() + "/cache/TovikUpdate/Tovik-413")) << c.What;
  }
}

TEST_F(Updater, OffCopiesOnlyReport) {
  // Enabled=0: no automatic check; Check now tells about the newer build without downloading it.
  auto u = Make(Setup(false));
  Clock.Advance(kFirstCheckMs * 10);
  u->Tick(Clock.Now());
  EXPECT_EQ(Requests(), 0u);
  u->CheckNow(Clock.Now());
  EXPECT_EQ(u->LastResult(), "build 413 is available");
  EXPECT_FALSE(u->Ready());
  EXPECT_EQ(Server.Seen().back().Target, "/tovik/update.txt?b=412");
  EXPECT_EQ(Lines.front(), "Update: Automatic updates off for this copy (build 412): turned off in Tovik.ini ([Update] Enabled=0)");

  // A copy installed by the package manager leaves updates to the system.
  TUpdaterSetup packaged = Setup();
  packaged.PackageManaged = true;
  auto p = Make(packaged);
  EXPECT_FALSE(p->Enabled());
  EXPECT_EQ(p->OffWhy(), "installed by the system's package manager");
  EXPECT_NE(p->StatusText(Clock.Now()).find("Automatic updates are off for this copy: installed by the system's package manager."),
            std::string::npos);
}

TEST_F(Updater, PackagedCopyHandsANewerBuildToTheService) {
  TUpdaterSetup packaged = Setup();
  packaged.PackageManaged = true;
  System.Service = true;
  auto u = Make(packaged);
  Clock.Advance(kFirstCheckMs);
  u->Tick(Clock.Now());
  EXPECT_EQ(u->LastResult(), "build 413 is available");
  EXPECT_FALSE(fs::exists(Dir.Path() + "/cache/TovikUpdate/Tovik-413")) << "a packaged copy downloads nothing";
  EXPECT_TRUE(u->Handed());
  EXPECT_EQ(Lines.back(), "Update: build 413: the system service installs its package");
  EXPECT_FALSE(u->PackageInstalled(Clock.Now()));

  // dpkg puts build 413 in place (a program file with its build record stamped).
  fs::remove(Program());
  fs::copy_file("/proc/self/exe", Program());
  ASSERT_TRUE(StampFileBuild(Program(), 413));
  EXPECT_FALSE(u->PackageInstalled(Clock.Now() + kOnDiskLookMs - 1));
  EXPECT_TRUE(u->PackageInstalled(Clock.Now() + kOnDiskLookMs));
  EXPECT_TRUE(u->RestartOnNewBuild("/min"));
  EXPECT_EQ(System.Args, (std::vector<std::string>{"/min", "/noadmin", "/waitpid:4711"}));
  EXPECT_EQ(Lines.back(), "Update: build 413 installed by the service (was 412); restarting");
}

TEST_F(Updater, InstallsAndRestarts) {
  auto u = Make(Setup());
  u->CheckNow(Clock.Now());
  ASSERT_TRUE(u->Ready());
  ASSERT_TRUE(u->Install("/tray /show", Clock.Now()));
  EXPECT_TRUE(ReadFile(Program()) == NewProgram);
  EXPECT_TRUE(fs::status(Program()).permissions() == (fs::perms::owner_all | fs::perms::group_read |
                                                       fs::perms::group_exec | fs::perms::others_read |
                                                       fs::perms::others_exec));
  EXPECT_EQ(ReadFile(Program() + ".old"), OldProgram);
  ASSERT_EQ(System.Started.size(), 1u);
  EXPECT_EQ(System.Started[0], Program());
  EXPECT_EQ(System.Args, (std::vector<std::string>{"/tray", "/show", "/noadmin", "/waitpid:4711"}));
  EXPECT_EQ(Lines.back(), "Update: build 413 installed (was 412); restarting");
  DeleteOldCopies(Program());
  EXPECT_FALSE(fs::exists(Program() + ".old"));
}

TEST_F(Updater, RefusesAFileSwappedAfterItsCheck) {
  auto u = Make(Setup());
  u->CheckNow(Clock.Now());
  ASSERT_TRUE(u->Ready());
  // Same size, other bytes: put there after the download's check.
  std::string swapped = NewProgram;
  swapped[10] = 'X';
  WriteFileAtomic(u->ReadyFile(), swapped);
  EXPECT_FALSE(u->Install("", Clock.Now()));
  EXPECT_EQ(ReadFile(Program()), OldProgram);
  EXPECT_FALSE(fs::exists(Program() + ".new"));
  EXPECT_TRUE(u->GaveUp());
  EXPECT_EQ(Lines.back(), std::string("Update: could not install build 413: ") + kWrongHash);
  EXPECT_TRUE(System.Started.empty());
}

TEST_F(Updater, PutsThePreviousBuildBackWhenTheNewOneDoesNotStart) {
  System.StartWorks = false;
  auto u = Make(Setup());
  u->CheckNow(Clock.Now());
  EXPECT_FALSE(u->Install("", Clock.Now()));
  EXPECT_EQ(ReadFile(Program()), OldProgram);
  EXPECT_EQ(Lines.back(), "Update: the new Tovik did not start; the previous build is back in place");
}

// --- Install now in a folder the user cannot write: pkexec and the elevated step ----------------------

// Makes AFolder a read-only bind mount in a mount namespace of this (child) process's own: the user
// cannot write it, as in a folder of root's. A user namespace maps this user to root in it when the
// test does not run as root.
bool ReadOnlyInOwnNamespace(const std::string& AFolder) {
  if (::geteuid() != 0) {
    const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    auto put = [](const char* path, const std::string& text) {
      TFd fd(::open(path, O_WRONLY | O_CLOEXEC));
      return fd && ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    };
    put("/proc/self/setgroups", "deny");
    if (!put("/proc/self/uid_map", "0 " + uid + " 1") || !put("/proc/self/gid_map", "0 " + gid + " 1")) return false;
  } else if (::unshare(CLONE_NEWNS) != 0) {
    return false;
  }
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(AFolder.c_str(), AFolder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::mount(nullptr, AFolder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

// The real program's "/applyupdate", reached through a stand-in pkexec first on PATH (never the real
// one): it records its arguments, does what the case says (the administrator's answer), makes the
// program folder writable as the administrator's rights would, and runs the command.
TEST_F(Updater, InstallNowGoesThroughPkexecAndTheElevatedStepChecksForItself) {
  const std::string bin = Dir.Path() + "/bin";
  fs::create_directories(bin);
  const std::string argsFile = Dir.Path() + "/pkexec-args";
  ASSERT_TRUE(WriteFileAtomic(bin + "/pkexec",
                              "#!/bin/sh\n"
                              "printf '%s\\n' \"$@\" > \"$TOVIK_TEST_PKEXEC_ARGS\"\n"
                              "case \"$TOVIK_TEST_PKEXEC\" in\n"
                              "  dismiss) exit 126 ;;\n"
                              "  swap) printf X | dd of=\"$4\" bs=1 seek=4096 conv=notrunc 2>/dev/null ;;\n"
                              "esac\n"
                              "mount -o remount,bind,rw \"$(dirname \"$1\")\" || exit 127\n"
                              "exec \"$@\"\n",
                              0755));
  // The program and its next build: this build's tovik (without its debug sections, to stay well
  // under the size limit), stamped with the builds and the test's key.
  const std::string shipped = Dir.Path() + "/shipped";
  ASSERT_EQ(std::system(("strip --strip-debug -o '" + shipped + "' '" TOVIK_BIN "'").c_str()), 0);
  // An AddressSanitizer build stays above the largest update accepted even without debug information.
  if (static_cast<std::int64_t>(std::filesystem::file_size(shipped)) > kMaxUpdateSize)
    GTEST_SKIP() << "this build of the program is larger than the largest update accepted (" << kMaxUpdateSize
                 << " bytes) even without its debug information";
  ASSERT_TRUE(StampFileUpdateKey(shipped, Vendor.Public()));
  ASSERT_TRUE(StampFileBuild(shipped, 413));
  const std::string next = ReadFile(shipped);
  ASSERT_TRUE(StampFileBuild(shipped, 412));
  const std::string current = ReadFile(shipped);
  Serve(413, next);

  struct Case {
    const char* What;
    const char* Answer;  // what the stand-in does
    bool Installed;
    std::string Line;
  };
  const Case cases[] = {
      {"granted", "grant", true, "Update: build 413 installed (was 412); restarting"},
      {"prompt dismissed", "dismiss", false,
       "Update: build 413 not installed: no administrator rights (the prompt was cancelled)"},
      {"ready file changed after the updater's own check", "swap", false,
       "Update: build 413 could not be put in place in " + Dir.Path() + "/app (code 1)"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFileAtomic(Program(), current, 0755)) << c.What;
    Lines.clear();
    System.Started.clear();
    System.Real = IUpdateSystem::Create();
    auto u = Make(Setup());
    u->CheckNow(Clock.Now());
    ASSERT_TRUE(u->Ready()) << c.What << ": " << u->LastResult();
    ::unlink(argsFile.c_str());

    // The install runs in a child with the program folder read-only; it reports its lines in a file.
    const std::string report = Dir.Path() + "/report";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (!ReadOnlyInOwnNamespace(Dir.Path() + "/app")) ::_exit(3);
      if (FolderWritable(Program())) ::_exit(4);
      ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
      ::setenv("TOVIK_TEST_PKEXEC", c.Answer, 1);
      ::setenv("TOVIK_TEST_PKEXEC_ARGS", argsFile.c_str(), 1);
      std::string text = u->InstallElevated("/tray", Clock.Now()) ? "true\n" : "false\n";
      for (const std::string& l : Lines) text += l + "\n";
      for (const std::string& p : System.Started) text += "started " + p + "\n";
      ::_exit(WriteFileAtomic(report, text) ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.What << ": child status " << status;
    const std::string got = ReadFile(report);
    EXPECT_EQ(got.rfind(c.Installed ? "true\n" : "false\n", 0), 0u) << c.What << ": " << got;
    EXPECT_NE(got.find(c.Line + "\n"), std::string::npos) << c.What << ": " << got;
    EXPECT_EQ(got.find("started ") != std::string::npos, c.Installed) << c.What << ": " << got;
    EXPECT_TRUE(ReadFile(Program()) == (c.Installed ? next : current)) << c.What;
    EXPECT_FALSE(fs::exists(Program() + ".new")) << c.What;
    // pkexec was asked to run the installed program on its own path, nothing else.
    const std::string args = ReadFile(argsFile);
    EXPECT_EQ(args.substr(0, args.find("/cache/")),
              Program() + "\n/applyupdate\n" + Program() + "\n" + Dir.Path())
        << c.What << ": " << args;
  }
}

// --- The service's side ----------------------------------------------------------------------------

class TFakeRequests final : public IUpdateRequests {
 public:
  bool Take() override { return std::exchange(Pending, false); }
  bool Pending = false;
};

class TFakeInstaller final : public IPackageInstaller {
 public:
  std::string Install(const std::string& APackage) override {
    Installed.push_back(ReadFile(APackage));
    if (Answer.empty() && OnInstall) OnInstall();
    return Answer;
  }
  std::vector<std::string> Installed;
  std::string Answer;
  std::function<void()> OnInstall;
};

// The update unit run in this process: what "tovik /serviceupdate" does in tovik-update.service.
class TInlineUnit final : public IUpdateUnit {
 public:
  std::string Run() override {
    ++Runs;
    return Body();
  }
  std::function<std::string()> Body;
  int Runs = 0;
};

bool Has(const std::vector<std::string>& ALines, const std::string& ALine) {
  return std::find(ALines.begin(), ALines.end(), ALine) != ALines.end();
}

class ServiceUpdate : public ::testing::Test {
 protected:
  TManualClock Clock;
  TTinyHttpServer Server;
  TempDir Dir;
  TEcdsaKey Vendor = TEcdsaKey::CreateNew();  // a test key pair
  TFakeRequests Requests;
  std::shared_ptr<TFakeInstaller> Installer = std::make_shared<TFakeInstaller>();
  std::shared_ptr<TInlineUnit> Unit = std::make_shared<TInlineUnit>();
  std::vector<std::string> Lines;
  std::string Package = std::string(100'000, 'd') + "package";
  int OnDisk = 412;  // what the fake ReadBuild sees
  std::string RootProblem;

  void Serve(int ABuild, const TEcdsaKey* AKey = nullptr, std::int64_t ASize = -1) {
    // A company server: the package comes from beside the update file.
    TUpdateInfo info{ABuild, ASize >= 0 ? ASize : static_cast<std::int64_t>(Package.size()), Sha(Package),
                     "https://example.invalid/x.deb"};
    Server.Route("/tovik/update.txt", THttpAnswer{200, SignUpdateFile(info, AKey ? *AKey : Vendor), {}, false, 0, ""});
    Server.Route("/tovik/tovik.deb", THttpAnswer{200, Package, {}, false, 0, ""});
  }
  TServiceUpdateSetup Setup(const std::string& ini) {
    WriteFileAtomic(Dir.Path() + "/Tovik.ini", ini);
    TServiceUpdateSetup s;
    s.ProgramFile = Dir.Path() + "/tovik";
    s.SettingsFile = Dir.Path() + "/Tovik.ini";
    s.DefaultUrl = "https://update.example.invalid/tovik/update.txt";
    s.DownloadFolder = Dir.Path() + "/root-cache";
    s.RunningBuild = 412;
    s.VendorKey = Vendor.Public();
    return s;
  }
  std::function<int(const std::string&)> ReadBuild() {
    return [this](const std::string&) { return OnDisk; };
  }
  TUpdateLog Log() {
    return [this](const std::string& l) { Lines.push_back(l); };
  }
  std::unique_ptr<TServiceUpdater> Make(const std::string& ini) {
    const TServiceUpdateSetup s = Setup(ini);
    Unit->Body = [this, s] {
      return RunServiceInstallStep(s, *IHttpClient::Create(), *Installer, ReadBuild(), Log()) ? ""
                                                                                              : "tovik ended with code 1";
    };
    auto u = std::make_unique<TServiceUpdater>(s, Unit, Requests, Log(), Clock.Now(),
                                               [](std::function<void()> job) { job(); });
    u->ReadBuild = ReadBuild();
    u->RootOnly = [this](const std::string&) { return RootProblem; };
    return u;
  }
  std::string Ini() const { return "[Update]\nUrl=" + Server.Url("/tovik/update.txt") + "\n"; }
  bool Ask(TServiceUpdater& u) {
    Requests.Pending = true;
    return u.UpdateCheck(Clock.Now());
  }
};

TEST_F(ServiceUpdate, InstallsTheCheckedPackageAndRestarts) {
  Serve(413);
  Installer->OnInstall = [this] { OnDisk = 413; };  // dpkg puts the new program file in place
  auto u = Make(Ini());
  EXPECT_FALSE(Ask(*u));
  EXPECT_EQ(Unit->Runs, 1);
  ASSERT_EQ(Installer->Installed.size(), 1u) << (Lines.empty() ? "" : Lines.back());
  EXPECT_TRUE(Installer->Installed[0] == Package);
  EXPECT_EQ(Server.Seen().front().UserAgent, "TovikService/412");
  EXPECT_EQ(Lines.back(), "Update: build 413 installed (was 412)");
  EXPECT_FALSE(fs::exists(Dir.Path() + "/root-cache/tovik-413.deb"));
  EXPECT_EQ(fs::status(Dir.Path() + "/root-cache").permissions() & fs::perms::all, fs::perms::owner_all);
  // The next round restarts the service onto it.
  EXPECT_TRUE(u->UpdateCheck(Clock.Now() + 2000));
  EXPECT_EQ(Lines.back(), "Update: restarting the service on the new build");

  // Up to date: nothing is installed, nothing restarts.
  Installer->Installed.clear();
  Lines.clear();
  auto again = Make(Ini());
  OnDisk = 412;
  Serve(412);
  EXPECT_FALSE(Ask(*again));
  EXPECT_EQ(Lines.back(), "Update: asked, but build 412 is already in place");
  EXPECT_TRUE(Installer->Installed.empty());
  EXPECT_EQ(again->State(), TServiceUpdater::usIdle);
  EXPECT_FALSE(again->UpdateCheck(Clock.Now() + 2000));
}

TEST_F(ServiceUpdate, RefusesWhatItCannotTrust) {
  const TEcdsaKey other = TEcdsaKey::CreateNew();
  struct Case {
    const char* What;
    std::string Ini;
    std::function<void()> Arrange;
    std::string Line;
  };
  const Case cases[] = {
      {"turned off", "[Update]\nEnabled=0\n", [] {}, "Update: asked, but [Update] Enabled=0 in " + Dir.Path() + "/Tovik.ini"},
      {"not http", "[Update]\nUrl=ftp://x/tovik/update.txt\n", [] {},
       "Update: asked, but the update address is not http:// or https://"},
      {"signed with another key", Ini(), [&] { Serve(413, &other); },
       "Update: could not install: update file refused: the signature of the update file is not valid"},
      {"wrong size", Ini(), [&] { Serve(413, nullptr, static_cast<std::int64_t>(Package.size()) - 1); },
       std::string("Update: could not install: ") + kWrongSize},
      {"wrong hash", Ini(),
       [&] {
         Serve(413);
         Server.Route("/tovik/tovik.deb", THttpAnswer{200, std::string(Package.size(), 'x'), {}, false, 0, ""});
       },
       std::string("Update: could not install: ") + kWrongHash},
      {"dpkg fails", Ini(),
       [&] {
         Serve(413);
         Installer->Answer = "dpkg ended with code 1";
       },
       "Update: could not install: the package was not installed: dpkg ended with code 1"},
  };
  for (const Case& c : cases) {
    c.Arrange();
    Installer->Installed.clear();
    Lines.clear();
    auto u = Make(c.Ini);
    EXPECT_FALSE(Ask(*u)) << c.What;
    EXPECT_TRUE(Has(Lines, c.Line)) << c.What << ": " << (Lines.empty() ? "" : Lines.back());
    EXPECT_EQ(u->State(), TServiceUpdater::usIdle) << c.What;
    if (std::string(c.What) != "dpkg fails") {
      EXPECT_TRUE(Installer->Installed.empty()) << c.What;
    }
    EXPECT_FALSE(fs::exists(Dir.Path() + "/root-cache/tovik-413.deb")) << c.What;
    Installer->Answer.clear();
  }
}

TEST_F(ServiceUpdate, ThePackageIsCheckedAgainRightBeforeDpkg) {
  Serve(413);
  const TServiceUpdateSetup s = Setup(Ini());
  // Same size, other bytes, put in place after the download's check.
  auto swap = [this](const std::string& package) {
    std::string other = Package;
    other[10] = 'X';
    ASSERT_TRUE(WriteFileAtomic(package, other));
  };
  try {
    RunServiceInstall(s, *IHttpClient::Create(), *Installer, ReadBuild(), Log(), swap);
    ADD_FAILURE() << "a swapped package was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), kWrongHash);
  }
  EXPECT_TRUE(Installer->Installed.empty());
  EXPECT_FALSE(fs::exists(Dir.Path() + "/root-cache/tovik-413.deb"));
}

TEST_F(ServiceUpdate, AskedAgainTooSoonIsSaidOncePerWindow) {
  Serve(412);  // nothing newer
  auto u = Make(Ini());
  Ask(*u);
  for (int i = 0; i < 5; ++i) {
    Clock.Advance(1000);
    Ask(*u);
  }
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(), "Update: asked again too soon; waiting"), 1);
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(), "Update: Tovik asks to install a new build"), 1);
  EXPECT_EQ(Unit->Runs, 1);
  Clock.Advance(kRequestGuardMs);
  Ask(*u);
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(), "Update: Tovik asks to install a new build"), 2);
  EXPECT_EQ(Unit->Runs, 2);
}

TEST_F(ServiceUpdate, RestartsOnlyOntoARootOnlyNewerFile) {
  auto u = Make(Ini());
  OnDisk = 414;
  RootProblem = "/opt/tovik may be changed by other users";
  for (int i = 0; i < 3; ++i) {
    Clock.Advance(kOnDiskCheckMs);
    EXPECT_FALSE(u->UpdateCheck(Clock.Now()));
  }
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(),
                       "Update: build 414 on disk is not used: /opt/tovik may be changed by other users"),
            1);
  RootProblem.clear();
  Clock.Advance(kOnDiskCheckMs - 1);
  EXPECT_FALSE(u->UpdateCheck(Clock.Now()));
  Clock.Advance(1);
  EXPECT_TRUE(u->UpdateCheck(Clock.Now()));
  EXPECT_EQ(Lines.back(), "Update: tovik build 414 is on disk (running 412); restarting the service");
}

TEST(RootOnly, FilesAndFoldersOfOthersAreRefused) {
  TempDir dir;  // under /tmp: writable by everybody
  const std::string f = dir.Path() + "/tovik";
  WriteFileAtomic(f, "x");
  EXPECT_NE(RootOnlyProblem(f), "");
  EXPECT_EQ(RootOnlyProblem("/bin/sh"), "");
}

TEST(UpdateRequests, DatagramsAreTakenOnce) {
  TempDir dir;
  const std::string path = dir.Path() + "/run/update-request";
  std::string error;
  auto requests = IUpdateRequests::Create(path, error);
  ASSERT_TRUE(requests) << error;
  EXPECT_FALSE(requests->Take());
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write |
                fs::perms::others_read | fs::perms::others_write);
  TFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(::sendto(fd.Get(), "update", 6, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 6);
  EXPECT_TRUE(requests->Take());
  EXPECT_FALSE(requests->Take());
}

}  // namespace
}  // namespace tovik
