// RunUpdateCheck: check mode for the encoder's section, download mode for the module, then its start.
#include "update/UpdateCheck.h"


#include <charconv>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/KnownFolders.h"
#include "platform/Processes.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"
#include "support/ServerAddress.h"
#include "update/SkyFiles.h"
#include "update/Skylift.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestSize = 256;
constexpr int kReceiveSize = 32768;
constexpr int kSendSlots = 64;
constexpr int kRecvSlots = 128;

std::unique_ptr<CSkylift> NewClient(const UpdateCheckSetup& setup, const char* what, const char* failure) {
  auto client = std::make_unique<CSkylift>();
  client->SetTrust(setup.key, setup.stagingParent);
  client->SetBounds(setup.verdictTimeoutMs, setup.overallMs);
  int connected = client->SetSize(kRequestSize, kReceiveSize, kSendSlots, kRecvSlots);
  if (connected == 1) connected = client->Connect(setup.server, setup.port);
  DebugLog(kDebugTarget, "%s. Connection:%d", what, connected);
  if (!client->IsConnected()) {
    DebugLog(kDebugTarget, "%s:%d", failure, client->IsConnected() ? 1 : 0);
    return nullptr;
  }
  return client;
}

// After a failed exchange, lets the client's thread finish reading what the server sent before it
// closed (its error message comes in the last blocks), so the reason named is the server's and not
// "too long". Returns false when the thread is still running at the deadline.
bool SettleAfterFailure(CSkylift& client, Clock::time_point deadline) {
  while (client.IsRunning()) {
    if (Clock::now() > deadline) return false;
    WaitStep(10);
  }
  return true;
}

// Waits for a verdict of the check-mode client: kSkyStateUpdate, kUpdateCurrent or kUpdateFailed.
// The client ends its exchange on silence and at its overall bound; this wait adds a margin.
// On kUpdateFailed, `timedOut` says whether the wait ran out rather than the exchange failing.
int AwaitCheckVerdict(CSkylift& a, int timeoutMs, bool& timedOut) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) + std::chrono::seconds(5);
  timedOut = false;
  for (;;) {
    const bool running = a.IsRunning();
    const int state = a.iGetUpdateStat();
    DebugLog(kDebugTarget, "1.xSkylift.iGetUpdateStat():%d,%d", state, a.HasError() ? 1 : 0);
    if (a.HasError() || state < 0) {
      timedOut = !SettleAfterFailure(a, deadline);
      return kUpdateFailed;
    }
    if (state == kSkyStateUpdate) return kSkyStateUpdate;
    if (state > kSkyStateUpdate) return kUpdateCurrent;
    // An exchange that ended without a verdict (the server closed) will not give one.
    if (!running) return kUpdateFailed;
    if (Clock::now() > deadline) {
      timedOut = true;
      return kUpdateFailed;
    }
    WaitStep(10);
  }
}

// Waits until the download-mode client has finished: true on the server's normal end.
bool AwaitDownload(CSkylift& b, int timeoutMs, bool& timedOut) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) + std::chrono::seconds(5);
  timedOut = false;
  for (;;) {
    const bool running = b.IsRunning();
    const int state = b.iGetUpdateStat();
    if (state >= kSkyStateDone) break;
    if (b.HasError() || state < 0) {
      timedOut = !SettleAfterFailure(b, deadline);
      return false;
    }
    if (!running) return false;
    if (Clock::now() > deadline) {
      timedOut = true;
      return false;
    }
    WaitStep(10);
  }
  DebugLog(kDebugTarget, "final xSkylift2.iGetUpdateStat():%d", b.iGetUpdateStat());
  return true;
}

}  // namespace

bool ParseUpdateServer(const std::string& text, std::string& host, int& port) {
  return ParseServerAddress(text, kUpdatePort, host, port);
}

namespace {

// The program's folder and the expected one compared as the system compares paths: on Windows
// either slash separates and letter case does not count; elsewhere letter case makes another
// folder.
bool SameFolder(std::string a, std::string b) {
#ifdef _WIN32
  for (std::string* t : {&a, &b})
    for (char& c : *t)
      if (c == '/') c = '\\';
  return SameIgnoringCase(a, b);
#else
  return a == b;
#endif
}

}  // namespace

bool IsPackagedCopy(const std::string& runningExe) {
#ifdef _WIN32
  (void)runningExe;
  return false;
#else
  return runningExe.compare(0, 5, "/usr/") == 0;
#endif
}

int RunUpdateCheck(const UpdateCheckSetup& setup, std::string* why) {
  auto say = [&](const std::string& text) {
    if (why) *why = text.empty() ? "the update server ended the exchange without an answer" : text;
  };
  if (!setup.key) {
    say("no update key is set (encoder.update_key), so no update can be trusted");
    return kUpdateFailed;
  }
  std::unique_ptr<CSkylift> a = NewClient(setup, "xSkylift", "Connection Failed");
  if (a) DebugLog(kDebugTarget, "xSkylift.IsConnected:%d", 1);
  if (!a) {
    say("the update server " + setup.server + ":" + std::to_string(setup.port) + " cannot be reached");
    return kUpdateFailed;
  }
  a->Folders().Clear();

  const std::string p = setup.programFiles.empty() ? GetSpecialFolder(kFolderProgramFiles) : setup.programFiles;
  SkyFolders& folders = a->Folders();
  folders.Set('P', p);
  folders.Set('S', GetSpecialFolder(kFolderSystem));
  folders.Set('T', GetSpecialFolder(kFolderTemp));
  folders.Set('K', GetSpecialFolder(kFolderDesktop));
  folders.Set('M', p + "/" + kEncoderInstallFolder);

  // Only an installed copy updates itself: one started from anywhere else would have the
  // module replace files that are not the ones running.
  const std::string exe = setup.runningExe.empty() ? skyfiles::RunningExecutable() : setup.runningExe;
  std::string exeFolder = exe;
  CutAfterLastBackslash(exeFolder, false);
  DebugLog(kDebugTarget, "sAppPath:%s,%s", folders.Get('M').c_str(), exe.c_str());
  if (!SameFolder(exeFolder, folders.Get('M'))) {
    if (setup.message) setup.message("Invalid Program Path!!", "Zelvora Media Encoder", true);
    return kUpdateWrongPath;
  }

  const int started = a->iStartUpdate(kEncoderSection, false);
  if (started <= 0) {
    DebugLog(kDebugTarget, "Update Failed:%d", started);
    return kUpdateFailed;
  }
  if (a->iGetUpdateStat() > kSkyStateUpdate) return kUpdateCurrent;
  bool checkTimedOut = false;
  const int verdict = AwaitCheckVerdict(*a, setup.overallMs, checkTimedOut);
  if (verdict == kUpdateFailed) say(checkTimedOut ? "the update check took too long" : a->Why());
  if (verdict != kSkyStateUpdate) return verdict;
  a->WaitForDisconnect(setup.verdictTimeoutMs);

  std::unique_ptr<CSkylift> b = NewClient(setup, "xSkylift2", "Connection Failed for skymod");
  if (!b) {
    say("the update server " + setup.server + ":" + std::to_string(setup.port) + " cannot be reached");
    return kUpdateFailed;
  }
  b->Folders() = a->Folders();
  b->Folders().Set('M', p + "/" + kModuleInstallFolder);
  const int startedB = b->iStartUpdate(kModuleSection, true);
  if (startedB <= 0) {
    DebugLog(kDebugTarget, "Update Failed for skymod:%d", startedB);
    return kUpdateFailed;
  }
  bool downloadTimedOut = false;
  if (!AwaitDownload(*b, setup.overallMs, downloadTimedOut)) {
    say(downloadTimedOut ? "the update took too long" : b->Why());
    return kUpdateFailed;
  }

  const std::string parameters =
      "1|0|" + setup.server + ":" + std::to_string(setup.port) + "|" + kEncoderSection + "|" + exe;
  const std::string module = p + "/" + kModuleInstallFolder + "/" + kModuleFile;
  DebugLog(kDebugTarget, "sSkymodePath:%s,%s", module.c_str(), parameters.c_str());
  if (FileExists(module) && !SpawnDetached({module, parameters}))
    DebugLog(kDebugTarget, "The update module could not be started: %s", module.c_str());
  return kUpdateStarted;
}

int RunStartupUpdateDecision(RegistryStore& root, int64_t now, const InterfaceTexts& texts, UpdateCheckSetup setup,
                             bool force) {
  RegValue v;
  int32_t last = 0;
  if (RegReadValue(root, kUpdateSettingsKey, "program_rebirth", v) == 1 && v.type == kRegDword)
    last = static_cast<int32_t>(v.dword);
  std::string server;
  if (RegReadValue(root, kUpdateSettingsKey, "update_server", v) == 1 && v.type == kRegSz) server = v.text;
  std::string keyText;
  if (RegReadValue(root, kUpdateSettingsKey, "update_key", v) == 1 && v.type == kRegSz) keyText = v.text;
  const std::string exe = setup.runningExe.empty() ? skyfiles::RunningExecutable() : setup.runningExe;
  // The package manager updates a packaged copy; it has nothing to ask and nothing to say.
  if (IsPackagedCopy(exe)) {
    DebugLog(kDebugTarget, "packaged copy %s: no update check", exe.c_str());
    return kUpdateNotRun;
  }
  int result = kUpdateNotRun;
  // A negative time on either side (a clock before 1970, a stored value past 2038) counts as
  // no difference.
  const bool due = force || (now >= 0 && last >= 0 && now - last > kUpdateInterval);
  std::string keyWhy;
  if (!keyText.empty()) setup.key = ParseMinisignKey(keyText, &keyWhy);
  if (due && ParseUpdateServer(server, setup.server, setup.port) && !setup.key) {
    // Nothing unsigned is installed or started; said once a week rather than at every start.
    const std::string text = keyText.empty()
                                 ? "No update key is set, so no update is installed: set the publisher's minisign public key "
                                   "with zelvora settings set encoder.update_key=KEY."
                                 : "The update key (encoder.update_key) is not a minisign public key (" + keyWhy +
                                       "), so no update is installed.";
    DebugLog(kDebugTarget, "%s", text.c_str());
    if (setup.message) setup.message(text, texts.product_title, false);
    RegWriteDword(root, kUpdateSettingsKey, "program_rebirth", static_cast<uint32_t>(now));
    result = kUpdateFailed;
  } else if (due && ParseUpdateServer(server, setup.server, setup.port)) {
    std::string why;
    result = RunUpdateCheck(setup, &why);
    if (result == kUpdateStarted || result == kUpdateCurrent)
      RegWriteDword(root, kUpdateSettingsKey, "program_rebirth", static_cast<uint32_t>(now));
    if (result == kUpdateFailed && setup.message)
      setup.message(std::string(texts.update_incomplete) + (why.empty() ? "" : "\n" + why), texts.product_title, false);
    DebugLog(kDebugTarget, "iUpdatePack:%d %s", result, why.c_str());
  } else if (due && !server.empty()) {
    const std::string text = "The update_server setting \"" + server + "\" is not HOST[:PORT]; no update check ran.";
    DebugLog(kDebugTarget, "%s", text.c_str());
    if (setup.message) setup.message(text, texts.product_title, false);
  }
  DebugLog(kDebugTarget, "tzLastUpdate:%d,%d", static_cast<int>(now), last);
  return result;
}
