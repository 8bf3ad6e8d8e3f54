// Linux backends of IWallpaperBackend: GNOME (gsettings) and XFCE (xfconf-query). Hiding switches
// the background picture off (GNOME picture-options "none", XFCE image-style 0) and keeps the old
// setting, so the restore puts back exactly what was there. Elsewhere the backend only logs that it
// cannot. The tools are started without a shell, with fixed arguments.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "base/TovikBytes.h"
#include "session/TovikWallpaper.h"

extern char** environ;

namespace tovik {
namespace {

// Runs a tool and returns its standard output when it exits with 0. Output is capped at 64 KiB.
std::optional<std::string> RunTool(const std::vector<std::string>& AArgs) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      if (out.size() < 65536) out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

bool OnPath(const std::string& AName) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::stringstream ss(path);
  std::string dir;
  while (std::getline(ss, dir, ':'))
    if (!dir.empty() && access((dir + "/" + AName).c_str(), X_OK) == 0) return true;
  return false;
}

class TGnomeWallpaper final : public IWallpaperBackend {
 public:
  explicit TGnomeWallpaper(TLogFn ALog) : FLog(std::move(ALog)) {}
  std::optional<std::string> Hide() override {
    auto old = RunTool({"gsettings", "get", "org.gnome.desktop.background", "picture-options"});
    if (!old) {
      FLog("Wallpaper: could not read the GNOME background setting");
      return std::nullopt;
    }
    std::string v = Trim(*old);
    if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') v = v.substr(1, v.size() - 2);
    if (v.empty()) return std::nullopt;
    if (!RunTool({"gsettings", "set", "org.gnome.desktop.background", "picture-options", "none"})) {
      FLog("Wallpaper: could not hide the GNOME background");
      return std::nullopt;
    }
    return v;
  }
  bool Restore(const std::string& ASaved) override {
    if (ASaved.empty()) return false;
    return RunTool({"gsettings", "set", "org.gnome.desktop.background", "picture-options", ASaved})
        .has_value();
  }

 private:
  TLogFn FLog;
};

// XFCE keeps one image-style per monitor and workspace; each is saved as "property=value" lines.
class TXfceWallpaper final : public IWallpaperBackend {
 public:
  explicit TXfceWallpaper(TLogFn ALog) : FLog(std::move(ALog)) {}
  std::optional<std::string> Hide() override {
    auto list = RunTool({"xfconf-query", "-c", "xfce4-desktop", "-l"});
    if (!list) {
      FLog("Wallpaper: could not read the XFCE desktop settings");
      return std::nullopt;
    }
    std::string saved;
    std::stringstream ss(*list);
    std::string prop;
    while (std::getline(ss, prop)) {
      prop = Trim(prop);
      const std::string tail = "/image-style";
      if (prop.size() < tail.size() || prop.compare(prop.size() - tail.size(), tail.size(), tail) != 0)
        continue;
      auto val = RunTool({"xfconf-query", "-c", "xfce4-desktop", "-p", prop});
      if (!val) continue;
      std::string v = Trim(*val);
      if (v == "0") continue;
      if (RunTool({"xfconf-query", "-c", "xfce4-desktop", "-p", prop, "-s", "0"}))
        saved += prop + "=" + v + "\n";
    }
    if (saved.empty()) return std::nullopt;
    return saved;
  }
  bool Restore(const std::string& ASaved) override {
    bool ok = true;
    std::stringstream ss(ASaved);
    std::string line;
    while (std::getline(ss, line)) {
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      ok &= RunTool({"xfconf-query", "-c", "xfce4-desktop", "-p", line.substr(0, eq), "-s",
                     line.substr(eq + 1)})
                .has_value();
    }
    return ok;
  }

 private:
  TLogFn FLog;
};

class TNoWallpaper final : public IWallpaperBackend {
 public:
  TNoWallpaper(TLogFn ALog, std::string ADesktop) : FLog(std::move(ALog)), FDesktop(std::move(ADesktop)) {}
  std::optional<std::string> Hide() override {
    FLog("Wallpaper: cannot hide the background on this desktop (" +
         (FDesktop.empty() ? std::string("unknown") : FDesktop) + ")");
    return std::nullopt;
  }
  bool Restore(const std::string&) override { return false; }

 private:
  TLogFn FLog;
  std::string FDesktop;
};

}  // namespace

std::unique_ptr<IWallpaperBackend> IWallpaperBackend::Create(TLogFn ALog) {
  if (!ALog) ALog = [](const std::string&) {};
  const char* d = std::getenv("XDG_CURRENT_DESKTOP");
  const std::string desktop = d ? d : "";
  const std::string upper = AsciiUpper(desktop);
  if (upper.find("GNOME") != std::string::npos && OnPath("gsettings"))
    return std::make_unique<TGnomeWallpaper>(std::move(ALog));
  if (upper.find("XFCE") != std::string::npos && OnPath("xfconf-query"))
    return std::make_unique<TXfceWallpaper>(std::move(ALog));
  return std::make_unique<TNoWallpaper>(std::move(ALog), desktop);
}

}  // namespace tovik
