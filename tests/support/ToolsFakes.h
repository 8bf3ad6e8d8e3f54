// Fakes of what the session tools reach outside the session: a clipboard, a tools window that keeps
// its lines, files in memory (sources by path, a download folder by name), a restart that answers as
// told, and a history that keeps its rows.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "session/TovikToolsPorts.h"

namespace tovik::test {

struct TFakeClipboard : IToolsClipboard {
  std::optional<std::string> Held;
  std::function<void()> Changed;
  int Sets = 0;
  std::optional<std::string> Text() override { return Held; }
  void SetText(const std::string& t) override {
    ++Sets;
    Copy(t);
  }
  void Listen(std::function<void()> f) override { Changed = std::move(f); }
  // The person copies a text.
  void Copy(const std::string& t) {
    Held = t;
    if (Changed) Changed();
  }
};

struct TFakeToolsWindowState {
  std::vector<std::string> Lines;
  std::string Caption, Progress;
  bool Visible = false, Share = true, Freed = false;
  IToolsEvents* Events = nullptr;
  bool Has(const std::string& l) const {
    for (const auto& x : Lines)
      if (x == l) return true;
    return false;
  }
};

struct TFakeToolsWindow : IToolsWindow {
  explicit TFakeToolsWindow(std::shared_ptr<TFakeToolsWindowState> s) : S(std::move(s)) {}
  std::shared_ptr<TFakeToolsWindowState> S;
  void AddLine(const std::string& t, bool show) override {
    S->Lines.push_back(t);
    if (show) S->Visible = true;
  }
  void SetProgress(const std::string& t) override { S->Progress = t; }
  void ShowWindow() override { S->Visible = true; }
  bool ShareClipboard() const override { return S->Share; }
  void FreeSafely() override {
    S->Freed = true;
    S->Events = nullptr;
    delete this;
  }
};

inline TToolsWindowFactory FakeToolsWindows(std::shared_ptr<TFakeToolsWindowState> s) {
  return [s](IToolsEvents& e, const std::string& caption) {
    s->Caption = caption;
    s->Events = &e;
    return TToolsWindowPtr(new TFakeToolsWindow(s));
  };
}

// Files in memory. Sources are read by path; the download folder holds finished files, files being
// written (mode 0600 until finished) and whatever a test plants.
struct TFakeDisk {
  std::map<std::string, TBytes> Sources;
  std::set<std::string> Folders;  // paths that are folders
  std::map<std::string, TBytes> Downloads;
  std::map<std::string, bool> Complete;  // name -> finished (false while being written)
  std::optional<std::int64_t> Free;
  bool FailCreate = false;
  std::optional<std::int64_t> FailWriteAfter;  // bytes a file takes before writes fail
  std::optional<std::int64_t> FailReadAfter;
  int Created = 0;
};

struct TFakeReadFile : IReadFile {
  TBytes Data;
  std::size_t At = 0;
  std::optional<std::int64_t> FailAfter;
  std::int64_t Size() const override { return static_cast<std::int64_t>(Data.size()); }
  std::int64_t Read(std::uint8_t* b, std::size_t n, std::string& err) override {
    if (FailAfter && static_cast<std::int64_t>(At) >= *FailAfter) {
      err = "Input/output error";
      return -1;
    }
    n = std::min(n, Data.size() - At);
    std::copy_n(Data.data() + At, n, b);
    At += n;
    return static_cast<std::int64_t>(n);
  }
};

struct TFakeWriteFile : IWriteFile {
  std::shared_ptr<TFakeDisk> D;
  std::string Name;
  bool Open = true;
  TFakeWriteFile(std::shared_ptr<TFakeDisk> d, std::string n) : D(std::move(d)), Name(std::move(n)) {}
  ~TFakeWriteFile() override {
    if (Open) Discard();
  }
  bool Write(TByteView data, std::string& err) override {
    TBytes& f = D->Downloads[Name];
    if (D->FailWriteAfter && static_cast<std::int64_t>(f.size() + data.size()) > *D->FailWriteAfter) {
      err = "No space left on device";
      return false;
    }
    f.insert(f.end(), data.begin(), data.end());
    return true;
  }
  bool Finish(std::string&) override {
    Open = false;
    D->Complete[Name] = true;
    return true;
  }
  void Discard() override {
    Open = false;
    D->Downloads.erase(Name);
    D->Complete.erase(Name);
  }
};

struct TFakeFiles : ITransferFiles {
  std::shared_ptr<TFakeDisk> D = std::make_shared<TFakeDisk>();
  bool IsFile(const std::string& p) override { return D->Sources.count(p) != 0; }
  std::unique_ptr<IReadFile> OpenRead(const std::string& p, std::string& err) override {
    auto it = D->Sources.find(p);
    if (it == D->Sources.end()) {
      err = "No such file or directory";
      return nullptr;
    }
    auto f = std::make_unique<TFakeReadFile>();
    f->Data = it->second;
    f->FailAfter = D->FailReadAfter;
    return f;
  }
  TCreateResult CreateNew(const std::string& name) override {
    TCreateResult r;
    if (name.find('/') != std::string::npos || name.empty() || name == "." || name == "..") {
      r.Error = "bad name";
      return r;
    }
    if (D->FailCreate) {
      r.Error = "Permission denied";
      return r;
    }
    if (D->Downloads.count(name)) {
      r.Outcome = TCreateOutcome::Exists;
      return r;
    }
    D->Downloads[name];
    D->Complete[name] = false;
    ++D->Created;
    r.Outcome = TCreateOutcome::Created;
    r.File = std::make_unique<TFakeWriteFile>(D, name);
    return r;
  }
  std::optional<std::int64_t> FreeSpace() override { return D->Free; }
};

struct TFakeRestart : ISystemRestart {
  std::string Answer;  // what Reboot answers ("" = under way)
  bool Defer = false;  // keep the answer for later
  std::function<void(const std::string&)> Pending;
  bool OnceEntry = false;
  int Reboots = 0;
  std::string AddRunOnce() override {
    OnceEntry = true;
    return "";
  }
  void RemoveRunOnce() override { OnceEntry = false; }
  // Gives the kept answer (and lets go of the callback, as a finished D-Bus call does).
  void AnswerNow(const std::string& e) {
    auto f = std::move(Pending);
    Pending = nullptr;
    f(e);
  }
  void Reboot(std::function<void(const std::string&)> done) override {
    ++Reboots;
    if (Defer)
      Pending = std::move(done);
    else
      done(Answer);
  }
};

struct TFakeHistory : ISessionHistory {
  std::vector<TSessionHistoryRow> Rows;
  void Append(const TSessionHistoryRow& r) override { Rows.push_back(r); }
};

}  // namespace tovik::test
