// Settings paths of one user inside a temporary folder, for tests of the main window and its logic.
#pragma once

#include <string>

#include "app/TovikSettings.h"

namespace tovik::test {

inline TSettingsPaths TempSettingsPaths(const std::string& ADir) {
  TSettingsPaths p;
  p.UserFolder = ADir + "/user";
  p.UserIni = p.UserFolder + "/Tovik.ini";
  p.LogPath = p.UserFolder + "/Tovik.log";
  p.ProgramFile = ADir + "/prog/tovik";
  p.ProgramFolder = ADir + "/prog";
  return p;
}

}  // namespace tovik::test
