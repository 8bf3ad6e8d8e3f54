// Downloaded program files on disk: the private folder they live in, the download itself, and the
// check of size and SHA-256 that runs again right before a file is copied, installed or run.
//
// Every file here is opened with O_NOFOLLOW, so a symbolic link put in place of one is refused, never
// followed; new files are made with O_EXCL after removing the old name. Any thread; never raises.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "update/TovikHttp.h"

namespace tovik {

// The refusal texts of a check (they end up in "Update: " log lines).
inline constexpr const char* kWrongSize = "download refused: wrong size";
inline constexpr const char* kWrongHash = "download refused: it is not the signed Tovik.exe";

// Makes AFolder (and missing parents) and makes sure that it is this user's own: a real folder (not a
// link) owned by this user, mode 0700 (set when it differs). "" on success, else why not.
std::string EnsurePrivateFolder(const std::string& AFolder);

struct TDownloadResult {
  THttpResult Http;
  std::string Message;  // "" when the file is complete and checked; else the refusal or failure text
  bool Ok() const { return Message.empty(); }
};

// Downloads AUrl into AFile (made anew, mode 0600) and checks it against ASize and ASha256 (lower-case
// hexadecimal). The transfer stops as soon as more than ASize bytes arrive. On any failure AFile is
// deleted. Messages: "download failed (%d)" for another status, "download failed: " + reason without
// an answer, kWrongSize (also for a body longer than declared), kWrongHash.
TDownloadResult DownloadFile(IHttpClient& AClient, const std::string& AUrl, const THttpOptions& AOptions,
                             const std::string& AFile, std::int64_t ASize, const std::string& ASha256);

// Checks the file at AFile (opened without following links, a regular file) against ASize and
// ASha256: "" when it matches, else kWrongSize, kWrongHash or "cannot read " + file + ": " + reason.
std::string CheckFile(const std::string& AFile, std::int64_t ASize, const std::string& ASha256);

// Copies ASource to ADest (made anew with AMode, flushed to disk) and checks the bytes it copied
// against ASize and ASha256 in the same pass, so a file swapped after an earlier check is caught.
// "" on success; otherwise ADest is deleted and the text says why (as CheckFile, or "cannot write").
std::string CopyChecked(const std::string& ASource, const std::string& ADest, mode_t AMode,
                        std::int64_t ASize, const std::string& ASha256);

// Lower-case hexadecimal SHA-256 of a whole file ("" when it cannot be read). Links are not followed.
std::string FileSha256(const std::string& AFile);

}  // namespace tovik
