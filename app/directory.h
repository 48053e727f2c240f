#pragma once
// The output-folder dialog: a folder tree rooted at "/", "Ok" and "Cancel".
#include <QDialog>

#include <functional>
#include <memory>

class IDialogs;
class QFileIconProvider;
class QFileSystemModel;
class QLabel;
class QPushButton;
class QTreeView;

class TfmDirectory : public QDialog {
  Q_OBJECT
public:
  explicit TfmDirectory(IDialogs& dialogs, QWidget* parent = nullptr);
  ~TfmDirectory() override;

  // The folder chosen with "Ok"; empty after "Cancel" or a refusal.
  const QString& SelectedDir() const { return FSelectedDir; }
  // Selects the folder in the tree (and scrolls to it); false when it does not exist.
  bool SelectPath(const QString& path);
  QString CurrentPath() const;
  // Decides whether a folder lies on a CD-ROM; replaceable for tests.
  std::function<bool(const QString&)> IsCdRom;

  QTreeView* stview_selectdir = nullptr;
  QPushButton* btnOk = nullptr;
  QPushButton* btnCancel = nullptr;

  void FormShow();
  void stview_selectdirClick();
  void btnOkClick();
  // What "Ok" does with a folder: refuses a CD-ROM folder, else closes the dialog with it.
  void ConfirmPath(const QString& path);
  void btnCancelClick();

protected:
  void showEvent(QShowEvent* e) override;

private:
  IDialogs& FDialogs;
  std::unique_ptr<QFileIconProvider> FIconProvider;
  QFileSystemModel* FModel = nullptr;
  QLabel* FLabel = nullptr;
  QString FSelectedDir;
};
