// TMainTestProbe: the main window's test hooks, for the end-to-end tests and the demo (scripts/lib.sh and
// tests/e2e read what it writes). Off unless their environment variable is set:
//   TOVIK_TEST_STATUS=<file>  the window rewrites <file> on each change and each second with
//                             "key=value" lines: id, id_shown, state, status, session, check,
//                             detail, hint, hoststate, caption, viewer, allowed, frames,
//                             first_picture_ms (from the Connect click), stopbar, own_windows, and the
//                             screen centres of the partner box, Connect, the unattended and keep-ID
//                             switches, the stop bar's Stop button and the viewer's Chat and Send
//                             files buttons (partner_xy, connect_xy, unattended_xy, keepid_xy, stop_xy,
//                             chat_xy, sendfiles_xy: "x y", empty when not shown), and chat_last, the
//                             last line of a shown chat window's log (control characters blanked, at
//                             most 200 characters); then the session tabs: tabs (docked viewers),
//                             tabs_xy (centres of the tab headers, home first, "x y" separated by ";",
//                             empty while the tab row is hidden) and active_viewer (the viewer on the
//                             active tab as "left top width height" on the screen, empty on the home
//                             tab); gui_frame_ms ("p50 p95 max" of the last 256 turns of a 16 ms
//                             timer on the GUI thread, from StartPace: how long the window may wait
//                             to paint; empty under TOVIK_TEST_PACE=0, which leaves that timer out). Nothing secret is written: the ID and the check
//                             number are what the window shows.
//   TOVIK_TEST_DUMP=<file>    when <file>.req exists, the viewer's current picture is written to <file>
//                             as a binary PPM and <file>.req is removed.
// They are in every build (the demo and the end-to-end tests drive release builds), so they write
// only as WritePrivateFile does (base/TovikFiles.h): files of mode 0600, never through a link, and
// nothing at all into a folder another user can change (a folder writable by group or others
// without the sticky bit, or owned by another user, anywhere on the way); the first refusal is said
// on stderr.
//
// The probe reads what it reports from the objects it watches; the window tells it when to write and
// when Connect was clicked. Threads: GUI thread only.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "base/TovikClock.h"

class QLabel;
class QTimer;
class QWidget;

namespace tovik {

class TMainLogic;
class TMainSessions;
class TSessionTabs;
class TTovikClient;

class TMainTestProbe {
 public:
  // What the probe reads at each write; each must outlive the probe or be detached with Watch({}).
  struct TSources {
    const TTovikClient* Client = nullptr;
    const TMainLogic* Logic = nullptr;  // no status file is written without it
    const TMainSessions* Sessions = nullptr;
    const QLabel* IDNumber = nullptr;
    const QLabel* HostState = nullptr;
    const QWidget* PartnerBox = nullptr;
    const QWidget* ConnectButton = nullptr;
    const QWidget* UnattendedSwitch = nullptr;
    const QWidget* KeepIDSwitch = nullptr;
    const TSessionTabs* Tabs = nullptr;
  };

  // Empty paths switch the hooks off.
  TMainTestProbe(std::string AStatusPath, std::string ADumpPath);
  TMainTestProbe(TMainTestProbe&&) noexcept;
  ~TMainTestProbe();
  // The paths from TOVIK_TEST_STATUS and TOVIK_TEST_DUMP.
  static TMainTestProbe FromEnvironment();

  const std::string& StatusPath() const { return FStatusPath; }
  const std::string& DumpPath() const { return FDumpPath; }
  void Watch(const TSources& ASources) { FSources = ASources; }

  // With the status hook on: starts timing the GUI thread's turns (call once the probe has its place).
  void StartPace();

  // Connect was clicked at ANow by a helper starting a session: its first picture is timed from here.
  void ConnectClicked(TTick ANow);
  // The viewer painted the first picture of a session at ANow.
  void FirstPicture(TTick ANow);
  const std::string& FirstPictureMs() const { return FFirstPictureMs; }

  // The status file's text ("key=value" lines, in the order above).
  std::string StatusText() const;
  // Rewrites the status file, when the hook is on.
  void WriteStatus() const;
  // Writes the viewer's picture when the hook is on, <file>.req exists and there is a picture.
  void Dump() const;

 private:
  // Writes one hook file; false (said once on stderr) when it is refused or fails.
  bool WriteHookFile(const std::string& APath, std::string_view AData) const;

  std::string FStatusPath, FDumpPath;
  mutable bool FRefusalSaid = false;
  TSources FSources;
  TTick FConnectClick = 0;
  std::string FFirstPictureMs;
  std::unique_ptr<QTimer> FPace;
  TTick FPaceLast = 0;
  std::deque<TTick> FPaceTurns;  // ms between the last turns
};

}  // namespace tovik
