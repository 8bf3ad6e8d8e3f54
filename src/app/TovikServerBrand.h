// The relay's branding: the BRAND and LOGO lines, the logo collected from its parts, checked and
// stored, and the retries of LOGOGET. Without Qt; the main window applies the result.
//
// Everything here comes from the relay and is bounded before use: at most 64 logo parts of at most
// 2,048 characters each, a logo of at most 256 KB whose header says at most 1024 x 1024 pixels (read
// before any decoding), a name of at most 64 characters with control characters removed. The logo is
// only ever stored as "ServerLogo.jpg" or "ServerLogo.png" in the per-user folder, and BRAND "-"
// deletes only those two files, never a path the settings file names.
//
// Threads: GUI thread only. Time comes in as ticks.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"

namespace tovik {

inline constexpr int kMaxLogoParts = 64;
inline constexpr std::size_t kMaxLogoPartChars = 2048;
inline constexpr std::size_t kMaxLogoBytes = 256 * 1024;
inline constexpr int kMaxLogoSide = 1024;
inline constexpr std::size_t kMaxBrandNameChars = 64;
inline constexpr TTick kLogoRetryMs = 5000;
inline constexpr int kMaxLogoRequests = 3;

// A brand name as shown: control characters removed, trimmed, at most 64 characters.
std::string CleanBrandName(std::string_view AUtf8);

// Width and height of a PNG or JPEG picture read from its header alone; nullopt when the bytes are
// neither or the header is cut short.
struct TPictureSize {
  int W = 0, H = 0;
};
std::optional<TPictureSize> PictureHeaderSize(TByteView AData);

using TLogSink = std::function<void(std::string_view line)>;

// The [ServerBrand] keys (Name, LogoHash, LogoFile); the main window's are in the per-user file.
class IBrandSettings {
 public:
  virtual ~IBrandSettings() = default;
  virtual std::string Read(const std::string& AKey) const = 0;
  virtual void Write(const std::string& AKey, const std::string& AValue) = 0;
};

// The files of the server logo; the main window's are plain files in the per-user folder.
class IBrandFiles {
 public:
  virtual ~IBrandFiles() = default;
  virtual bool Exists(const std::string& APath) const = 0;
  // Replaces the file; "" or the error text.
  virtual std::string Write(const std::string& APath, TByteView AData) = 0;
  virtual void Remove(const std::string& APath) = 0;
};

// Plain files (stat, an atomic replace, unlink).
class TPlainBrandFiles final : public IBrandFiles {
 public:
  bool Exists(const std::string& APath) const override;
  std::string Write(const std::string& APath, TByteView AData) override;
  void Remove(const std::string& APath) override;
};

class TServerBrand {
 public:
  // ASettings, AFiles must outlive the object. AUserFolder: where the logo is stored. ASend sends one
  // line to the relay.
  TServerBrand(IBrandSettings& ASettings, IBrandFiles& AFiles, std::string AUserFolder, TLogSink ALog,
               std::function<void(const std::string&)> ASend);

  // A BRAND or LOGO line from the relay. Raises OnChanged when the branding changed.
  void HandleLine(std::string_view ALine, TTick ANow);
  // The retry of LOGOGET (each tick of the main window).
  void Tick(TTick ANow);

  bool Expecting() const { return !FParts.empty(); }
  // LOGOGET requests sent for the logo announced last.
  int Requests() const { return FTries; }
  std::string LogoPath(bool AJpeg) const;

  // The server's name and logo path from the settings ([ServerBrand] Name; LogoFile when it exists).
  std::string Name() const;
  std::string LogoFile() const;

  std::function<void()> OnChanged;

 private:
  void Brand(const std::vector<std::string_view>& AWords, TTick ANow);
  void Logo(const std::vector<std::string_view>& AWords);
  void Ask(TTick ANow);

  IBrandSettings& FSettings;
  IBrandFiles& FFiles;
  std::string FUserFolder;
  TLogSink FLog;
  std::function<void(const std::string&)> FSend;
  std::string FLogoHash;
  std::vector<std::string> FParts;  // empty: no logo expected
  TTick FLogoAsked = 0;
  int FTries = 0;
};

}  // namespace tovik
