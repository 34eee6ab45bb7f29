// CSettingsDialog: a table of group.name, value and meaning over the settings field table.
#include "app/SettingsDialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>

#include "encoder/SettingsFields.h"
#include "ui/Skin.h"
#include "ui/WBButton.h"

namespace {
QString FieldName(const SettingField& f) { return QString("%1.%2").arg(f.group, f.name); }
}  // namespace

CSettingsDialog::CSettingsDialog(const EncodingSettings& settings, const StoredPaths& paths,
                                 const InterfaceTexts& texts, QWidget* parent)
    : CFlatDLGex(parent), m_settings(settings), m_paths(paths) {
  setObjectName("SettingsDialog");
  setWindowTitle(QString::fromUtf8(texts.settings_title));
  SetTitle(QString::fromUtf8(texts.settings_title));
  SetTitlePos({CFlatDLG::kBorderWidth + 4 + 18, 10});
  SetTitleColors(QColor(50, 82, 143), Qt::white);
  SetRegionCut(true, Qt::black);
  SetResizable(true);
  setMinimumSize(480, 360);
  QPalette body = palette();
  body.setColor(QPalette::Window, QColor(192, 192, 192));
  setPalette(body);
  setAutoFillBackground(true);

  m_table = new QTableWidget(this);
  m_table->setObjectName("SettingsTable");
  m_table->setColumnCount(3);
  m_table->setHorizontalHeaderLabels({"setting", "value", "meaning"});
  m_table->verticalHeader()->hide();
  m_table->horizontalHeader()->setStretchLastSection(true);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  int row = 0;
  for (const SettingField& f : SettingFields()) {
    if (f.kind == SettingKind::kTime) continue;  // the update check's own clock
    m_table->insertRow(row);
    auto* name = new QTableWidgetItem(FieldName(f));
    name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    auto* value = new QTableWidgetItem(QString::fromStdString(SettingValueText(f, m_settings, m_paths)));
    value->setData(Qt::UserRole, FieldName(f));
    auto* meaning = new QTableWidgetItem(QString::fromUtf8(f.meaning ? f.meaning : ""));
    meaning->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    m_table->setItem(row, 0, name);
    m_table->setItem(row, 1, value);
    m_table->setItem(row, 2, meaning);
    ++row;
  }
  m_table->resizeColumnToContents(0);
  m_table->setColumnWidth(1, 160);

  m_error = new QLabel(this);
  m_error->setObjectName("SettingsError");
  m_error->setStyleSheet("color: rgb(160, 0, 0);");
  auto* ok = new CWBButton(QString::fromUtf8(texts.ok_button), this);
  ok->setObjectName("BtnOk");
  ok->LoadBitmaps(QString::fromLatin1(kSkinButton));
  auto* cancel = new CWBButton("Cancel", this);
  cancel->setObjectName("BtnCancel");
  cancel->LoadBitmaps(QString::fromLatin1(kSkinButton));
  m_ok = ok;
  m_cancel = cancel;
  connect(ok, &QPushButton::clicked, this, [this] {
    if (Collect()) accept();
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  resize(640, 480);
}

void CSettingsDialog::resizeEvent(QResizeEvent* event) {
  CFlatDLGex::resizeEvent(event);
  const QRect client = ClientRect().adjusted(6, 6, -6, -6);
  m_table->setGeometry(client.left(), client.top(), client.width(), client.height() - 23 - 8);
  const int y = client.bottom() - 23 + 1;
  m_cancel->setGeometry(client.right() - 80 + 1, y, 80, 23);
  m_ok->setGeometry(client.right() - 80 - 6 - 80 + 1, y, 80, 23);
  m_error->setGeometry(client.left(), y, client.width() - 180, 23);
}

bool CSettingsDialog::Collect() {
  EncodingSettings settings = m_settings;
  StoredPaths paths = m_paths;
  for (int row = 0; row < m_table->rowCount(); ++row) {
    QTableWidgetItem* item = m_table->item(row, 1);
    const SettingField* field = FindSettingField(item->data(Qt::UserRole).toString().toStdString());
    if (!field) continue;
    const std::string text = item->text().toStdString();
    if (text == SettingValueText(*field, settings, paths)) continue;
    std::string error;
    if (!SetSettingValue(*field, text, settings, paths, error)) {
      m_error->setText(QString::fromStdString(error));
      m_table->setCurrentItem(item);
      return false;
    }
  }
  m_settings = settings;
  m_paths = paths;
  return true;
}
