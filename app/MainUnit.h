#pragma once
// The cutter's main window.
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include "GlobalUnit.h"
#include "segments/SegmentList.h"

class IDialogs;
class IShell;
class QKeySequence;
class QLayout;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class TPictureBox;
class TSegmentPanel;
class QHBoxLayout;
class TTrackBar;
class TTimeline;
class TTimelineFeed;
class TfmDirectory;
class TfrmAbout1;
class TFFDecoder;
class TFFPlayer;
class TBitmap;
class QShortcut;
class QProgressBar;
class TFFEncoder;
struct TCutSetup;
struct TProgressInfo;
struct TPreviewInfo;
struct TTerminateInfo;
struct TCutChoices;
struct TOutputNameHost;

// Filter texts of the open and save dialogs.
extern const char* const OpenDialogFilter;
extern const char* const SaveDialogFilter;

class TKeyFrameScanner;
class QTimer;

class TfrmMain : public QWidget {
  Q_OBJECT
public:
  explicit TfrmMain(IDialogs& dialogs, IShell& shell, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // The dialogs made at program start; created on first use when missing.
  void SetDirectoryForm(TfmDirectory* form) { FDirectoryForm = form; }
  void SetAboutForm(TfrmAbout1* form) { FAboutForm = form; }
  TfmDirectory* DirectoryForm();
  TfrmAbout1* AboutForm();

  const TGlobalObject& Global() const { return *FGlobal; }
  TSettingsFile Settings() const { return TSettingsFile(FGlobal->SettingsFile()); }
  QWidget* PreviewForm() const { return FPreviewForm; }

  bool RemoveAudio() const { return FRemoveAudio; }
  bool ExactCut() const { return FExactCut; }
  bool Optimize() const { return FOptimize; }
  bool OptimizeColorMap() const { return FOptimizeColorMap; }

  // Handlers, named as the controls' events.
  void FormShow();
  void btnExitClick();
  void btnAboutClick();
  void btnWebSiteClick();
  void ShareClick(int site);
  void cboVideoFormatChange();
  void cboFrameSizeChange();
  void cmbVideoQualityChange();
  void chkVideoQualityClick();
  void chkRemovAudioClick();
  void chkExactCutClick();
  void chkOptimzeClick();
  void chkOptmizecolormapClick();
  void chkPreviewClick();
  void btn_outputClick();
  void btn_openClick();
  void btnTrimStartClick();
  void btnTrimEndClick();
  void btnResetClick();

  void btnOpenClick();
  void btnNextFrameClick();
  void btnPreviousFrameClick();
  void btnNextKFClick();
  void btnPreviousKFClick();
  void TrackBar1Change();
  void Image1Click();
  void btnSaveClick();
  void btnPlayStopClick();
  // Playback panel (MainPlayback.cpp).
  void btnPlayClick();
  // Space: "Play" when nothing plays, else the playback "Stop".
  void PlayKeyPress();
  void FFPlayerFileOpen(int64_t ADuration, int AFrameWidth, int AFrameHeight, int& AScreenWidth,
                        int& AScreenHeight);
  void FFPlayerPosition(int64_t APTS);
  // The track bar's mouse button came up: the exact picture, and a playing player follows it.
  void TrackBar1MouseUp();
  // A click or a drag on the timeline: the track bar goes there.
  void TimelineClicked(int64_t us);
  // While the thumb is dragged the picture shown may be the key frame before the thumb's time,
  // until the drag pauses or ends.
  bool RoughPicture() const { return FRoughPicture; }
  // The cut job (MainCut.cpp).
  void btnStartClick();
  void btnStopClick();
  void btnPauseClick();
  void btnResumeClick();
  void FFEncoderProgress(TFFEncoder* Sender, TProgressInfo* AProgressInfo);
  void FFEncoderPreviewBitmap(TFFEncoder* Sender, const TPreviewInfo& APreviewInfo);
  void FFEncoderTerminate(TFFEncoder* Sender, const TTerminateInfo& ATerminateInfo);
  // The window's choices as the shared job builder takes them.
  TCutChoices CutChoices();
  TFFEncoder& FFEncoder() { return *FEncoder; }
  // From a successful start to the final termination event.
  bool JobRunning() const { return FJobRunning; }
  // The output of the last job handed to the encoder.
  const QString& OutputFileName() const { return FOutputFileName; }
  // Opens a file named at program start as "Open" does, without the dialog.
  void OpenFromCommandLine(const QString& path);
  // A file dropped on the window (only the first of several is taken).
  void FilesDropped(const QStringList& paths);

  // The segment list (MainSegments.cpp).
  TSegmentList& Segments() { return FSegments; }
  // Adds the range between the points to the list.
  void AddSegmentClick();
  void OpenListClick();
  void SaveListClick();
  // Shows the picture at a time, as a move of the track bar would.
  void JumpToTime(int64_t us);
  // The choices for a list: one merged output or one file per segment, with chapters.
  bool SegmentsSeparate() const;
  bool SegmentChapters() const;

  void ResetView();
  void UpdateTrackBar();
  void ShowCurrentFrame();
  void ShowFirstFrame();
  void FormResize();

  // Media state, for the tests and the parts that build on it.
  TFFDecoder& FFDecoder() { return *FDecoder; }
  TFFPlayer& FFPlayer() { return *FPlayer; }
  QWidget* PlayerPanel() const { return FPlayerPanel; }
  int64_t PlayDuration() const { return FPlayDuration; }
  // Puts another decoder in place (tests use one that fails on purpose).
  void SetDecoder(std::unique_ptr<TFFDecoder> decoder);
  const TBitmap& Picture() const { return *FPicture; }
  const QString& FileName() const { return FFileName; }
  int64_t Duration() const { return FDuration; }
  int32_t FrameCount() const { return FFrameCount; }
  int64_t CurrentPTS() const { return FCurrentPTS; }
  int64_t TrimStart() const { return FTrimStart; }
  int64_t TrimEnd() const { return FTrimEnd; }
  bool Seeking() const { return FSeeking; }
  int32_t LastTrackPos() const { return FLastTrackPos; }
  // The log memo's lines.
  QStringList LogLines() const;
  void Log(const QString& line);
  // Folder the media libraries are looked for in: "LibAV" beside the executable.
  static QString LibAVPath();

  // Controls, named as on the form.
  QPushButton* btnOpen = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QPushButton* btnPause = nullptr;
  QPushButton* btnResume = nullptr;
  QPushButton* btnPreviousKF = nullptr;
  QPushButton* btnPreviousFrame = nullptr;
  QPushButton* btnNextFrame = nullptr;
  QPushButton* btnNextKF = nullptr;
  QPushButton* btnTrimStart = nullptr;
  QPushButton* btnTrimEnd = nullptr;
  QPushButton* btnReset = nullptr;
  QPushButton* btnSave = nullptr;
  QPushButton* btnPlay = nullptr;
  QPushButton* btnPlayStop = nullptr;
  QPushButton* btnAbout = nullptr;
  QPushButton* btnWebSite = nullptr;
  QPushButton* btnExit = nullptr;
  QPushButton* btn_output = nullptr;
  QPushButton* btn_open = nullptr;
  QToolButton* btnShare[7] = {};
  TTrackBar* TrackBar1 = nullptr;
  TTimeline* Timeline1 = nullptr;
  TPictureBox* Image1 = nullptr;
  QWidget* pnlPlayer = nullptr;
  QLabel* lblPTS = nullptr;
  QLabel* lblStatus = nullptr;
  QProgressBar* barProgress = nullptr;
  QLineEdit* edDirectory = nullptr;
  QComboBox* cboVideoFormat = nullptr;
  QComboBox* cboFrameSize = nullptr;
  QComboBox* cmbVideoQuality = nullptr;
  QComboBox* cboLogLevel = nullptr;
  QCheckBox* chkVideoQuality = nullptr;
  QCheckBox* chkPreview = nullptr;
  QCheckBox* chkRemovAudio = nullptr;
  QCheckBox* chkExactCut = nullptr;
  QCheckBox* chkOptimze = nullptr;
  QCheckBox* chkOptmizecolormap = nullptr;
  QPlainTextEdit* mmoLog = nullptr;
  TSegmentPanel* SegmentPanel = nullptr;
  QComboBox* cboSegmentMode = nullptr;
  QCheckBox* chkChapters = nullptr;

protected:
  void showEvent(QShowEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

private:
  // The controls by concern, each handing its rows to the window's column (MainControls.cpp).
  void BuildControls();
  void BuildTopBar(QVBoxLayout* root);
  void BuildPictureArea(QVBoxLayout* root);
  void BuildBrowseRows(QVBoxLayout* root);
  void BuildTimeline(QVBoxLayout* root);
  void ConnectBrowseRows();
  void BuildOutputGroup(QVBoxLayout* root);
  void LayOutOutputGroup(QGroupBox* output);
  void ConnectOutputGroup();
  void BuildJobRows(QVBoxLayout* root);
  void BuildLog();
  void FormCreate();
  bool FormCloseQuery();
  // Enables the size list and the quality box, or clears and disables them in copy mode.
  void ApplyCopyMode(bool clearPreview);
  void FillFrameSizes();
  void BuildShortcuts();
  // A window-wide key that presses the button, while the button could be pressed.
  void BindButtonKey(const QKeySequence& key, QPushButton* button, void (TfrmMain::*handler)());
  // Runs a handler for a control's signal or a key; an exception becomes a message box.
  void Guarded(void (TfrmMain::*handler)());
  // Loads the libraries of the encoder and of the decoder; false when one failed.
  bool LoadEncoderLibs(bool log);
  bool LoadDecoderLibs(bool log);
  // Opening shared by "Open" and a drop.
  void OpenFile(const QString& path, bool dropped);
  // One step of the default video stream, then the picture.
  void Step(bool (TFFDecoder::*step)(int));
  void DrawFitted();
  void SetFileButtons(bool jobButtons);
  void CreatePlayer();
  void BuildPlaybackShortcuts();
  // Keeps the player panel exactly over the picture area.
  void PlacePlayerPanel();
  void CreateEncoder();
  void BuildJobShortcuts();
  // Running: the controls of a running job; else the idle state of an open file.
  void SetJobControls(bool running);
  // The picture of the job's preview window, fitted into its area.
  void DrawPreview();
  // The segment list's parts of the window (MainSegments.cpp).
  QLayout* WithSegmentPanel(QWidget* picture);
  void AddSegmentChoices(QHBoxLayout* row);
  void ReadSegmentChoices();
  // The list and its choices are not changed under a running job.
  void SetSegmentControls(bool enabled);
  void SegmentsChanged();
  void UpdateSegmentMarks();
  void ShowSegmentMessage(const QString& text);
  // A new file starts with an empty list; its saved list, if any, is offered once it is open.
  void ForgetSegments();
  // Adding, opening and saving a list need an open file.
  void SetListButtons(bool fileOpen);
  void OfferSavedSegments();
  // Records the track-bar selection the point buttons made.
  void NotePointSelection();
  // Track-bar moves (MainTimeline.cpp). Runs show with FSeeking set, so that the pictures it
  // shows leave the thumb alone, then takes the thumb's position as the one shown.
  void ActOnTrackPosition(const std::function<void()>& show);
  // The time of a track-bar position.
  int64_t TrackTarget(int pos) const;
  // The first picture at or after the time, as a seek and decoding on give it.
  bool ShowExactly(int64_t to);
  // The key frame at or before the time: one picture decoded, for a drag.
  void ShowKeyFrameNear(int64_t to);
  // The exact picture for the thumb, when a rough one is shown.
  void RefineRoughPicture();
  // A playing player moves to the picture on screen and waits until it shows it; while
  // dragging only when that picture changed.
  void FollowPlayback();
  void FollowDrag();
  void ShowPointsOnTimeline();

  IDialogs& FDialogs;
  IShell& FShell;
  std::unique_ptr<TGlobalObject> FGlobal;
  TfmDirectory* FDirectoryForm = nullptr;
  TfrmAbout1* FAboutForm = nullptr;
  QWidget* FPreviewForm = nullptr;
  bool FShown = false;

  // Media state of the opened file; times in microseconds.
  QString FFileName;
  int64_t FDuration = 0;
  int32_t FFrameCount = 0;
  int64_t FCurrentPTS = 0;
  int64_t FTrimStart = 0;
  int64_t FTrimEnd = 0;
  int32_t FLastTrackPos = 0;
  bool FSeeking = false;
  bool FRoughPicture = false;
  bool FFollowing = false;  // a player seek is being waited for
  QTimer* FDragPauseTimer = nullptr;
  TTimelineFeed* FTimelineFeed = nullptr;  // thumbnails and peaks for Timeline1
  int64_t FFollowedPTS = INT64_MIN;  // last picture a drag moved the player to
  std::unique_ptr<TBitmap> FPicture;
  std::unique_ptr<TFFDecoder> FDecoder;
  std::unique_ptr<TFFPlayer> FPlayer;
  QWidget* FPlayerPanel = nullptr;
  int64_t FPlayDuration = 0;

  std::unique_ptr<TFFEncoder> FEncoder;
  bool FJobRunning = false;
  bool FTrackBarWasEnabled = true;
  QString FOutputFileName;
  int64_t FJobLength = 0;  // µs the job is to write
  QImage FPreviewPicture;
  // The selection as the point buttons left it; any other selection is read back from the
  // track bar.
  int FPointSelStart = 0;
  int FPointSelEnd = 0;
  // Running time of the job, pauses left out, for the time left.
  int64_t FJobStartMs = 0;
  int64_t FPausedMs = 0;
  int64_t FPauseStartMs = -1;

  bool FRemoveAudio = false;
  bool FExactCut = false;
  // Key frames of the open file, found in the background and marked on the track bar.
  std::unique_ptr<TKeyFrameScanner> FKeyFrames;
  QTimer* FKeyFrameTimer = nullptr;
  uint64_t FKeyFrameGeneration = 0;
  void StartKeyFrameScan(const QString& path);
  void UpdateKeyFrameMarks();
  // The task's output as the prepared cut says (the frame-exact or the plain copy, or the
  // option text), its lines logged; false when the job cannot start (the task is removed).
  bool SetCutOutput(int task, const std::string& outputName, const TCutSetup& setup);
  // The selected segments as the task's outputs (MainSegments.cpp): false when refused (told).
  // *output gets the first file, *length the total length, *copy whether nothing is encoded.
  bool SetSegmentsOutput(int task, bool exact, const TOutputNameHost& host, std::string* output, int64_t* length,
                         bool* copy);
  bool FOptimize = false;
  bool FOptimizeColorMap = false;

  TSegmentList FSegments;
  // The media the list autosaves for ("" while none is open).
  QString FSegmentMedia;
  // The project file last opened or saved: the only one a save may replace.
  QString FListFile;
};

// The panel the player draws into: a native child window that Qt itself never paints, so
// that SDL can draw into it.
class TPlayerPanel : public QWidget {
  Q_OBJECT
public:
  explicit TPlayerPanel(QWidget* parent = nullptr);
  QPaintEngine* paintEngine() const override { return nullptr; }

signals:
  void Exposed();

protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
};

// FormatPTS (decoder/FileInfoLines.h) as a QString.
QString PTSText(int64_t us);
// The largest rectangle of the picture's aspect inside the target, centred.
QRect FitRect(const QSize& picture, const QRect& target);
// A view of the bitmap's pixels (no copy); valid while the bitmap is unchanged.
QImage BitmapImage(const TBitmap& bitmap);
