#include "request/download_figures.h"

#include <gtest/gtest.h>

namespace {

TEST(DownloadFiguresTest, RecordHoldsEveryFigureUnderItsOwnKey) {
  DownloadFigures figures;
  figures.received = 300000;
  figures.resumed = 100000;
  figures.package_size = 400000;
  figures.duration = std::chrono::milliseconds(1500);
  figures.attempts = 4;
  figures.retries = {{22, 3}, {7, 1}};
  figures.mirrors = {0, 2};
  figures.served = true;
  figures.serving = 2;
  figures.final_code = 0;
  figures.space_needed = 300000;
  figures.space_free = 9000000;
  figures.cap = 204800;
  figures.cap_changed = true;
  std::map<std::string, std::string> expected = {
      {"download_figures_received", "300000"},
      {"download_figures_resumed", "100000"},
      {"download_figures_size", "400000"},
      {"download_figures_duration_ms", "1500"},
      {"download_figures_speed", "200000"},
      {"download_figures_attempts", "4"},
      {"download_figures_retries", "7:1,22:3"},
      {"download_figures_mirrors", "0,2"},
      {"download_figures_mirror", "2"},
      {"download_figures_final", "0"},
      {"download_figures_space_needed", "300000"},
      {"download_figures_space_free", "9000000"},
      {"download_figures_cap", "204800"},
      {"download_figures_cap_changed", "1"},
  };
  EXPECT_EQ(figures.record(), expected);
}

TEST(DownloadFiguresTest, RunWithoutAPackageLeavesTheServingMirrorEmpty) {
  // A run that ended without the package (a final failure, a stop) names no
  // serving mirror; a run shorter than a millisecond has no speed rather than a
  // division by zero; no kept answer counts as nothing resumed.
  DownloadFigures figures;
  figures.received = 5;
  figures.mirrors = {-1};
  figures.final_code = 122;
  std::map<std::string, std::string> record = figures.record();
  EXPECT_EQ(record.at("download_figures_mirror"), "");
  EXPECT_EQ(record.at("download_figures_speed"), "0");
  EXPECT_EQ(record.at("download_figures_resumed"), "0");
  EXPECT_EQ(record.at("download_figures_retries"), "");
  EXPECT_EQ(record.at("download_figures_mirrors"), "-1");
  EXPECT_EQ(record.at("download_figures_final"), "122");
  // No size in the record: the room was not checked.
  EXPECT_EQ(record.at("download_figures_space_needed"), "");
  EXPECT_EQ(record.at("download_figures_space_free"), "");
  EXPECT_EQ(record.at("download_figures_cap"), "0");
  EXPECT_EQ(record.at("download_figures_cap_changed"), "0");
}

}  // namespace
