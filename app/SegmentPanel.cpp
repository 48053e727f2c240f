#include "SegmentPanel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>

#include "MainUnit.h"
#include "segments/SegmentList.h"

namespace {

QPushButton* PanelButton(QWidget* parent, const char* name, const QString& text, const QString& hint) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  b->setAutoDefault(false);
  b->setToolTip(hint);
  return b;
}

QTableWidgetItem* CellAt(QTableWidget* table, int row, int column) {
  QTableWidgetItem* item = table->item(row, column);
  if (!item) {
    item = new QTableWidgetItem;
    table->setItem(row, column, item);
  }
  return item;
}

}  // namespace

QColor SegmentColour(int index, bool selected) {
  // Distinct from the selection's blue and the key marks' red.
  static const QColor colours[] = {
      QColor(240, 150, 20), QColor(60, 170, 60),  QColor(160, 80, 210), QColor(220, 60, 130),
      QColor(20, 165, 165), QColor(170, 160, 20), QColor(150, 95, 50),  QColor(100, 110, 240),
  };
  constexpr int n = static_cast<int>(std::size(colours));
  const QColor c = colours[((index % n) + n) % n];
  if (selected) return c;
  // Two thirds of the way to a light grey.
  return QColor((c.red() + 2 * 210) / 3, (c.green() + 2 * 210) / 3, (c.blue() + 2 * 210) / 3);
}

QString SegmentAutosavePath(const QString& mediaPath) {
  const QByteArray hash =
      QCryptographicHash::hash(QDir::cleanPath(mediaPath).toUtf8(), QCryptographicHash::Sha1).toHex().left(20);
  return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/projects/") +
         QString::fromLatin1(hash) + QStringLiteral(".trimora");
}

TSegmentPanel::TSegmentPanel(TSegmentList& list, QWidget* parent) : QWidget(parent), FList(list) {
  setObjectName(QStringLiteral("pnlSegments"));
  tblSegments = new QTableWidget(0, colCount, this);
  tblSegments->setObjectName(QStringLiteral("tblSegments"));
  tblSegments->setHorizontalHeaderLabels(
      {QStringLiteral("Start"), QStringLiteral("End"), QStringLiteral("Length"), QStringLiteral("Label")});
  tblSegments->setSelectionBehavior(QAbstractItemView::SelectRows);
  tblSegments->setSelectionMode(QAbstractItemView::SingleSelection);
  tblSegments->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                               QAbstractItemView::AnyKeyPressed);
  tblSegments->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  tblSegments->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  tblSegments->horizontalHeader()->setStretchLastSection(true);
  tblSegments->setMinimumWidth(300);

  btnAddSegment = PanelButton(this, "btnAddSegment", QStringLiteral("Add Segment"),
                              QStringLiteral("Add the range between the points to the list (S)"));
  btnOpenList = PanelButton(this, "btnOpenList", QStringLiteral("Open List..."),
                            QStringLiteral("Replace the list by a project file"));
  btnSaveList = PanelButton(this, "btnSaveList", QStringLiteral("Save List..."),
                            QStringLiteral("Save the list as a project file"));
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(4);
  buttons->addWidget(btnAddSegment);
  buttons->addStretch(1);
  buttons->addWidget(btnOpenList);
  buttons->addWidget(btnSaveList);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(4);
  column->addWidget(tblSegments, 1);
  column->addLayout(buttons);

  connect(tblSegments, &QTableWidget::cellClicked, this, [this](int row, int) {
    if (row >= 0 && static_cast<size_t>(row) < FList.Count()) emit JumpTo(FList[static_cast<size_t>(row)].Start);
  });
  connect(tblSegments, &QTableWidget::currentCellChanged, this,
          [this](int row, int, int previous, int) {
            if (row != previous) emit CurrentChanged(row);
          });
  connect(tblSegments, &QTableWidget::cellChanged, this, &TSegmentPanel::CellEdited);
  tblSegments->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tblSegments, &QWidget::customContextMenuRequested, this, &TSegmentPanel::ShowMenu);
  BuildShortcuts();
}

void TSegmentPanel::BuildShortcuts() {
  struct TKey {
    QKeySequence Key;
    void (TSegmentPanel::*Action)();
  };
  const TKey keys[] = {
      {QKeySequence(Qt::Key_Delete), &TSegmentPanel::RemoveCurrent},
      {QKeySequence(Qt::CTRL | Qt::Key_Z), &TSegmentPanel::Undo},
      {QKeySequence(Qt::CTRL | Qt::Key_Y), &TSegmentPanel::Redo},
      {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), &TSegmentPanel::Redo},
  };
  for (const TKey& k : keys) {
    auto* sc = new QShortcut(k.Key, this);
    sc->setContext(Qt::WidgetWithChildrenShortcut);
    connect(sc, &QShortcut::activated, this, k.Action);
  }
  for (bool up : {true, false}) {
    auto* sc = new QShortcut(QKeySequence(Qt::ALT | (up ? Qt::Key_Up : Qt::Key_Down)), this);
    sc->setContext(Qt::WidgetWithChildrenShortcut);
    connect(sc, &QShortcut::activated, this, [this, up] { MoveCurrent(up); });
  }
}

void TSegmentPanel::Refresh() {
  const QSignalBlocker quiet(tblSegments);
  const int rows = static_cast<int>(FList.Count());
  tblSegments->setRowCount(rows);
  for (int row = 0; row < rows; ++row) {
    const TSegment& s = FList[static_cast<size_t>(row)];
    const QString texts[colCount] = {PTSText(s.Start), PTSText(s.End), PTSText(s.End - s.Start),
                                     QString::fromStdString(s.Label)};
    for (int column = 0; column < colCount; ++column) {
      QTableWidgetItem* item = CellAt(tblSegments, row, column);
      item->setText(texts[column]);
      Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
      if (column == colLabel) flags |= Qt::ItemIsEditable;
      if (column == colStart) flags |= Qt::ItemIsUserCheckable;
      item->setFlags(flags);
    }
    // The check box says whether the segment is cut; its mark has the colour of the track bar.
    QTableWidgetItem* start = CellAt(tblSegments, row, colStart);
    start->setCheckState(s.Selected ? Qt::Checked : Qt::Unchecked);
    start->setData(Qt::DecorationRole, SegmentColour(row));
  }
}

int TSegmentPanel::CurrentRow() const {
  const int row = tblSegments->currentRow();
  return row >= 0 && row < tblSegments->rowCount() ? row : -1;
}

void TSegmentPanel::SetCurrentRow(int row) {
  if (row < 0 || row >= tblSegments->rowCount()) {
    tblSegments->setCurrentCell(-1, -1);
    return;
  }
  tblSegments->setCurrentCell(row, colStart);
}

bool TSegmentPanel::Done(bool ok, const std::string& err) {
  if (!ok && !err.empty()) emit Refused(QString::fromStdString(err));
  return ok;
}

void TSegmentPanel::RemoveCurrent() {
  const int row = CurrentRow();
  if (row < 0) return;
  std::string err;
  if (Done(FList.Remove(static_cast<size_t>(row), &err), err))
    SetCurrentRow(std::min(row, static_cast<int>(FList.Count()) - 1));
}

void TSegmentPanel::MoveCurrent(bool up) {
  const int row = CurrentRow();
  if (row < 0) return;
  std::string err;
  const size_t index = static_cast<size_t>(row);
  if (Done(up ? FList.MoveUp(index, &err) : FList.MoveDown(index, &err), err)) SetCurrentRow(up ? row - 1 : row + 1);
}

void TSegmentPanel::Undo() {
  if (!FList.Undo()) emit Refused(QStringLiteral("Nothing to undo"));
}

void TSegmentPanel::Redo() {
  if (!FList.Redo()) emit Refused(QStringLiteral("Nothing to redo"));
}

void TSegmentPanel::CellEdited(int row, int column) {
  if (row < 0 || static_cast<size_t>(row) >= FList.Count()) return;
  const size_t index = static_cast<size_t>(row);
  const QTableWidgetItem* item = tblSegments->item(row, column);
  std::string err;
  bool ok = true;
  if (column == colLabel && item->text().toStdString() != FList[index].Label)
    ok = FList.SetLabel(index, item->text().toStdString(), &err);
  else if (column == colStart && (item->checkState() == Qt::Checked) != FList[index].Selected)
    ok = FList.SetSelected(index, item->checkState() == Qt::Checked, &err);
  // A refused edit is put back as the list has it.
  if (!Done(ok, err)) Refresh();
}

void TSegmentPanel::SplitCurrent() {
  const int row = CurrentRow();
  if (row < 0 || !PictureTime) return;
  std::string err;
  Done(FList.Split(static_cast<size_t>(row), PictureTime(), &err), err);
}

void TSegmentPanel::MergeCurrent() {
  const int row = CurrentRow();
  if (row < 0) return;
  std::string err;
  if (Done(FList.MergeWithNext(static_cast<size_t>(row), &err), err)) SetCurrentRow(row);
}

void TSegmentPanel::Invert() {
  if (!MediaDuration) return;
  std::string err;
  Done(FList.Invert(MediaDuration(), &err), err);
}

void TSegmentPanel::ShowMenu(const QPoint& at) {
  QMenu menu(this);
  const bool current = CurrentRow() >= 0;
  struct TEntry {
    QString Text;
    void (TSegmentPanel::*Action)();
    bool Enabled;
  };
  const TEntry entries[] = {
      {QStringLiteral("Split at the picture on screen"), &TSegmentPanel::SplitCurrent, current},
      {QStringLiteral("Merge with the next segment"), &TSegmentPanel::MergeCurrent, current},
      {QStringLiteral("Keep what lies between the segments"), &TSegmentPanel::Invert, !FList.Empty()},
      {QStringLiteral("Remove"), &TSegmentPanel::RemoveCurrent, current},
  };
  for (const TEntry& e : entries) menu.addAction(e.Text, this, e.Action)->setEnabled(e.Enabled);
  menu.exec(tblSegments->viewport()->mapToGlobal(at));
}
