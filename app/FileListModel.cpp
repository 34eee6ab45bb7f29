// FileListModel: reads the rows' texts straight from the list; counts and changes arrive batched.
#include "app/FileListModel.h"

#include <QMetaObject>
#include <algorithm>
#include <climits>
#include <cstring>

#include "probe/MediaInfo.h"
#include "ui/Skin.h"

namespace {
// Set while the model itself removes a row, so the list's reset notice for it is not applied twice.
thread_local bool t_ownRemoval = false;
}  // namespace

struct FileListModel::Pending {
  std::mutex mutex;
  FileListModel* model = nullptr;  // null once the model is gone
  bool scheduled = false;
  bool reset = false;
  long first = LONG_MAX;
  long last = -1;
};

FileListModel::FileListModel(FileList& list, const InterfaceTexts& texts, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_texts(texts), m_pending(std::make_shared<Pending>()) {
  m_pending->model = this;
  m_icons = FileTypeIcons();
  m_rows = static_cast<int>(m_list.size());
  std::shared_ptr<Pending> pending = m_pending;
  m_list.setObserver([pending](long index) {
    std::lock_guard lock(pending->mutex);
    if (!pending->model) return;
    if (index < 0 && t_ownRemoval) return;
    if (index < 0) {
      pending->reset = true;
    } else {
      pending->first = std::min(pending->first, index);
      pending->last = std::max(pending->last, index);
    }
    if (!pending->scheduled) {
      pending->scheduled = true;
      QMetaObject::invokeMethod(pending->model, &FileListModel::Sync, Qt::QueuedConnection);
    }
  });
}

FileListModel::~FileListModel() {
  m_list.setObserver({});
  std::lock_guard lock(m_pending->mutex);
  m_pending->model = nullptr;
}

void FileListModel::Sync() {
  bool reset;
  long first, last;
  {
    std::lock_guard lock(m_pending->mutex);
    reset = m_pending->reset;
    first = m_pending->first;
    last = m_pending->last;
    m_pending->scheduled = false;
    m_pending->reset = false;
    m_pending->first = LONG_MAX;
    m_pending->last = -1;
  }
  const int rows = static_cast<int>(m_list.size());
  if (reset || rows < m_rows) {
    beginResetModel();
    m_rows = rows;
    endResetModel();
    emit RowCountChanged(m_rows);
    return;
  }
  const int before = m_rows;
  if (rows > m_rows) {
    beginInsertRows(QModelIndex(), m_rows, rows - 1);
    m_rows = rows;
    endInsertRows();
  }
  // Rows just inserted are read fresh; only the older ones need a change notice.
  if (last >= 0 && first < before) {
    int to = static_cast<int>(std::min<long>(last, before - 1));
    emit dataChanged(index(static_cast<int>(first), 0), index(to, kColumnCount - 1));
  }
  if (rows != before) emit RowCountChanged(m_rows);
}

void FileListModel::RemoveRow(int row) {
  if (row < 0 || row >= m_rows) return;
  beginRemoveRows(QModelIndex(), row, row);
  t_ownRemoval = true;
  m_list.remove(static_cast<size_t>(row));
  t_ownRemoval = false;
  m_rows = static_cast<int>(m_list.size());
  endRemoveRows();
  emit RowCountChanged(m_rows);
}

int FileListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_rows; }

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

Qt::Alignment FileListModel::ColumnAlignment(int column) {
  if (column == kColFileName || column == kColFullPath) return Qt::AlignLeft | Qt::AlignVCenter;
  if (column >= kColWidth && column <= kColSize) return Qt::AlignRight | Qt::AlignVCenter;
  return Qt::AlignHCenter | Qt::AlignVCenter;
}

int FileListModel::IconIndex(const std::string& typeName) {
  if (typeName.empty()) return 0;
  for (int type = 1; type < kMediaTypeCount; ++type)
    if (typeName == kMediaTypeNames[type]) return type;
  return 0;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= m_rows) return {};
  const size_t row = static_cast<size_t>(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(m_list.text(row, index.column()));
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ColumnAlignment(index.column()));
    case Qt::DecorationRole: {
      if (index.column() != kColFileName) return {};
      int icon = IconIndex(m_list.text(row, kColType));
      return icon < m_icons.size() ? QVariant(m_icons[icon]) : QVariant();
    }
    case Qt::ToolTipRole: {
      // Info tips: the whole path of the file, whatever part of the name the column shows; on a
      // row that failed, why it failed.
      const QString cause = CauseOf(index.row());
      const QString path = QString::fromStdString(m_list.text(row, kColFullPath));
      if (!cause.isEmpty()) return index.column() == kColFileName ? path + "\n" + cause : cause;
      if (index.column() == kColFileName) return path;
      return {};
    }
    default:
      return {};
  }
}

void FileListModel::SetCause(const QString& fullPath, const QString& cause) {
  if (cause.isEmpty())
    m_causes.remove(fullPath);
  else
    m_causes.insert(fullPath, cause);
}

QString FileListModel::CauseOf(int row) const {
  if (row < 0 || row >= m_rows) return {};
  const std::string status = m_list.text(static_cast<size_t>(row), kColStatus);
  if (status != m_texts.status_failed && status != m_texts.status_error) return {};
  return m_causes.value(QString::fromStdString(m_list.text(static_cast<size_t>(row), kColFullPath)));
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) {
    const char* text = m_texts.list_headers[section];
    return QString::fromUtf8(text ? text : "");
  }
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(ColumnAlignment(section));
  return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
