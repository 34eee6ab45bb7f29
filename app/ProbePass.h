// The probe pass of the file list: rows without a status are probed on worker threads and filled in list order.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "encoder/FileList.h"
#include "probe/ListRow.h"
#include "support/InterfaceTexts.h"

// Probing one file at a time on the window's thread would freeze the window for as long as
// the files take to read; here a few workers probe while the window's thread only copies the
// finished rows into the list, a batch per timer tick, always the next rows in list order.
class ProbePass : public QObject {
  Q_OBJECT
 public:
  ProbePass(FileList& list, const InterfaceTexts& texts, QObject* parent = nullptr);
  ~ProbePass() override;

  // Starts probing every row whose status is empty. False when a pass runs already.
  bool Start(bool skipScan);
  bool IsRunning() const { return m_running; }
  // Waits for the workers and drops what they have not handed over (the window is closing).
  void Abandon();

 signals:
  // Every row of the pass has been handed to the list (or left empty when unopenable).
  void Finished();
  // A row the probe could not read as media was marked failed; `cause` says why.
  void RowFailed(const QString& fullPath, const QString& cause);

 private:
  struct Job {
    size_t row = 0;
    std::string path;
    ListRowTexts texts;
    RowProbe outcome = RowProbe::kNotOpened;
    std::string cause;  // set when the row is marked failed
  };
  void Work();
  void Commit();
  void StopWorkers();

  FileList& m_list;
  const InterfaceTexts& m_texts;
  bool m_skipScan = false;
  bool m_running = false;
  std::vector<Job> m_jobs;
  std::unique_ptr<std::atomic<bool>[]> m_ready;
  std::atomic<size_t> m_next{0};
  std::atomic<bool> m_stop{false};
  size_t m_committed = 0;
  std::vector<std::thread> m_workers;
  QTimer m_commitTimer;
};
