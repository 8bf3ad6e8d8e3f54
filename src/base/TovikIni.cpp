#include "base/TovikIni.h"

#include <cerrno>
#include <limits>

#include "base/TovikBytes.h"

namespace tovik {

namespace {

enum class TLineKind { lkOther, lkSection, lkKey };

struct TLine {
  TLineKind Kind = TLineKind::lkOther;
  std::string_view Name;
  std::string_view Value;
};

std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

TLine ParseLine(std::string_view line) {
  TLine r;
  std::string_view t = TrimView(line);
  if (t.empty() || t.front() == ';' || t.front() == '#') return r;
  if (t.front() == '[') {
    std::string_view rest = t.substr(1);
    auto close = rest.find(']');
    r.Kind = TLineKind::lkSection;
    r.Name = TrimView(close == std::string_view::npos ? rest : rest.substr(0, close));
    return r;
  }
  auto eq = t.find('=');
  if (eq == std::string_view::npos) return r;
  r.Name = TrimView(t.substr(0, eq));
  if (r.Name.empty()) return r;
  r.Kind = TLineKind::lkKey;
  r.Value = StripQuotes(TrimView(t.substr(eq + 1)));
  return r;
}

struct TIniDoc {
  bool Bom = false;
  std::vector<std::string> Lines;
};

void SplitLines(std::string_view text, TIniDoc& doc) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    doc.Bom = true;
    text.remove_prefix(3);
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    doc.Lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) doc.Lines.emplace_back(text.substr(start));
}

TFileResult LoadDoc(const std::string& path, TIniDoc& doc) {
  std::string text;
  TFileResult r = ReadWholeFile(path, text, kMaxIniBytes);
  if (!r) {
    if (r.Errno == ENOENT) return {};  // a missing file is an empty INI
    return r;
  }
  SplitLines(text, doc);
  return {};
}

TFileResult SaveDoc(const std::string& path, const TIniDoc& doc) {
  std::string text;
  if (doc.Bom) text = "\xEF\xBB\xBF";
  for (const auto& l : doc.Lines) {
    text += l;
    text += "\r\n";
  }
  return WriteFileAtomic(path, text);
}

// Index of the first header of that section, or npos.
std::size_t FindSection(const TIniDoc& doc, std::string_view section, std::size_t from = 0) {
  for (std::size_t i = from; i < doc.Lines.size(); ++i) {
    TLine l = ParseLine(doc.Lines[i]);
    if (l.Kind == TLineKind::lkSection && SameTextAscii(l.Name, section)) return i;
  }
  return std::string::npos;
}

// One past the last line that belongs to the section whose header is at h.
std::size_t SectionEnd(const TIniDoc& doc, std::size_t h) {
  for (std::size_t i = h + 1; i < doc.Lines.size(); ++i)
    if (ParseLine(doc.Lines[i]).Kind == TLineKind::lkSection) return i;
  return doc.Lines.size();
}

bool HasAny(std::string_view s, std::string_view chars) { return s.find_first_of(chars) != std::string_view::npos; }

TFileResult CheckSection(std::string_view section) {
  if (TrimView(section).empty() || HasAny(section, std::string_view("]\r\n\0", 4)))
    return TFileResult::Fail(EINVAL, "invalid section name");
  return {};
}

TFileResult CheckKey(std::string_view key) {
  std::string_view t = TrimView(key);
  if (t.empty() || t.front() == '[' || t.front() == ';' || t.front() == '#' ||
      HasAny(key, std::string_view("=\r\n\0", 4)))
    return TFileResult::Fail(EINVAL, "invalid key name");
  return {};
}

TFileResult CheckValue(std::string_view value) {
  if (HasAny(value, std::string_view("\r\n\0", 3))) return TFileResult::Fail(EINVAL, "the value contains a line break");
  return {};
}

std::string KeyLine(std::string_view key, std::string_view value) {
  std::string s(key);
  s += '=';
  s += value;
  return s;
}

void AppendSection(TIniDoc& doc, std::string_view section) {
  if (!doc.Lines.empty() && !TrimView(doc.Lines.back()).empty()) doc.Lines.emplace_back();
  doc.Lines.push_back("[" + std::string(section) + "]");
}

template <typename T>
bool ParseDigits(std::string_view s, int base, bool negative, T& out) {
  if (s.empty()) return false;
  using U = std::make_unsigned_t<T>;
  const U limit = negative ? U(std::numeric_limits<T>::max()) + 1 : U(std::numeric_limits<T>::max());
  U v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (v > (limit - U(d)) / U(base)) return false;
    v = v * U(base) + U(d);
  }
  out = negative ? T(U(0) - v) : T(v);
  return true;
}

template <typename T>
T ParseInt(std::string_view text, T def) {
  std::string_view s = TrimView(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  T v{};
  return ParseDigits(s, base, negative, v) ? v : def;
}

}  // namespace

std::int32_t ParseIniInt(std::string_view text, std::int32_t def) { return ParseInt<std::int32_t>(text, def); }
std::int64_t ParseIniInt64(std::string_view text, std::int64_t def) { return ParseInt<std::int64_t>(text, def); }

// --- TIniText -----------------------------------------------------------------------------------

TIniText::TIniText(std::string_view text) {
  TIniDoc doc;
  SplitLines(text, doc);
  TSection* current = nullptr;
  for (const auto& raw : doc.Lines) {
    TLine l = ParseLine(raw);
    if (l.Kind == TLineKind::lkSection) {
      FSections.push_back({std::string(l.Name), {}});
      current = &FSections.back();
    } else if (l.Kind == TLineKind::lkKey && current) {
      current->Keys.emplace_back(std::string(l.Name), std::string(l.Value));
    }
  }
}

std::optional<std::string> TIniText::Find(std::string_view section, std::string_view key) const {
  for (const auto& s : FSections) {
    if (!SameTextAscii(s.Name, section)) continue;
    for (const auto& [k, v] : s.Keys)
      if (SameTextAscii(k, key)) return v;
    return std::nullopt;  // only the first section of a name counts
  }
  return std::nullopt;
}

std::string TIniText::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  auto v = Find(section, key);
  return v ? *v : std::string(def);
}

std::int32_t TIniText::ReadInt(std::string_view section, std::string_view key, std::int32_t def) const {
  auto v = Find(section, key);
  return v ? ParseIniInt(*v, def) : def;
}

// --- Files --------------------------------------------------------------------------------------

std::optional<std::string> IniFind(const std::string& path, std::string_view section, std::string_view key) {
  TIniDoc doc;
  std::string text;
  if (!ReadWholeFile(path, text, kMaxIniBytes)) return std::nullopt;
  SplitLines(text, doc);
  std::size_t h = FindSection(doc, section);
  if (h == std::string::npos) return std::nullopt;
  std::size_t end = SectionEnd(doc, h);
  for (std::size_t i = h + 1; i < end; ++i) {
    TLine l = ParseLine(doc.Lines[i]);
    if (l.Kind == TLineKind::lkKey && SameTextAscii(l.Name, key)) return std::string(l.Value);
  }
  return std::nullopt;
}

std::optional<TIniPairs> IniReadSection(const std::string& path, std::string_view section) {
  TIniDoc doc;
  if (!LoadDoc(path, doc)) return std::nullopt;
  TIniPairs out;
  std::size_t h = FindSection(doc, section);
  if (h == std::string::npos) return out;
  std::size_t end = SectionEnd(doc, h);
  for (std::size_t i = h + 1; i < end; ++i) {
    TLine l = ParseLine(doc.Lines[i]);
    if (l.Kind == TLineKind::lkKey) out.emplace_back(std::string(l.Name), std::string(l.Value));
  }
  return out;
}

std::string IniReadString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view def) {
  auto v = IniFind(path, section, key);
  return v ? *v : std::string(def);
}

std::int32_t IniReadInt(const std::string& path, std::string_view section, std::string_view key, std::int32_t def) {
  auto v = IniFind(path, section, key);
  return v ? ParseIniInt(*v, def) : def;
}

namespace {

// Sets one key in the document (replacing the first one of that name in the section, else adding it
// after the section's last non-blank line, else adding the section at the end).
void SetKey(TIniDoc& doc, std::string_view section, std::string_view key, std::string_view value) {
  std::size_t h = FindSection(doc, section);
  if (h == std::string::npos) {
    AppendSection(doc, section);
    doc.Lines.push_back(KeyLine(key, value));
    return;
  }
  std::size_t end = SectionEnd(doc, h);
  std::size_t lastUsed = h;
  for (std::size_t i = h + 1; i < end; ++i) {
    TLine l = ParseLine(doc.Lines[i]);
    if (l.Kind == TLineKind::lkKey && SameTextAscii(l.Name, key)) {
      doc.Lines[i] = KeyLine(key, value);
      return;
    }
    if (!TrimView(doc.Lines[i]).empty()) lastUsed = i;
  }
  // New key after the section's last non-blank line, so a blank line before the next header stays.
  doc.Lines.insert(doc.Lines.begin() + static_cast<std::ptrdiff_t>(lastUsed + 1), KeyLine(key, value));
}

// Removes every line of that key from the first section of that name; true when one was removed.
bool RemoveKey(TIniDoc& doc, std::string_view section, std::string_view key) {
  std::size_t h = FindSection(doc, section);
  if (h == std::string::npos) return false;
  std::size_t end = SectionEnd(doc, h);
  bool changed = false;
  for (std::size_t i = end; i-- > h + 1;) {
    TLine l = ParseLine(doc.Lines[i]);
    if (l.Kind == TLineKind::lkKey && SameTextAscii(l.Name, key)) {
      doc.Lines.erase(doc.Lines.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
    }
  }
  return changed;
}

}  // namespace

TFileResult IniWriteString(const std::string& path, std::string_view section, std::string_view key,
                           std::string_view value) {
  if (auto r = CheckSection(section); !r) return r;
  if (auto r = CheckKey(key); !r) return r;
  if (auto r = CheckValue(value); !r) return r;
  TIniDoc doc;
  if (auto r = LoadDoc(path, doc); !r) return r;
  SetKey(doc, section, key, value);
  return SaveDoc(path, doc);
}

TFileResult IniWriteBatch(const std::string& path, const std::vector<TIniEdit>& edits) {
  for (const TIniEdit& e : edits) {
    if (auto r = CheckSection(e.Section); !r) return r;
    if (auto r = CheckKey(e.Key); !r) return r;
    if (e.Value)
      if (auto r = CheckValue(*e.Value); !r) return r;
  }
  if (edits.empty()) return {};
  TIniDoc doc;
  if (auto r = LoadDoc(path, doc); !r) return r;
  bool changed = false;
  for (const TIniEdit& e : edits) {
    if (e.Value) {
      SetKey(doc, e.Section, e.Key, *e.Value);
      changed = true;
    } else {
      changed = RemoveKey(doc, e.Section, e.Key) || changed;
    }
  }
  return changed ? SaveDoc(path, doc) : TFileResult{};
}

TFileResult IniWriteInt(const std::string& path, std::string_view section, std::string_view key, std::int64_t value) {
  return IniWriteString(path, section, key, std::to_string(value));
}

TFileResult IniDeleteKey(const std::string& path, std::string_view section, std::string_view key) {
  TIniDoc doc;
  if (auto r = LoadDoc(path, doc); !r) return r;
  return RemoveKey(doc, section, key) ? SaveDoc(path, doc) : TFileResult{};
}

TFileResult IniEraseSection(const std::string& path, std::string_view section) {
  TIniDoc doc;
  if (auto r = LoadDoc(path, doc); !r) return r;
  bool changed = false;
  for (std::size_t h = FindSection(doc, section); h != std::string::npos; h = FindSection(doc, section, h)) {
    std::size_t end = SectionEnd(doc, h);
    doc.Lines.erase(doc.Lines.begin() + static_cast<std::ptrdiff_t>(h),
                    doc.Lines.begin() + static_cast<std::ptrdiff_t>(end));
    changed = true;
  }
  if (!changed) return {};
  // The blank line that separated a removed last section is not left behind.
  while (!doc.Lines.empty() && TrimView(doc.Lines.back()).empty()) doc.Lines.pop_back();
  return SaveDoc(path, doc);
}

TFileResult IniWriteSection(const std::string& path, std::string_view section, const TIniPairs& keys) {
  if (auto r = CheckSection(section); !r) return r;
  for (const auto& [k, v] : keys) {
    if (auto r = CheckKey(k); !r) return r;
    if (auto r = CheckValue(v); !r) return r;
  }
  TIniDoc doc;
  if (auto r = LoadDoc(path, doc); !r) return r;
  std::vector<std::string> body;
  for (const auto& [k, v] : keys) body.push_back(KeyLine(k, v));
  std::size_t h = FindSection(doc, section);
  if (h == std::string::npos) {
    AppendSection(doc, section);
    doc.Lines.insert(doc.Lines.end(), body.begin(), body.end());
    return SaveDoc(path, doc);
  }
  std::size_t end = SectionEnd(doc, h);
  if (end < doc.Lines.size()) body.emplace_back();  // keep a blank line before the next header
  doc.Lines.erase(doc.Lines.begin() + static_cast<std::ptrdiff_t>(h + 1),
                  doc.Lines.begin() + static_cast<std::ptrdiff_t>(end));
  doc.Lines.insert(doc.Lines.begin() + static_cast<std::ptrdiff_t>(h + 1), body.begin(), body.end());
  // Later sections of the same name would otherwise keep stale keys around.
  std::size_t after = h + 1 + body.size();
  for (std::size_t d = FindSection(doc, section, after); d != std::string::npos; d = FindSection(doc, section, d)) {
    std::size_t dEnd = SectionEnd(doc, d);
    doc.Lines.erase(doc.Lines.begin() + static_cast<std::ptrdiff_t>(d),
                    doc.Lines.begin() + static_cast<std::ptrdiff_t>(dEnd));
  }
  return SaveDoc(path, doc);
}

}  // namespace tovik
