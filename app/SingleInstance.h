// One copy per user: a lock file and a local socket in the user's runtime folder.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>
#include <memory>

// The first copy holds the lock and listens; a later copy finds the lock taken, hands its file
// arguments to the first over the socket and ends. A lock left by a copy that died is taken over.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // kFailed: neither, because the lock could not be taken or asked (ErrorText() says why).
  enum class Role { kFirst, kSecond, kFailed };

  // `folder` empty: the user's runtime folder ($XDG_RUNTIME_DIR when it is the user's own with
  // mode 0700, else /tmp/zelvora-UID when it is, else a private folder in the user's cache).
  explicit SingleInstance(const QString& folder = QString(), QObject* parent = nullptr);
  ~SingleInstance() override;

  Role Claim();
  // Second copy: sends `paths` (made absolute) and asks the first to come forward. False when
  // no first copy answered within `timeoutMs`.
  bool HandOver(const QStringList& paths, int timeoutMs = 5000);

  QString SocketName() const { return m_socketName; }
  QString ErrorText() const { return m_error; }
  static QString DefaultFolder();

 signals:
  // First copy: files handed over by a later one (possibly none: then only come forward).
  void FilesReceived(const QStringList& paths);

 private:
  void OnConnection();

  QString m_socketName;
  QString m_error;
  std::unique_ptr<QLockFile> m_lock;
  QLocalServer m_server;
};
