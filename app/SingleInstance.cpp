// SingleInstance: the lock says who is first; the socket carries the later copy's files, one path per line.
#include "app/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include "platform/KnownFolders.h"
#include "platform/UserFiles.h"

namespace {
const char kInstanceName[] = "Zelvora Media Encoder";
}  // namespace

QString SingleInstance::DefaultFolder() {
  // The lock and the socket live only in a folder nobody else can enter: another user who made
  // the folder first could otherwise hold the lock (and keep this user's program from starting)
  // or listen on the socket (and receive the paths of the user's files).
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && platform::IsPrivateFolder(runtime.toStdString()))
    return runtime;
  const QString shared = QDir::tempPath() + QString("/zelvora-%1").arg(platform::CurrentUserNumber());
  if (platform::MakePrivateFolder(shared.toStdString())) return shared;
  // Taken by someone else, or with other rights: a private folder in the user's cache instead.
  const QString cache = QString::fromStdString(SpecialFolderPath(kFolderInternetCache)) + "/zelvora/instance";
  if (platform::MakePrivateFolder(cache.toStdString())) return cache;
  return {};
}

SingleInstance::SingleInstance(const QString& folder, QObject* parent) : QObject(parent) {
  const QString chosen = folder.isEmpty() ? DefaultFolder() : folder;
  if (chosen.isEmpty()) m_error = "no private folder for the single-instance lock could be made";
  const QString base = chosen + "/" + kInstanceName;
  m_socketName = base + ".socket";
  m_lock = std::make_unique<QLockFile>(base + ".lock");
  connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
}

SingleInstance::~SingleInstance() {
  m_server.close();
  if (m_lock->isLocked()) m_lock->unlock();
}

SingleInstance::Role SingleInstance::Claim() {
  // A lock whose holder has died is stale at once; a living holder keeps it however old.
  m_lock->setStaleLockTime(0);
  if (!m_error.isEmpty()) return Role::kFailed;
  if (!m_lock->tryLock(0)) {
    if (m_lock->error() == QLockFile::LockFailedError) return Role::kSecond;
    m_error = QString("the lock file %1.lock cannot be made (%2)")
                  .arg(m_socketName.chopped(7), m_lock->error() == QLockFile::PermissionError ? "no permission"
                                                                                              : "unknown error");
    return Role::kFailed;
  }
  QLocalServer::removeServer(m_socketName);
  m_server.setSocketOptions(QLocalServer::UserAccessOption);
  m_server.listen(m_socketName);
  return Role::kFirst;
}

bool SingleInstance::HandOver(const QStringList& paths, int timeoutMs) {
  QByteArray message = "RAISE\n";
  for (const QString& path : paths) {
    QString full = QFileInfo(path).absoluteFilePath();
    if (full.contains('\n')) continue;  // a line break cannot travel in a line
    message += full.toUtf8() + "\n";
  }
  QElapsedTimer clock;
  clock.start();
  // The first copy may hold the lock but not listen yet: try again for a while.
  while (clock.elapsed() < timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(m_socketName);
    if (socket.waitForConnected(500)) {
      socket.write(message);
      bool ok = socket.waitForBytesWritten(timeoutMs);
      socket.disconnectFromServer();
      if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
      return ok;
    }
    QThread::msleep(50);
  }
  return false;
}

void SingleInstance::OnConnection() {
  while (QLocalSocket* socket = m_server.nextPendingConnection()) {
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
      *buffer += socket->readAll();
      // A copy handing over a million paths is not a copy of ours: stop reading.
      if (buffer->size() > 64 * 1024 * 1024) socket->abort();
    });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
      *buffer += socket->readAll();
      socket->deleteLater();
      QList<QByteArray> lines = buffer->split('\n');
      if (lines.isEmpty() || lines.front() != "RAISE") return;
      QStringList paths;
      for (qsizetype i = 1; i < lines.size(); ++i)
        if (!lines[i].isEmpty()) paths << QString::fromUtf8(lines[i]);
      emit FilesReceived(paths);
    });
  }
}
