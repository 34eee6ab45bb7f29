// The Qt list model over the core's FileList: rows of twelve texts and a type icon.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QPixmap>
#include <memory>
#include <mutex>

#include "encoder/FileList.h"
#include "support/InterfaceTexts.h"

// Any thread may change the FileList; the model learns of it through the list's observer,
// collects the changes and applies them on its own (GUI) thread in one step per event-loop
// turn, so thousands of rows added or filled at once cost one model update.
class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  FileListModel(FileList& list, const InterfaceTexts& texts, QObject* parent = nullptr);
  ~FileListModel() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Removes row `row` from the list and the model (GUI thread).
  void RemoveRow(int row);
  // Applies the changes collected so far at once (GUI thread).
  void Sync();

  // Why the file at `fullPath` failed, shown as the tip of its row while its status is failed
  // or error. Kept by path: rows move and go, and a row is nothing but its texts.
  void SetCause(const QString& fullPath, const QString& cause);
  // The cause of row `row` when its status is failed or error, else empty.
  QString CauseOf(int row) const;

  // The header alignment of column `column`: file name and path left, the numbers right,
  // everything else centred.
  static Qt::Alignment ColumnAlignment(int column);
  // The icon index of a row: the probe's MediaType, recovered from the type column.
  static int IconIndex(const std::string& typeName);

 signals:
  // After every applied change, with the list's row count.
  void RowCountChanged(int rows);

 private:
  struct Pending;  // the changes collected from other threads

  FileList& m_list;
  const InterfaceTexts& m_texts;
  std::shared_ptr<Pending> m_pending;
  QList<QPixmap> m_icons;
  QHash<QString, QString> m_causes;
  int m_rows = 0;
};
