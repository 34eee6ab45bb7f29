// The main window as the window tests open it.
#pragma once

#include <memory>
#include <utility>

#include "TestSupport.h"
#include "app/MainDLG.h"
#include "encoder/SettingsStore.h"

namespace windowtest {

// `base` (a first start's paths unless given) with everything the window writes (outputs,
// error log, program folder) inside `dir`.
inline StoredPaths PathsIn(const testsupport::TempDir& dir, StoredPaths base = {}) {
  StoredPaths paths = std::move(base);
  paths.output_folder = dir.file("out");
  ApplyPathDefaults(paths, false);
  paths.error_log_path = dir.file("error_log.txt");
  paths.ProgramFolder = dir.str();
  return paths;
}

// A shown window without a tray icon that stores nothing when it closes, so no test writes a
// settings store it did not ask for. The caller waits for it to be exposed.
inline std::unique_ptr<CMainDLG> Show(const EncodingSettings& settings, const StoredPaths& paths) {
  MainWindowOptions options;
  options.trayIcon = false;
  options.saveOnExit = false;
  auto window = std::make_unique<CMainDLG>(settings, paths, options);
  window->show();
  return window;
}

}  // namespace windowtest
