// The signed update file that announces a new build.
//
// Format: UTF-8 text, lines ended by CR LF, LF or CR. Line 1 is "TOVIKUPDATE1"; the other lines are
// name=value pairs (names compared without regard to ASCII case, the first line with a name wins,
// unknown names ignored): build, size, sha256, url, sig. The signature is ECDSA P-256 (r||s, in
// hexadecimal) over SHA-256 of UpdateSignedMessage(), made with the vendor's key; the program
// holds the public half (64 bytes X||Y), set at build time with the CMake cache variable
// TOVIK_UPDATE_KEY (128 hexadecimal digits) or stamped in later (update/TovikVersion.h).
//
// All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/TovikBytes.h"

namespace tovik {

struct TUpdateInfo {
  int Build = 0;             // build number of the new program file, > 0
  std::int64_t Size = 0;     // exact size of the new program file in bytes, > 0
  std::string Sha256;        // SHA-256 of the new program file, 64 characters, lower case
  std::string Url;           // download address, begins with "https://"
};

// "TOVIKUPDATE1|<build>|<size>|<sha256>|<url>" with the values in their parsed form.
std::string UpdateSignedMessage(const TUpdateInfo& AInfo);

// The vendor's verification key compiled into the program (64 bytes), or empty when the build
// has none; then every update file is refused.
TBytes BuiltInUpdateKey();

// True when AText is a well-formed update file whose signature verifies with AVendorKey; AInfo then
// holds its values. Otherwise false, AInfo is reset and AReason holds one of:
//   "not a Tovik update file", "the update file is incomplete",
//   "the update file is not signed", "the signature of the update file is not valid".
// Never raises.
bool ParseUpdateFile(std::string_view AText, TByteView AVendorKey, TUpdateInfo& AInfo,
                     std::string& AReason);
// The text of an update file for AInfo signed with AVendorKey (which must hold a private half), lines
// ended by CR LF. Raises ETovikCrypto when signing fails.
class TEcdsaKey;
std::string SignUpdateFile(const TUpdateInfo& AInfo, const TEcdsaKey& AVendorKey);

// The same with BuiltInUpdateKey().
bool ParseUpdateFile(std::string_view AText, TUpdateInfo& AInfo, std::string& AReason);

}  // namespace tovik
