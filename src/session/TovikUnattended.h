// Unattended access with a password: what a host needs to check one (the stored verifier and the
// program-wide throttle of wrong answers), the helper's prompt, and the verdict message.
//
// The exchange, inside the sealed message channel of one session, before consent:
//   host   -> helper  mkPasswordChallenge  salt, iterations, fresh random (crypto/TovikPassword.h)
//   helper -> host    mkPasswordProof      32-byte proof bound to the challenge and both peer keys,
//                                          or empty when the helper's user gave no password
//   host   -> helper  mkPasswordResult     verdict (1 byte) and the seconds until the next try (4, LE)
// A host offers the challenge only to a helper whose mkViewerCaps has kCapsPassword; any other
// helper (an older program, or one that cannot ask its user) gets the normal consent dialog, as does
// a helper while wrong answers have paused password checks. Nothing of the password crosses the
// link: only the proof does.
//
// Threads: GUI thread only, like the sessions that use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "crypto/TovikPassword.h"

namespace tovik {

// Wrong answers in a row, from any helper: the first kFreeTries cost nothing; then each one pauses
// password checks, 30 s after the third and twice as long after each further one, at most an hour.
// A right answer starts the count again. One throttle serves every session of the program.
class TPasswordThrottle {
 public:
  static constexpr int kFreeTries = 3;
  static constexpr TTick kFirstPauseMs = 30'000;
  static constexpr TTick kMaxPauseMs = 3'600'000;

  bool Paused(TTick ANow) const { return ANow < FUntil; }
  // Milliseconds until the next check is allowed; 0 when it is allowed now.
  TTick PauseLeft(TTick ANow) const { return Paused(ANow) ? FUntil - ANow : 0; }
  void Failed(TTick ANow);
  void Passed() {
    FFails = 0;
    FUntil = 0;
  }
  int Fails() const { return FFails; }

 private:
  int FFails = 0;
  TTick FUntil = 0;
};

// How long a host waits for the helper's answer to its challenge (the helper's user is typing)
// before it asks the person at the PC instead.
inline constexpr TTick kPasswordWaitMs = 120'000;

// What a host checks a password against. A session made for unattended access without one asks
// the person at the PC instead.
struct TUnattendedPassword {
  TPasswordVerifier Verifier;
  std::shared_ptr<TPasswordThrottle> Throttle;  // shared by the program's sessions; required
};

// Asks the helper for the other PC's password. The answer comes exactly once, at once or later, on
// the GUI thread: the text, or nothing when the helper cancels. It may come after the session has
// gone; the session's guard then makes it do nothing. APartner is the grouped partner ID.
class IPasswordPrompt {
 public:
  virtual ~IPasswordPrompt() = default;
  virtual void Ask(const std::string& APartner, std::function<void(std::optional<std::string>)> AAnswer) = 0;
};

enum TPasswordVerdict : std::uint8_t {
  pvWrong = 0,
  pvAccepted = 1,
  pvPaused = 2,  // too many wrong answers: no check now; the person at the PC is asked instead
};

struct TPasswordResult {
  TPasswordVerdict Verdict = pvWrong;
  std::uint32_t WaitSeconds = 0;
};

TBytes MakePasswordResult(TPasswordVerdict AVerdict, std::uint32_t AWaitSeconds);
// Nothing for a body that is not 5 bytes or carries an unknown verdict.
std::optional<TPasswordResult> ParsePasswordResult(TByteView ABody);

}  // namespace tovik
