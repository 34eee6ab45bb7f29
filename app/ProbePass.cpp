// ProbePass: workers take the next job by an atomic counter; the window's thread commits finished rows in order.
#include "app/ProbePass.h"

#include <algorithm>

#include "platform/UserFiles.h"
#include "probe/MediaInfo.h"
#include "support/FileUtils.h"

namespace {
// Rows handed to the list per tick: enough to keep up with the workers, few enough that one
// tick never holds the window's thread for long.
constexpr size_t kRowsPerTick = 1000;
constexpr int kTickMs = 10;
}  // namespace

ProbePass::ProbePass(FileList& list, const InterfaceTexts& texts, QObject* parent)
    : QObject(parent), m_list(list), m_texts(texts) {
  m_commitTimer.setInterval(kTickMs);
  connect(&m_commitTimer, &QTimer::timeout, this, &ProbePass::Commit);
}

ProbePass::~ProbePass() { StopWorkers(); }

bool ProbePass::Start(bool skipScan) {
  if (m_running) return false;
  m_skipScan = skipScan;
  m_jobs.clear();
  const size_t rows = m_list.size();
  m_jobs.reserve(rows);
  for (size_t i = 0; i < rows; ++i) {
    if (!m_list.text(i, kColStatus).empty()) continue;
    Job job;
    job.row = i;
    job.path = m_list.text(i, kColFullPath);
    m_jobs.push_back(std::move(job));
  }
  m_ready = std::make_unique<std::atomic<bool>[]>(m_jobs.size());
  for (size_t i = 0; i < m_jobs.size(); ++i) m_ready[i] = false;
  m_next = 0;
  m_stop = false;
  m_committed = 0;
  m_running = true;
  size_t workers = std::min<size_t>(static_cast<size_t>(std::max(1, GetProcessorCount())), 4);
  workers = std::min(workers, std::max<size_t>(m_jobs.size(), 1));
  for (size_t i = 0; i < workers; ++i) m_workers.emplace_back([this] { Work(); });
  m_commitTimer.start();
  return true;
}

void ProbePass::Work() {
  // The probes yield to the window's thread: on a busy machine it keeps answering.
  platform::LowerThisThreadPriority();
  for (;;) {
    if (m_stop) return;
    size_t k = m_next.fetch_add(1);
    if (k >= m_jobs.size()) return;
    Job& job = m_jobs[k];
    int result = -1;
    MediaInfo info;
    job.outcome = ProbeListRow(job.path, m_texts, m_skipScan, job.texts, result, info);
    m_ready[k].store(true, std::memory_order_release);
  }
}

void ProbePass::Commit() {
  size_t end = std::min(m_jobs.size(), m_committed + kRowsPerTick);
  while (m_committed < end && m_ready[m_committed].load(std::memory_order_acquire)) {
    const Job& job = m_jobs[m_committed++];
    // Unopenable files keep an empty status and are tried again at the next pass.
    if (job.outcome != RowProbe::kProbed) continue;
    // The row is filled only where it still names the same file.
    if (m_list.text(job.row, kColFullPath) == job.path) m_list.setRow(job.row, job.texts);
  }
  if (m_committed < m_jobs.size()) return;
  m_commitTimer.stop();
  StopWorkers();
  m_jobs.clear();
  m_running = false;
  emit Finished();
}

void ProbePass::StopWorkers() {
  m_stop = true;
  for (std::thread& worker : m_workers)
    if (worker.joinable()) worker.join();
  m_workers.clear();
}

void ProbePass::Abandon() {
  m_commitTimer.stop();
  StopWorkers();
  m_jobs.clear();
  m_running = false;
}
