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
  int connected = client->SetSize(kRequestSize, kReceiveSize, kSendSlots, kRecvSlots);
  if (connected == 1) connected = client->Connect(setup.server, setup.port);
  DebugLog(kDebugTarget, "%s. Connection:%d", what, connected);
  if (!client->IsConnected()) {
    DebugLog(kDebugTarget, "%s:%d", failure, client->IsConnected() ? 1 : 0);
    return nullptr;
  }
  return client;
}

// Waits for a verdict of the check-mode client: kSkyStateUpdate, kUpdateCurrent or kUpdateFailed.
int AwaitCheckVerdict(CSkylift& a, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const bool running = a.IsRunning();
    const int state = a.iGetUpdateStat();
    DebugLog(kDebugTarget, "1.xSkylift.iGetUpdateStat():%d,%d", state, a.HasError() ? 1 : 0);
    if (a.HasError() || state < 0) return kUpdateFailed;
    if (state == kSkyStateUpdate) return kSkyStateUpdate;
    if (state > kSkyStateUpdate) return kUpdateCurrent;
    // An exchange that ended without a verdict (the server closed) will not give one.
    if (!running || Clock::now() > deadline) return kUpdateFailed;
    WaitStep(10);
  }
}

// Waits until the download-mode client has finished: true on the server's normal end.
bool AwaitDownload(CSkylift& b, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const bool running = b.IsRunning();
    const int state = b.iGetUpdateStat();
    if (state >= kSkyStateDone) break;
    if (b.HasError() || state < 0 || !running || Clock::now() > deadline) return false;
    WaitStep(10);
  }
  DebugLog(kDebugTarget, "final xSkylift2.iGetUpdateStat():%d", b.iGetUpdateStat());
  return true;
}

}  // namespace

bool ParseUpdateServer(const std::string& text, std::string& host, int& port) {
  std::string_view t = TrimBlanks(text);
  if (t.empty()) return false;
  port = kUpdatePort;
  const size_t colon = t.rfind(':');
  if (colon != std::string_view::npos) {
    int p = 0;
    auto [end, ec] = std::from_chars(t.data() + colon + 1, t.data() + t.size(), p);
    if (ec != std::errc() || end != t.data() + t.size() || p <= 0 || p > 65535) return false;
    port = p;
    t = t.substr(0, colon);
  }
  if (t.empty() || t.find_first_of(" \t/") != std::string_view::npos) return false;
  host = std::string(t);
  return true;
}

int RunUpdateCheck(const UpdateCheckSetup& setup) {
  std::unique_ptr<CSkylift> a = NewClient(setup, "xSkylift", "Connection Failed");
  if (a) DebugLog(kDebugTarget, "xSkylift.IsConnected:%d", 1);
  if (!a) return kUpdateFailed;
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
  if (!SameIgnoringCase(exeFolder, folders.Get('M'))) {
    if (setup.message) setup.message("Invalid Program Path!!", "Zelvora Media Encoder", true);
    return kUpdateWrongPath;
  }

  const int started = a->iStartUpdate(kEncoderSection, false);
  if (started <= 0) {
    DebugLog(kDebugTarget, "Update Failed:%d", started);
    return kUpdateFailed;
  }
  if (a->iGetUpdateStat() > kSkyStateUpdate) return kUpdateCurrent;
  const int verdict = AwaitCheckVerdict(*a, setup.verdictTimeoutMs);
  if (verdict != kSkyStateUpdate) return verdict;
  a->WaitForDisconnect(setup.verdictTimeoutMs);

  std::unique_ptr<CSkylift> b = NewClient(setup, "xSkylift2", "Connection Failed for skymod");
  if (!b) return kUpdateFailed;
  b->Folders() = a->Folders();
  b->Folders().Set('M', p + "/" + kModuleInstallFolder);
  const int startedB = b->iStartUpdate(kModuleSection, true);
  if (startedB <= 0) {
    DebugLog(kDebugTarget, "Update Failed for skymod:%d", startedB);
    return kUpdateFailed;
  }
  if (!AwaitDownload(*b, setup.verdictTimeoutMs)) return kUpdateFailed;

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
  int result = kUpdateNotRun;
  // A negative time on either side (a clock before 1970, a stored value past 2038) counts as
  // no difference.
  const bool due = force || (now >= 0 && last >= 0 && now - last > kUpdateInterval);
  if (due && ParseUpdateServer(server, setup.server, setup.port)) {
    result = RunUpdateCheck(setup);
    if (result == kUpdateStarted || result == kUpdateCurrent)
      RegWriteDword(root, kUpdateSettingsKey, "program_rebirth", static_cast<uint32_t>(now));
    if (result == kUpdateFailed && setup.message) setup.message(texts.update_incomplete, texts.product_title, false);
    DebugLog(kDebugTarget, "iUpdatePack:%d", result);
  } else if (due && !server.empty()) {
    const std::string text = "The update_server setting \"" + server + "\" is not HOST[:PORT]; no update check ran.";
    DebugLog(kDebugTarget, "%s", text.c_str());
    if (setup.message) setup.message(text, texts.product_title, false);
  }
  DebugLog(kDebugTarget, "tzLastUpdate:%d,%d", static_cast<int>(now), last);
  return result;
}
