// logind's view of seat0 through sd-login, and the file-described seat of the tests.
//
// The test seat (TOVIK_TEST_LOGIND names the file) has one line per session and a line naming the
// active one; the process's own session comes from TOVIK_TEST_SESSION:
//   session <id> <uid> <type> <class> <display>
//   active <id>
#include <systemd/sd-login.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/linux/TovikServiceLinux.h"

namespace tovik {

namespace {

std::string Take(char* AText) {
  std::string s = AText ? AText : "";
  std::free(AText);
  return s;
}

class TSdLogind final : public ILogind {
 public:
  TSeatState ReadSeat() override {
    TSeatState seat;
    char* id = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &id, &uid) >= 0 && id) {
      TSeatSession s;
      s.Id = Take(id);
      s.Uid = uid;
      char* text = nullptr;
      if (sd_session_get_type(s.Id.c_str(), &text) >= 0) s.Type = Take(text);
      text = nullptr;
      if (sd_session_get_class(s.Id.c_str(), &text) >= 0) s.Class = Take(text);
      text = nullptr;
      if (sd_session_get_display(s.Id.c_str(), &text) >= 0) s.Display = Take(text);
      seat.Active = s;
    }
    uid_t* uids = nullptr;
    const int n = sd_seat_get_sessions("seat0", nullptr, &uids, nullptr);
    for (int i = 0; i < n && uids; ++i)
      if (std::find(seat.Uids.begin(), seat.Uids.end(), uids[i]) == seat.Uids.end()) seat.Uids.push_back(uids[i]);
    std::free(uids);
    return seat;
  }
  std::string OwnSession() override {
    char* id = nullptr;
    return sd_pid_get_session(0, &id) >= 0 ? Take(id) : std::string();
  }
};

class TFileLogind final : public ILogind {
 public:
  explicit TFileLogind(std::string APath) : FPath(std::move(APath)) {}
  TSeatState ReadSeat() override { return ReadTestSeat(FPath); }
  std::string OwnSession() override {
    const char* s = std::getenv("TOVIK_TEST_SESSION");
    return s ? s : "";
  }

 private:
  std::string FPath;
};

// sd_login_monitor wakes on changes of sessions and seats.
class TSdLoginWatch final : public ILoginWatch {
 public:
  TSdLoginWatch() {
    if (sd_login_monitor_new(nullptr, &FMonitor) < 0) FMonitor = nullptr;
  }
  ~TSdLoginWatch() override {
    if (FMonitor) sd_login_monitor_unref(FMonitor);
  }
  int Fd() override { return FMonitor ? sd_login_monitor_get_fd(FMonitor) : -1; }
  void Flush() override {
    if (FMonitor) sd_login_monitor_flush(FMonitor);
  }
  int PollMs() override { return kServiceRoundMs; }

 private:
  sd_login_monitor* FMonitor = nullptr;
};

// The test seat is a file: read again often.
class TFileLoginWatch final : public ILoginWatch {
 public:
  int Fd() override { return -1; }
  void Flush() override {}
  int PollMs() override { return 100; }
};

}  // namespace

TSeatState ReadTestSeat(const std::string& APath) {
  TSeatState seat;
  std::ifstream in(APath);
  std::string line, active;
  std::vector<TSeatSession> sessions;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string what;
    words >> what;
    if (what == "active") {
      words >> active;
    } else if (what == "session") {
      TSeatSession s;
      words >> s.Id >> s.Uid >> s.Type >> s.Class >> s.Display;
      if (!s.Id.empty()) sessions.push_back(s);
    }
  }
  for (const TSeatSession& s : sessions) {
    if (s.Id == active) seat.Active = s;
    if (std::find(seat.Uids.begin(), seat.Uids.end(), s.Uid) == seat.Uids.end()) seat.Uids.push_back(s.Uid);
  }
  return seat;
}

bool TestSeatMode() { return std::getenv("TOVIK_TEST_LOGIND") != nullptr; }

std::unique_ptr<ILogind> ILogind::Create() {
  if (const char* test = std::getenv("TOVIK_TEST_LOGIND")) return std::make_unique<TFileLogind>(test);
  return std::make_unique<TSdLogind>();
}

std::unique_ptr<ILoginWatch> ILoginWatch::Create() {
  if (TestSeatMode()) return std::make_unique<TFileLoginWatch>();
  return std::make_unique<TSdLoginWatch>();
}

}  // namespace tovik
