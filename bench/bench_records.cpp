// The session history: loading 10,000 sessions from Sessions.csv into the list, and exporting them
// as an Excel workbook.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "records/TovikHistory.h"
#include "records/TovikXlsx.h"

namespace {

constexpr int kRows = 10000;

std::string SessionsText() {
  std::string text = "Start;End;Minutes;Role;Partner ID;Partner;Remote PC;Files sent;Files received;Chat messages\r\n";
  for (int i = 0; i < kRows; ++i) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "2026-01-%02d 10:%02d;2026-01-%02d 11:%02d;%d;%s;%09d;Partner %d & Co;PC-%d|user%d|Windows 11;%d;%d;%d\r\n",
                  i % 28 + 1, i % 60, i % 28 + 1, i % 60, i % 90, i % 3 ? "Helper" : "Helped", 100000000 + i, i, i, i,
                  i % 5, i % 7, i % 11);
    text += line;
  }
  return text;
}

struct TFixture {
  TFixture() {
    char tmpl[] = "/tmp/tovik-bench-XXXXXX";
    Dir = ::mkdtemp(tmpl);
    Csv = Dir + "/Sessions.csv";
    std::ofstream(Csv, std::ios::binary) << SessionsText();
  }
  ~TFixture() {
    std::remove(Csv.c_str());
    std::remove((Dir + "/out.xlsx").c_str());
    ::rmdir(Dir.c_str());
  }
  std::string Dir, Csv;
};

void BM_HistoryLoad10k(benchmark::State& state) {
  TFixture f;
  for (auto _ : state) {
    std::vector<tovik::THistoryRecord> records;
    tovik::ReadSessionsFile(f.Csv, records);
    auto rows = tovik::BuildHistoryList(records, {}, false);
    benchmark::DoNotOptimize(rows.data());
  }
}
BENCHMARK(BM_HistoryLoad10k)->Unit(benchmark::kMillisecond);

void BM_HistoryExport10k(benchmark::State& state) {
  TFixture f;
  const std::string out = f.Dir + "/out.xlsx";
  for (auto _ : state) {
    std::vector<tovik::THistoryRecord> records;
    tovik::ReadSessionsFile(f.Csv, records);
    const auto rows = tovik::BuildHistoryExport(records, {}, false);
    const tovik::TXlsxSheet sheet{"Sessions", tovik::HistoryExportHeaders(), &rows,
                                  &tovik::HistoryExportColumnIsNumeric};
    if (!tovik::WriteXlsxFile(out, sheet)) state.SkipWithError("export failed");
  }
}
BENCHMARK(BM_HistoryExport10k)->Unit(benchmark::kMillisecond);

}  // namespace
