// Byte buffers, Base64 and UTF-8 helpers shared by every layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tovik {

using TBytes = std::vector<std::uint8_t>;
using TByteView = std::span<const std::uint8_t>;

inline TBytes BytesOf(std::string_view s) { return TBytes(s.begin(), s.end()); }
inline std::string StringOf(TByteView b) { return std::string(b.begin(), b.end()); }

// Appends to a buffer, big- and little-endian helpers for wire formats.
void Append(TBytes& to, TByteView from);
void PutU16BE(TBytes& to, std::uint16_t v);
void PutU32BE(TBytes& to, std::uint32_t v);
void PutU64BE(TBytes& to, std::uint64_t v);
void PutU16LE(TBytes& to, std::uint16_t v);
void PutU32LE(TBytes& to, std::uint32_t v);
std::uint16_t GetU16BE(const std::uint8_t* p);
std::uint32_t GetU32BE(const std::uint8_t* p);
std::uint64_t GetU64BE(const std::uint8_t* p);
std::uint16_t GetU16LE(const std::uint8_t* p);
std::uint32_t GetU32LE(const std::uint8_t* p);

// Base64 with the standard alphabet and '=' padding.
std::string Base64Encode(TByteView data);
// Returns nullopt on a character outside the alphabet, bad padding or a length that is not a
// multiple of four. Blanks, CR and LF are not accepted.
std::optional<TBytes> Base64Decode(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view s);
// Cuts a UTF-8 string to at most maxBytes bytes without splitting a character.
std::string Utf8Truncate(std::string_view s, std::size_t maxBytes);
// Number of code points in well-formed UTF-8 (invalid bytes count one each).
std::size_t Utf8Length(std::string_view s);
// Well-formed UTF-8 as is; every malformed byte replaced by U+FFFD (text read from files).
std::string Utf8Sanitize(std::string_view s);
// The first maxChars code points of s (a malformed byte counts as one), never splitting a character.
std::string Utf8Left(std::string_view s, std::size_t maxChars);
// Names from the other PC (the helper's name and company, the partner PC's name) are cut to this many
// characters before a window or a tool tip shows them.
inline constexpr std::size_t kMaxNameChars = 80;

// Text from the other PC or the relay, made fit for one log line: every control character (C0
// including tab and line breaks, DEL, C1) and every character that breaks or reorders a line in a
// viewer (U+2028, U+2029, the bidirectional marks, embeddings, overrides and isolates) becomes '?',
// as does every byte that is not well-formed UTF-8; after maxChars code points the rest is cut and
// "..." follows. Every log line that carries such text passes it through here.
std::string EscapeForLog(std::string_view text, std::size_t maxChars = 500);

// ASCII-only case folding and comparison (settings keys, switches, wire words).
std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

// A partner ID as people read it: "123456789" -> "123 456 789". Any text that is not exactly nine
// digits is returned unchanged.
std::string FormatID(std::string_view AID);
// True for a partner ID: exactly 9 ASCII digits.
bool IsPartnerID(std::string_view AText);
std::string_view TrimView(std::string_view s);
std::string Trim(std::string_view s);

}  // namespace tovik
