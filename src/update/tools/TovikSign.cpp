// tovik-sign: the vendor's tool for update files.
//
//   tovik-sign --new-key [KEYFILE]
//       Makes a new vendor key pair. Prints "TOVIK_UPDATE_KEY=<128 hexadecimal digits>" (the public
//       half, for the CMake cache variable of that name) and writes the private half as hexadecimal
//       text to KEYFILE (made anew, mode 0600), or prints it when no KEYFILE is given.
//   tovik-sign --key KEYFILE --url URL [--build N] [--out FILE] PROGRAM
//       Writes the signed update file for PROGRAM (size and SHA-256 of the file as it is) to FILE, or
//       to standard output. The build is N, else the build record of PROGRAM.
//   tovik-sign --stamp-build N PROGRAM
//       Writes build N into the build record of PROGRAM (a release step, before signing).
//   tovik-sign --stamp-key HEX PROGRAM
//       Writes the public key HEX (the TOVIK_UPDATE_KEY form) into the key record of PROGRAM.
//   tovik-sign --public KEYFILE
//       Prints the public half of a private key file in the TOVIK_UPDATE_KEY form.
// Exit code 0 on success, 1 on failure (the reason on standard error), 2 for a wrong command line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/TovikFiles.h"
#include "crypto/TovikCrypto.h"
#include "update/TovikDownload.h"
#include "update/TovikUpdate.h"
#include "update/TovikUpdateFile.h"
#include "update/TovikVersion.h"

namespace {

using namespace tovik;

int Usage() {
  std::fputs("usage: tovik-sign --new-key [KEYFILE]\n"
             "       tovik-sign --key KEYFILE --url URL [--build N] [--out FILE] PROGRAM\n"
             "       tovik-sign --stamp-build N PROGRAM\n"
             "       tovik-sign --stamp-key HEX PROGRAM\n"
             "       tovik-sign --public KEYFILE\n",
             stderr);
  return 2;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "tovik-sign: %s\n", why.c_str());
  return 1;
}

bool ParseBuild(const std::string& s, int& out) {
  if (s.empty() || s.size() > 10) return false;
  long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v <= 0 || v > 0x7fffffff) return false;
  out = static_cast<int>(v);
  return true;
}

std::string Trim(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  return s.substr(i);
}

// The private key from its file; raises ETovikCrypto when it is not one.
TEcdsaKey LoadKey(const std::string& path) {
  std::string text;
  if (auto r = ReadWholeFile(path, text, 4096); !r) throw ETovikCrypto("cannot read " + path + ": " + r.Error);
  TBytes blob = HexToBytes(Trim(text));
  if (blob.empty()) throw ETovikCrypto(path + " is not a private key file");
  return TEcdsaKey::CreateFromPrivateBlob(blob);
}

int NewKey(const std::vector<std::string>& a) {
  if (a.size() > 1) return Usage();
  TEcdsaKey key = TEcdsaKey::CreateNew();
  const std::string priv = BytesToHex(key.PrivateBlob());
  if (a.size() == 1) {
    TFd fd(::open(a[0].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return Fail("cannot create " + a[0] + " (it must not exist yet)");
    if (auto r = WriteAll(fd.Get(), priv + "\n"); !r) return Fail("cannot write " + a[0] + ": " + r.Error);
  } else {
    std::printf("TOVIK_UPDATE_PRIVATE=%s\n", priv.c_str());
  }
  std::printf("TOVIK_UPDATE_KEY=%s\n", BytesToHex(key.Public()).c_str());
  return 0;
}

int Sign(const std::vector<std::string>& a) {
  std::string keyFile, url, out, program;
  int build = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool more = i + 1 < a.size();
    if (a[i] == "--key" && more) keyFile = a[++i];
    else if (a[i] == "--url" && more) url = a[++i];
    else if (a[i] == "--out" && more) out = a[++i];
    else if (a[i] == "--build" && more) {
      if (!ParseBuild(a[++i], build)) return Fail("the build must be a number from 1 to 2147483647");
    } else if (program.empty() && a[i].compare(0, 2, "--") != 0) program = a[i];
    else return Usage();
  }
  if (keyFile.empty() || url.empty() || program.empty()) return Usage();
  if (build == 0) build = ReadFileBuild(program);
  if (build <= 0) return Fail(program + " has no build number; give one with --build");
  TEcdsaKey key = LoadKey(keyFile);
  const std::string sha = FileSha256(program);
  if (sha.empty()) return Fail("cannot read " + program);
  std::string data;
  if (auto r = ReadWholeFile(program, data, static_cast<std::size_t>(kMaxUpdateSize)); !r)
    return Fail("cannot read " + program + ": " + r.Error);
  TUpdateInfo info{build, static_cast<std::int64_t>(data.size()), sha, url};
  const std::string text = SignUpdateFile(info, key);
  // Only what the program accepts is written out.
  TUpdateInfo check;
  std::string reason;
  if (!ParseUpdateFile(text, key.Public(), check, reason)) return Fail("the update file would be refused: " + reason);
  if (CheckFile(program, info.Size, info.Sha256) != "") return Fail(program + " changed while it was signed");
  if (out.empty()) {
    std::fputs(text.c_str(), stdout);
  } else if (auto r = WriteFileAtomic(out, text, 0644); !r) {
    return Fail("cannot write " + out + ": " + r.Error);
  }
  return 0;
}

int Run(const std::vector<std::string>& a) {
  if (a.empty()) return Usage();
  const std::vector<std::string> rest(a.begin() + 1, a.end());
  if (a[0] == "--new-key") return NewKey(rest);
  if (a[0] == "--public") {
    if (rest.size() != 1) return Usage();
    std::printf("TOVIK_UPDATE_KEY=%s\n", BytesToHex(LoadKey(rest[0]).Public()).c_str());
    return 0;
  }
  if (a[0] == "--stamp-build") {
    int build = 0;
    if (rest.size() != 2) return Usage();
    if (!ParseBuild(rest[0], build)) return Fail("the build must be a number from 1 to 2147483647");
    if (!StampFileBuild(rest[1], build)) return Fail(rest[1] + " has no build record or cannot be written");
    return 0;
  }
  if (a[0] == "--stamp-key") {
    if (rest.size() != 2) return Usage();
    TBytes key = HexToBytes(Trim(rest[0]));
    if (key.size() != kPublicKeySize) return Fail("the key must be 128 hexadecimal digits");
    TEcdsaKey::CreateFromPublic(key);  // raises for a point that is not on the curve
    if (!StampFileUpdateKey(rest[1], key)) return Fail(rest[1] + " has no key record or cannot be written");
    return 0;
  }
  return Sign(a);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
