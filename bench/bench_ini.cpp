#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/TovikIni.h"
#include "base/TovikLog.h"

namespace {

// A settings file of a busy user: 100 saved PCs plus the usual sections.
std::string MakeSettingsFile() {
  char tmpl[] = "/tmp/tovik-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) std::abort();
  std::string path = std::string(tmpl) + "/Tovik.ini";
  tovik::TIniPairs recent{{"Count", "100"}};
  for (int i = 1; i <= 100; ++i) {
    recent.emplace_back("Id" + std::to_string(i), std::to_string(100000000 + i));
    recent.emplace_back("Name" + std::to_string(i), "Saved PC number " + std::to_string(i));
  }
  tovik::IniWriteSection(path, "Recent", recent);
  tovik::IniWriteString(path, "Relay", "Host", "relay.example.org");
  tovik::IniWriteString(path, "UI", "Theme", "1");
  return path;
}

void BM_IniReadKey(benchmark::State& state) {
  const std::string path = MakeSettingsFile();
  for (auto _ : state) benchmark::DoNotOptimize(tovik::IniReadString(path, "UI", "Theme", ""));
}
BENCHMARK(BM_IniReadKey);

// A write rewrites the file through a temporary file, flushed to disk, and renames it.
void BM_IniWriteKey(benchmark::State& state) {
  const std::string path = MakeSettingsFile();
  int n = 0;
  for (auto _ : state) tovik::IniWriteInt(path, "UI", "Theme", ++n % 3);
}
BENCHMARK(BM_IniWriteKey)->Unit(benchmark::kMicrosecond);

void BM_LogLine(benchmark::State& state) {
  char tmpl[] = "/tmp/tovik-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) std::abort();
  tovik::TLogWriter log(std::string(tmpl) + "/Tovik.log");
  for (auto _ : state) log.Line("Server relay.example.org:47800; log file /home/user/.config/Tovik/Tovik.log");
}
BENCHMARK(BM_LogLine)->Unit(benchmark::kMicrosecond);

}  // namespace
