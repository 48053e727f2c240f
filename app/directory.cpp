#include "directory.h"

#include "AppServices.h"
#include "GlobalUnit.h"

#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {
// Icons and type names without looking into files: naming a file's type reads its first
// bytes, and some files (/proc/kmsg, pipes) keep a reader waiting for ever.
class TFolderIconProvider : public QFileIconProvider {
public:
  QIcon icon(IconType type) const override { return QFileIconProvider::icon(type); }
  QIcon icon(const QFileInfo& info) const override {
    return QFileIconProvider::icon(info.isDir() ? Folder : File);
  }
  QString type(const QFileInfo& info) const override {
    return info.isDir() ? QStringLiteral("Folder") : QStringLiteral("File");
  }
};
}  // namespace

TfmDirectory::TfmDirectory(IDialogs& dialogs, QWidget* parent)
    : QDialog(parent), FDialogs(dialogs) {
  setObjectName(QStringLiteral("fmDirectory"));
  setWindowTitle(QStringLiteral("Browse"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setMinimumSize(130, 32);
  setMaximumSize(322, 351);
  IsCdRom = [](const QString& path) { return IsOnCdRom(path); };

  FLabel = new QLabel(QStringLiteral("Please select an output directory:"), this);

  FIconProvider = std::make_unique<TFolderIconProvider>();
  FModel = new QFileSystemModel(this);
  FModel->setIconProvider(FIconProvider.get());
  FModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  FModel->setReadOnly(true);
  FModel->setRootPath(QStringLiteral("/"));

  stview_selectdir = new QTreeView(this);
  stview_selectdir->setObjectName(QStringLiteral("stview_selectdir"));
  stview_selectdir->setModel(FModel);
  for (int c = 1; c < FModel->columnCount(); ++c) stview_selectdir->hideColumn(c);
  stview_selectdir->header()->hide();
  stview_selectdir->setSelectionMode(QAbstractItemView::SingleSelection);
  stview_selectdir->setContextMenuPolicy(Qt::PreventContextMenu);

  btnOk = new QPushButton(QStringLiteral("Ok"), this);
  btnOk->setObjectName(QStringLiteral("btnOk"));
  btnOk->setDefault(true);
  btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOk);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FLabel);
  layout->addWidget(stview_selectdir, 1);
  layout->addLayout(buttons);

  connect(stview_selectdir->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { stview_selectdirClick(); });
  connect(btnOk, &QPushButton::clicked, this, [this] { btnOkClick(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
}

TfmDirectory::~TfmDirectory() {
  // The model's file-information thread uses the icon provider: end it first.
  delete FModel;
}

void TfmDirectory::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TfmDirectory::FormShow() {
  // Closed with Esc or its close box, the dialog must not hand back the previous choice.
  FSelectedDir.clear();
  resize(322, 351);
  SelectPath(QStringLiteral("/"));
  stview_selectdir->expand(stview_selectdir->currentIndex());
  stview_selectdirClick();
}

bool TfmDirectory::SelectPath(const QString& path) {
  QModelIndex idx = FModel->index(path);
  if (!idx.isValid()) return false;
  stview_selectdir->setCurrentIndex(idx);
  stview_selectdir->scrollTo(idx);
  stview_selectdirClick();
  return true;
}

QString TfmDirectory::CurrentPath() const {
  QModelIndex idx = stview_selectdir->currentIndex();
  return idx.isValid() ? FModel->filePath(idx) : QString();
}

void TfmDirectory::stview_selectdirClick() {
  // Every node of this tree is a real folder; only "no selection" cannot be confirmed.
  btnOk->setEnabled(stview_selectdir->currentIndex().isValid());
}

void TfmDirectory::btnOkClick() { ConfirmPath(CurrentPath()); }

void TfmDirectory::ConfirmPath(const QString& path) {
  FSelectedDir = path;
  if (!FSelectedDir.isEmpty() && IsCdRom && IsCdRom(FSelectedDir)) {
    FSelectedDir.clear();
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(),
                        QStringLiteral("Output folder cannot be located in CD-ROM.Please select another folder."),
                        TMsgIcon::Information, TMsgButtons::Ok);
    return;
  }
  accept();
}

void TfmDirectory::btnCancelClick() {
  FSelectedDir.clear();
  reject();
}
