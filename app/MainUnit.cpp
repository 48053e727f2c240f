#include "MainUnit.h"

#include "About.h"
#include "AppServices.h"
#include "OutputChoices.h"
#include "PictureBox.h"
#include "TrackBar.h"
#include "directory.h"
#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "decoder/KeyFrames.h"
#include "engine/FFEncode.h"
#include "engine/RawMuxers.h"
#include "player/FFPlay.h"
#include "runtime/Bitmap.h"
#include "runtime/FFLoad.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QMimeData>
#include <QShortcut>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

const char* const OpenDialogFilter =
    "All Supported Video Formats|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.3G2;*.M4V;"
    "*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.SWF;|"
    "All Supported Audio Formats|*.MP3;*.AAC;*.WAV;*.WMA;*.OGG;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;"
    "*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;*.AC3;*.DTS;|"
    "AVI files (*.avi)|*.avi|MPEG4 files (*.mp4)|*.mp4|MPEG files (*.mpg,*.mpeg)|*.mpg;*.mpeg|"
    "3GP files (*.3gp,*.3g2)|*.3gp;*.3g2|Itunes Video files (*.m4v)|*.m4v|"
    "Windows Media files (*.wmv,*.asf)|*.wmv;*.asf|Real Media files (*.rm,*.rmvb)|*.rm;*.rmvb|"
    "Video CD files (*.dat)|*.dat|Quick Time files (*.mov)|*.mov|Flash Video files (*.flv)|*.flv|"
    "Matroska Video files (*.mkv)|*.mkv|MJPEG Video files (*.mjpg,*.mjpeg)|*.mjpg;*.mjpeg|"
    "Animated GIF files (*.gif)|*.gif|H.264/MPEG4 AVC Video files (*.mts,*.m2ts)|*.mts;*.m2ts|"
    "DVD video object files (*.vob)|*.vob|MPEG-1 Video files (*.mpv)|*.mpv|"
    "Video Transport Stream files (*.ts)|*.ts|TP Video files (*.tp)|*.tp|"
    "Maceomeida Flash files (*.swf)|*.swf|MP3 Audio files (*.mp3)|*.mp3|"
    "Advanced Audio Coding files (*.aac)|*.aac|Monkey's Audio files (*.ape)|*.ape|"
    "Ogg Vorbis Audio files (*.ogg)|*.ogg|Windows Media Audio files (*.wma)|*.wma|"
    "MusePack Audio files (*.mpc)|*.mpc|MPEG Audio files (*.mpa)|*.mpa|"
    "MPEG-4 Audio files (*.m4a)|*.m4a|Matroska Audio files (*.mka)|*.mka|"
    "DTS Audio files (*.dts)|*.dts|Audio Codec 3 files (*.ac3)|*.ac3|"
    "Speex Audio files (*.spx)|*.spx|Real Audio files (*.ra,*.ram)|*.ra;*.ram|"
    "MPEG Layer II Compressed Audio files (*.mp2)|*.mp2|All files (*.*)|*.*";

const char* const SaveDialogFilter = "Bitmaps (*.bmp)|*.bmp|JPEG Image File |*.jpg;*.jpeg";

namespace {
const QString kOutPutDir = QStringLiteral("OutPutDir");

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QLatin1String(name));
  b->setAutoDefault(false);
  return b;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& text) {
  auto* c = new QCheckBox(text, parent);
  c->setObjectName(QLatin1String(name));
  return c;
}

// Small badge icons for the share buttons.
QIcon ShareIcon(const QColor& color, const QString& letter) {
  QPixmap pm(40, 40);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(color);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(1, 1, 38, 38), 8, 8);
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(letter.length() > 1 ? 17 : 24);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(pm.rect(), Qt::AlignCenter, letter);
  return QIcon(pm);
}

struct TShareLook {
  QColor Color;
  const char* Letter;
};
const TShareLook kShareLooks[7] = {
    {QColor(59, 89, 152), "f"},  {QColor(219, 68, 55), "G"},   {QColor(29, 161, 242), "t"},
    {QColor(255, 69, 0), "r"},   {QColor(235, 73, 36), "su"},  {QColor(20, 20, 20), "d"},
    {QColor(51, 153, 255), "de"},
};
}  // namespace

QString PTSText(int64_t us) { return QString::fromStdString(FormatPTS(us)); }

TfrmMain::TfrmMain(IDialogs& dialogs, IShell& shell, QWidget* parent)
    : QWidget(parent), FDialogs(dialogs), FShell(shell) {
  setObjectName(QStringLiteral("frmMain"));
  BuildControls();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // Playback ends before the controls its events touch go away.
  if (FPlayer) btnPlayStopClick();
  FPlayer.reset();
  // A running job ends before the controls and the preview window its events draw on; what
  // it still reports while ending finds no encoder and is dropped.
  if (FEncoder) {
    FEncoder->OnProgress = nullptr;
    FEncoder->OnPreviewBitmap = nullptr;
    FEncoder->OnTerminate = nullptr;
    FEncoder.reset();
  }
  // The preview window is a top-level window of its own.
  delete FPreviewForm;
}

void TfrmMain::BuildControls() {
  // Top bar: file actions on the left, program actions and share buttons on the right.
  btnOpen = MakeButton(this, "btnOpen", QStringLiteral("Open"));
  btnSave = MakeButton(this, "btnSave", QStringLiteral("Save Image"));
  btnAbout = MakeButton(this, "btnAbout", QStringLiteral("About"));
  btnWebSite = MakeButton(this, "btnWebSite", QStringLiteral("Web Site"));
  btnExit = MakeButton(this, "btnExit", QStringLiteral("Exit"));

  auto* top = new QHBoxLayout;
  top->setSpacing(6);
  top->addWidget(btnOpen);
  top->addWidget(btnSave);
  top->addStretch(1);
  top->addWidget(btnAbout);
  top->addWidget(btnWebSite);
  top->addSpacing(10);
  for (int i = 0; i < 7; ++i) {
    const auto& site = AppConfig::ShareSites[i];
    auto* b = new QToolButton(this);
    b->setObjectName(QLatin1String(site.ObjectName));
    b->setIcon(ShareIcon(kShareLooks[i].Color, QLatin1String(kShareLooks[i].Letter)));
    b->setIconSize(QSize(20, 20));
    b->setAutoRaise(true);
    b->setToolTip(QLatin1String(site.Hint));
    b->setCursor(Qt::PointingHandCursor);
    btnShare[i] = b;
    top->addWidget(b);
    connect(b, &QToolButton::clicked, this, [this, i] { ShareClick(i); });
  }

  // Picture area; the player panel lies over it while playing.
  Image1 = new TPictureBox(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  pnlPlayer = new TPlayerPanel(Image1);
  pnlPlayer->setObjectName(QStringLiteral("pnlPlayer"));
  pnlPlayer->hide();
  auto* pictureFrame = new QFrame(this);
  pictureFrame->setFrameShape(QFrame::StyledPanel);
  pictureFrame->setFrameShadow(QFrame::Sunken);
  auto* pictureLayout = new QVBoxLayout(pictureFrame);
  pictureLayout->setContentsMargins(1, 1, 1, 1);
  pictureLayout->addWidget(Image1);

  // Track bar and the time of the picture on screen.
  TrackBar1 = new TTrackBar(this);
  TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
  TrackBar1->setRange(0, 10);
  lblPTS = new QLabel(this);
  lblPTS->setObjectName(QStringLiteral("lblPTS"));
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSizeF(QApplication::font().pointSizeF() + 1);
  mono.setBold(true);
  lblPTS->setFont(mono);
  lblPTS->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lblPTS->setMinimumWidth(QFontMetrics(mono).horizontalAdvance(QStringLiteral("000:00:00.000")));

  // Stepping, points and playback.
  btnPreviousKF = MakeButton(this, "btnPreviousKF", QStringLiteral("Previous K-F"));
  btnPreviousKF->setToolTip(QStringLiteral("Previous Key-frame"));
  btnPreviousFrame = MakeButton(this, "btnPreviousFrame", QStringLiteral("Previous Frame"));
  btnNextFrame = MakeButton(this, "btnNextFrame", QStringLiteral("Next Frame"));
  btnNextKF = MakeButton(this, "btnNextKF", QStringLiteral("Next K-F"));
  btnNextKF->setToolTip(QStringLiteral("Next Key-frame"));
  btnTrimStart = MakeButton(this, "btnTrimStart", QStringLiteral("Set  Start Point"));
  btnTrimEnd = MakeButton(this, "btnTrimEnd", QStringLiteral("Set  End Point"));
  btnReset = MakeButton(this, "btnReset", QStringLiteral("Reset"));
  btnPlay = MakeButton(this, "btnPlay", QStringLiteral("Play"));
  btnPlayStop = MakeButton(this, "btnPlayStop", QStringLiteral("Stop"));
  for (QPushButton* b : {btnPreviousKF, btnPreviousFrame, btnNextFrame, btnNextKF, btnTrimStart,
                         btnTrimEnd, btnReset, btnPlay, btnPlayStop})
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  auto* track = new QHBoxLayout;
  track->setSpacing(4);
  track->addWidget(btnPlay);
  track->addWidget(btnPlayStop);
  track->addSpacing(6);
  track->addWidget(TrackBar1, 1);
  track->addSpacing(6);
  track->addWidget(lblPTS);
  auto* nav = new QHBoxLayout;
  nav->setSpacing(4);
  for (QPushButton* b : {btnPreviousKF, btnPreviousFrame, btnNextFrame, btnNextKF}) nav->addWidget(b);
  nav->addStretch(1);
  for (QPushButton* b : {btnTrimStart, btnTrimEnd, btnReset}) nav->addWidget(b);

  // Output choices.
  auto* output = new QGroupBox(QStringLiteral("Output"), this);
  output->setObjectName(QStringLiteral("grpOutput"));
  cboVideoFormat = new QComboBox(output);
  cboVideoFormat->setObjectName(QStringLiteral("cboVideoFormat"));
  cboVideoFormat->setMaxVisibleItems(24);
  cboFrameSize = new QComboBox(output);
  cboFrameSize->setObjectName(QStringLiteral("cboFrameSize"));
  cboFrameSize->setMaxVisibleItems(30);
  cboFrameSize->setMinimumContentsLength(16);
  chkVideoQuality = MakeCheck(output, "chkVideoQuality", QStringLiteral(" Output Video Quality"));
  cmbVideoQuality = new QComboBox(output);
  cmbVideoQuality->setObjectName(QStringLiteral("cmbVideoQuality"));
  cmbVideoQuality->setMinimumContentsLength(16);
  chkRemovAudio = MakeCheck(output, "chkRemovAudio", QStringLiteral("Remove Audio Track"));
  chkExactCut = MakeCheck(output, "chkExactCut", QStringLiteral("Frame-exact copy"));
  chkExactCut->setToolTip(QStringLiteral(
      "Frame-exact copy: re-encodes only the pictures before the first and after the last key frame "
      "of the range"));
  chkPreview = MakeCheck(output, "chkPreview", QStringLiteral("Preview"));
  chkOptimze = MakeCheck(output, "chkOptimze", QStringLiteral("Optimize"));
  chkOptimze->hide();
  chkOptmizecolormap = MakeCheck(output, "chkOptmizecolormap", QStringLiteral("Optimize Color Map"));
  chkOptmizecolormap->hide();
  edDirectory = new QLineEdit(output);
  edDirectory->setObjectName(QStringLiteral("edDirectory"));
  edDirectory->setReadOnly(true);
  btn_output = MakeButton(output, "btn_output", QStringLiteral("..."));
  btn_output->setMaximumWidth(36);
  btn_output->setToolTip(QStringLiteral("Choose the output folder"));
  btn_open = MakeButton(output, "btn_open", QStringLiteral("Open"));
  btn_open->setToolTip(QStringLiteral("Open the output folder"));

  cboVideoFormat->setMinimumContentsLength(15);
  cboVideoFormat->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cboFrameSize->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cmbVideoQuality->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);

  auto* grid = new QGridLayout(output);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(6);
  auto* lblFormat = new QLabel(QStringLiteral("Format:"), output);
  auto* lblSize = new QLabel(QStringLiteral("Frame size:"), output);
  auto* lblFolder = new QLabel(QStringLiteral("Output folder:"), output);
  grid->addWidget(lblFormat, 0, 0);
  auto* formatRow = new QHBoxLayout;
  formatRow->setSpacing(8);
  formatRow->addWidget(cboVideoFormat);
  formatRow->addSpacing(16);
  formatRow->addWidget(lblSize);
  formatRow->addWidget(cboFrameSize);
  formatRow->addStretch(1);
  grid->addLayout(formatRow, 0, 1);
  auto* checks = new QHBoxLayout;
  checks->setSpacing(8);
  checks->addWidget(chkVideoQuality);
  checks->addWidget(cmbVideoQuality);
  checks->addSpacing(24);
  checks->addWidget(chkRemovAudio);
  checks->addSpacing(8);
  checks->addWidget(chkExactCut);
  checks->addSpacing(16);
  checks->addWidget(chkPreview);
  checks->addWidget(chkOptimze);
  checks->addWidget(chkOptmizecolormap);
  checks->addStretch(1);
  grid->addLayout(checks, 1, 0, 1, 2);
  auto* folder = new QHBoxLayout;
  folder->addWidget(edDirectory, 1);
  folder->addWidget(btn_output);
  folder->addWidget(btn_open);
  grid->addWidget(lblFolder, 2, 0);
  grid->addLayout(folder, 2, 1);
  grid->setColumnStretch(1, 1);

  // The job.
  btnStart = MakeButton(this, "btnStart", QStringLiteral("Cut"));
  QFont bold = btnStart->font();
  bold.setBold(true);
  btnStart->setFont(bold);
  btnStart->setMinimumWidth(96);
  btnStop = MakeButton(this, "btnStop", QStringLiteral("Stop"));
  btnPause = MakeButton(this, "btnPause", QStringLiteral("Pause"));
  btnResume = MakeButton(this, "btnResume", QStringLiteral("Resume"));
  auto* job = new QHBoxLayout;
  job->addWidget(btnStart);
  job->addWidget(btnStop);
  job->addWidget(btnPause);
  job->addWidget(btnResume);
  job->addStretch(1);
  job->addWidget(btnExit);

  lblStatus = new QLabel(this);
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->setFrameShape(QFrame::StyledPanel);
  lblStatus->setFrameShadow(QFrame::Sunken);
  lblStatus->setMinimumHeight(lblStatus->fontMetrics().height() + 6);
  lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Share of the job done and the time left; the label keeps the encoder's own figures.
  barProgress = new QProgressBar(this);
  barProgress->setObjectName(QStringLiteral("barProgress"));
  barProgress->setTextVisible(true);
  barProgress->setMinimumWidth(220);
  barProgress->setMaximumHeight(lblStatus->minimumHeight());
  barProgress->hide();
  auto* status = new QHBoxLayout;
  status->setSpacing(6);
  status->addWidget(lblStatus, 1);
  status->addWidget(barProgress);

  // Hidden: the log and its level list.
  mmoLog = new QPlainTextEdit(this);
  mmoLog->setObjectName(QStringLiteral("mmoLog"));
  mmoLog->setReadOnly(true);
  mmoLog->hide();
  cboLogLevel = new QComboBox(this);
  cboLogLevel->setObjectName(QStringLiteral("cboLogLevel"));
  for (const char* level : OutputChoices::LogLevels) cboLogLevel->addItem(QLatin1String(level));
  cboLogLevel->setCurrentIndex(5);
  cboLogLevel->hide();

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(8, 6, 8, 6);
  root->setSpacing(6);
  root->addLayout(top);
  root->addWidget(pictureFrame, 1);
  root->addLayout(track);
  root->addLayout(nav);
  root->addWidget(output);
  root->addLayout(job);
  root->addLayout(status);

  // Nothing to browse or cut before a file is opened.
  for (QWidget* w : std::initializer_list<QWidget*>{
           btnStart, btnStop, btnPause, btnResume, btnPreviousKF, btnPreviousFrame, btnNextFrame,
           btnNextKF, btnTrimStart, btnTrimEnd, btnReset, btnSave, btnPlay, btnPlayStop})
    w->setEnabled(false);

  connect(btnExit, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnExitClick); });
  connect(btnAbout, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnAboutClick); });
  connect(btnWebSite, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnWebSiteClick); });
  connect(btn_output, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btn_outputClick); });
  connect(btn_open, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btn_openClick); });
  connect(btnTrimStart, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnTrimStartClick); });
  connect(btnTrimEnd, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnTrimEndClick); });
  connect(btnReset, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnResetClick); });
  // Lists react to the user's choice only; the window's own changes do not count.
  connect(cboVideoFormat, &QComboBox::activated, this, [this] { Guarded(&TfrmMain::cboVideoFormatChange); });
  connect(cboFrameSize, &QComboBox::activated, this, [this] { Guarded(&TfrmMain::cboFrameSizeChange); });
  connect(cmbVideoQuality, &QComboBox::activated, this, [this] { Guarded(&TfrmMain::cmbVideoQualityChange); });
  // Check boxes react to every change of state, also the window's own.
  connect(chkVideoQuality, &QCheckBox::toggled, this, [this] { Guarded(&TfrmMain::chkVideoQualityClick); });
  connect(chkRemovAudio, &QCheckBox::toggled, this, [this] { Guarded(&TfrmMain::chkRemovAudioClick); });
  connect(chkExactCut, &QCheckBox::toggled, this, [this] { Guarded(&TfrmMain::chkExactCutClick); });
  connect(chkOptimze, &QCheckBox::toggled, this, [this] { Guarded(&TfrmMain::chkOptimzeClick); });
  connect(chkOptmizecolormap, &QCheckBox::toggled, this, [this] { Guarded(&TfrmMain::chkOptmizecolormapClick); });
  connect(chkPreview, &QCheckBox::toggled, this, [this] { Guarded(&TfrmMain::chkPreviewClick); });
  connect(Image1, &TPictureBox::Resized, this, [this] { Guarded(&TfrmMain::FormResize); });
  connect(Image1, &TPictureBox::Clicked, this, [this] { Guarded(&TfrmMain::Image1Click); });
  connect(btnOpen, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnOpenClick); });
  connect(btnStart, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnStartClick); });
  connect(btnStop, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnStopClick); });
  connect(btnPause, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPauseClick); });
  connect(btnResume, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnResumeClick); });
  connect(btnNextFrame, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnNextFrameClick); });
  connect(btnPreviousFrame, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPreviousFrameClick); });
  connect(btnNextKF, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnNextKFClick); });
  connect(btnPreviousKF, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPreviousKFClick); });
  connect(btnSave, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnSaveClick); });
  connect(btnPlayStop, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPlayStopClick); });
  connect(btnPlay, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPlayClick); });
  connect(TrackBar1, &QSlider::valueChanged, this, [this] { Guarded(&TfrmMain::TrackBar1Change); });
  connect(TrackBar1, &QSlider::sliderReleased, this, [this] { Guarded(&TfrmMain::TrackBar1MouseUp); });
  BuildShortcuts();
  BuildPlaybackShortcuts();
  BuildJobShortcuts();
}

void TfrmMain::BuildShortcuts() {
  struct TKey {
    QKeySequence Key;
    QPushButton* Button;
    void (TfrmMain::*Handler)();
    QString Hint;
  };
  const TKey keys[] = {
      {QKeySequence(Qt::Key_Right), btnNextFrame, &TfrmMain::btnNextFrameClick, QStringLiteral("Next frame")},
      {QKeySequence(Qt::Key_Left), btnPreviousFrame, &TfrmMain::btnPreviousFrameClick, QStringLiteral("Previous frame")},
      {QKeySequence(Qt::CTRL | Qt::Key_Right), btnNextKF, &TfrmMain::btnNextKFClick, QStringLiteral("Next Key-frame")},
      {QKeySequence(Qt::CTRL | Qt::Key_Left), btnPreviousKF, &TfrmMain::btnPreviousKFClick, QStringLiteral("Previous Key-frame")},
      {QKeySequence(Qt::Key_I), btnTrimStart, &TfrmMain::btnTrimStartClick, QStringLiteral("Set the start point of the cut to this picture")},
      {QKeySequence(Qt::Key_O), btnTrimEnd, &TfrmMain::btnTrimEndClick, QStringLiteral("Set the end point of the cut to this picture")},
      {QKeySequence(Qt::CTRL | Qt::Key_O), btnOpen, &TfrmMain::btnOpenClick, QStringLiteral("Open a video")},
  };
  for (const TKey& k : keys) {
    BindButtonKey(k.Key, k.Button, k.Handler);
    k.Button->setToolTip(QStringLiteral("%1 (%2)").arg(k.Hint, k.Key.toString(QKeySequence::NativeText)));
  }
}

void TfrmMain::BindButtonKey(const QKeySequence& key, QPushButton* button, void (TfrmMain::*handler)()) {
  auto* sc = new QShortcut(key, this);
  sc->setContext(Qt::WindowShortcut);
  // The key does what the button does, and only while the button could be pressed.
  connect(sc, &QShortcut::activated, this, [this, button, handler] {
    if (button->isEnabled() && button->isVisible()) Guarded(handler);
  });
}

void TfrmMain::Guarded(void (TfrmMain::*handler)()) {
  // What a handler throws is shown, and the window goes on; Qt must not see it.
  try {
    (this->*handler)();
  } catch (const std::exception& e) {
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), QString::fromUtf8(e.what()),
                        TMsgIcon::Warning, TMsgButtons::Ok);
  }
}

void TfrmMain::FormCreate() {
  setAcceptDrops(true);

  FGlobal = std::make_unique<TGlobalObject>();
  const QString appData = TGlobalObject::SpecialFolder(CSIDL_COMMON_APPDATA);
  FGlobal->SetSettingsFile(appData + QStringLiteral("trimorafree/trimfree.ini"));
  // A settings folder that cannot be made only means the defaults are used.
  if (!appData.isEmpty()) QDir().mkpath(appData + QStringLiteral("trimorafree"));

  FGlobal->SetProductTitle(QLatin1String(AppConfig::ProductTitle));
  FGlobal->SetVersionText(TGlobalObject::GetVersionText());
  FGlobal->SetWebPage(QLatin1String(AppConfig::WebPage));

  QGuiApplication::setApplicationDisplayName(FGlobal->ProductTitle());
  setWindowTitle(FGlobal->ProductTitle());

  mmoLog->setPlainText(FGlobal->WebPage() + QStringLiteral("\n"));
  btnWebSite->setToolTip(FGlobal->WebPage());
  Image1->setToolTip(QStringLiteral("Click to view current picture in actual size"));

  FDecoder = std::make_unique<TFFDecoder>();
  CreatePlayer();
  FPicture = std::make_unique<TBitmap>(24);
  ResetView();

  FPreviewForm = new QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                                          Qt::WindowCloseButtonHint);
  FPreviewForm->setObjectName(QStringLiteral("FPreviewForm"));
  auto* previewImage = new TPictureBox(FPreviewForm);
  previewImage->setObjectName(QStringLiteral("Image"));
  previewImage->setMinimumSize(1, 1);
  auto* previewLayout = new QVBoxLayout(FPreviewForm);
  previewLayout->setContentsMargins(0, 0, 0, 0);
  previewLayout->addWidget(previewImage);
  FPreviewForm->resize(320, 240);
  if (QScreen* s = QGuiApplication::primaryScreen())
    FPreviewForm->move(s->availableGeometry().center() - FPreviewForm->rect().center());
  CreateEncoder();

  FTrimStart = FTrimEnd = 0;

  setMinimumSize(800, 560);
  resize(800, 560);
  if (QScreen* s = QGuiApplication::primaryScreen())
    move(s->availableGeometry().center() - rect().center());
}

void TfrmMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void TfrmMain::FormShow() {
  setWindowTitle(FGlobal->ProductTitle() + FGlobal->VersionText());
  const TSettingsFile ini = Settings();

  QString dir = ini.ReadString(kOutPutDir, QStringLiteral("/clipvanefree"));
  if (!TGlobalObject::FolderWriteTest(dir)) {
    dir = UserProfileDir() + QStringLiteral("/clipvanefree");
    ini.WriteString(kOutPutDir, dir);
  }
  QDir().mkpath(dir);
  edDirectory->setText(dir);

  cboVideoFormat->clear();
  for (const char* f : OutputChoices::Formats) cboVideoFormat->addItem(QLatin1String(f));
  const int format = ini.ReadInteger(QStringLiteral("outputformatindex"), 0);
  cboVideoFormat->setCurrentIndex(format >= 0 && format < cboVideoFormat->count() ? format : -1);

  chkOptimze->setChecked(ini.ReadBool(QStringLiteral("optimize"), true));
  chkOptmizecolormap->setChecked(ini.ReadBool(QStringLiteral("optimizecolormap"), false));
  chkPreview->setChecked(ini.ReadBool(QStringLiteral("preview"), true));
  chkRemovAudio->setChecked(ini.ReadBool(QStringLiteral("removeaudiotrack"), false));
  chkExactCut->setChecked(ini.ReadBool(QStringLiteral("ExactCut"), false));

  FillFrameSizes();

  cmbVideoQuality->clear();
  for (const char* q : OutputChoices::Qualities) cmbVideoQuality->addItem(QLatin1String(q));
  const int quality = ini.ReadInteger(QStringLiteral("videoqualityindex"), 0);
  cmbVideoQuality->setCurrentIndex(quality >= 0 && quality < cmbVideoQuality->count() ? quality : -1);
  chkVideoQuality->setChecked(ini.ReadBool(QStringLiteral("usevideoquality"), true));

  ApplyCopyMode(false);
  cmbVideoQuality->setEnabled(chkVideoQuality->isChecked());

  btnPlay->setEnabled(false);
  btnPlayStop->setEnabled(false);
}

void TfrmMain::FillFrameSizes() {
  const int stored = Settings().ReadInteger(QStringLiteral("framesizeindex"), 0);
  cboFrameSize->clear();
  if (cboVideoFormat->currentText().toLower() == QLatin1String("3gp")) {
    for (const char* s : OutputChoices::FrameSizes3GP) cboFrameSize->addItem(QLatin1String(s));
    cboFrameSize->setCurrentIndex(stored >= 1 && stored <= 3 ? stored : 0);
  } else {
    for (const char* s : OutputChoices::FrameSizes) cboFrameSize->addItem(QLatin1String(s));
    cboFrameSize->setCurrentIndex(stored >= 0 && stored < cboFrameSize->count() ? stored : -1);
  }
}

void TfrmMain::ApplyCopyMode(bool clearPreview) {
  // Only a copy can be cut to the frame by copying.
  chkExactCut->setEnabled(cboVideoFormat->currentIndex() == 0);
  if (cboVideoFormat->currentIndex() != 0) {
    chkVideoQuality->setEnabled(true);
    cboFrameSize->setEnabled(true);
    return;
  }
  chkVideoQuality->setChecked(false);
  chkVideoQuality->setEnabled(false);
  cboFrameSize->setCurrentIndex(0);
  cboFrameSize->setEnabled(false);
  if (clearPreview) chkPreview->setChecked(false);
}

void TfrmMain::cboVideoFormatChange() {
  Settings().WriteInteger(QStringLiteral("outputformatindex"), cboVideoFormat->currentIndex());
  FillFrameSizes();
  chkPreview->setChecked(Settings().ReadBool(QStringLiteral("preview"), false));
  ApplyCopyMode(true);
}

void TfrmMain::cboFrameSizeChange() {
  Settings().WriteInteger(QStringLiteral("framesizeindex"), cboFrameSize->currentIndex());
  ApplyCopyMode(false);
}

void TfrmMain::cmbVideoQualityChange() {
  Settings().WriteInteger(QStringLiteral("videoqualityindex"), cmbVideoQuality->currentIndex());
}

void TfrmMain::chkVideoQualityClick() {
  cmbVideoQuality->setEnabled(chkVideoQuality->isChecked());
  Settings().WriteBool(QStringLiteral("usevideoquality"), chkVideoQuality->isChecked());
}

void TfrmMain::chkExactCutClick() {
  FExactCut = chkExactCut->isChecked();
  Settings().WriteBool(QStringLiteral("ExactCut"), FExactCut);
}

void TfrmMain::chkRemovAudioClick() {
  FRemoveAudio = chkRemovAudio->isChecked();
  Settings().WriteBool(QStringLiteral("removeaudiotrack"), FRemoveAudio);
}

void TfrmMain::chkOptimzeClick() {
  FOptimize = chkOptimze->isChecked();
  Settings().WriteBool(QStringLiteral("optimize"), FOptimize);
}

void TfrmMain::chkOptmizecolormapClick() {
  FOptimizeColorMap = chkOptmizecolormap->isChecked();
  Settings().WriteBool(QStringLiteral("optimizecolormap"), FOptimizeColorMap);
}

void TfrmMain::closeEvent(QCloseEvent* e) {
  if (FormCloseQuery()) {
    FPreviewForm->hide();
    e->accept();
  } else {
    e->ignore();
  }
}

bool TfrmMain::FormCloseQuery() {
  return FDialogs.MessageBox(this, QStringLiteral("Warning"),
                             QStringLiteral("Do you really want to exit?"), TMsgIcon::Question,
                             TMsgButtons::YesNo) == TMsgResult::Yes;
}

void TfrmMain::btnExitClick() { close(); }

TfrmAbout1* TfrmMain::AboutForm() {
  if (!FAboutForm) FAboutForm = new TfrmAbout1(this);
  return FAboutForm;
}

TfmDirectory* TfrmMain::DirectoryForm() {
  if (!FDirectoryForm) FDirectoryForm = new TfmDirectory(FDialogs, this);
  return FDirectoryForm;
}

void TfrmMain::btnAboutClick() {
  TfrmAbout1* about = AboutForm();
  about->SetProduct(FGlobal->ProductTitle(), FGlobal->VersionText(), FGlobal->WebPage());
  FDialogs.ExecModal(*about);
}

void TfrmMain::btnWebSiteClick() { FShell.Open(QUrl(FGlobal->WebPage())); }

void TfrmMain::ShareClick(int site) {
  if (site < 0 || site >= 7) return;
  const QString page = QString::fromLatin1(QUrl::toPercentEncoding(FGlobal->WebPage()));
  FShell.Open(QUrl(QString::fromLatin1(AppConfig::ShareSites[site].UrlTemplate).arg(page)));
}

void TfrmMain::btn_outputClick() {
  TfmDirectory* dlg = DirectoryForm();
  FDialogs.ExecModal(*dlg);
  QString dir = dlg->SelectedDir();
  if (dir.isEmpty() || dir == edDirectory->text()) return;
  if (dir.length() < 4) {
    FDialogs.MessageBox(this, QStringLiteral("Warning"),
                        QStringLiteral("The path ") + dir + QStringLiteral(" is not a valid directory."),
                        TMsgIcon::None, TMsgButtons::Ok);
    return;
  }
  if (TGlobalObject::FolderWriteTest(dir)) {
    Settings().WriteString(kOutPutDir, dir);
  } else {
    FDialogs.MessageBox(this, QStringLiteral("Warning"),
                        QStringLiteral("You login as ") + TGlobalObject::UserName().trimmed() +
                            QStringLiteral(" .You don't have permission to write to directory:") + dir,
                        TMsgIcon::None, TMsgButtons::Ok);
    // Created by the next cut job.
    dir = UserProfileDir() + QStringLiteral("/gifvanefree");
    Settings().WriteString(kOutPutDir, dir);
  }
  edDirectory->setText(dir);
}

void TfrmMain::btn_openClick() {
  const QString dir = Settings().ReadString(kOutPutDir, QStringLiteral("/ruvivezazerave"));
  if (edDirectory->text().length() > 2) FShell.Open(QUrl::fromLocalFile(dir));
}

void TfrmMain::btnTrimStartClick() {
  FTrimStart = FCurrentPTS;
  if (FTrimEnd < FTrimStart) {
    FTrimEnd = FDuration;
    TrackBar1->SetSelEnd(TrackBar1->maximum());
  }
  TrackBar1->SetSelStart(TrackBar1->value());
  NotePointSelection();
}

void TfrmMain::btnTrimEndClick() {
  FTrimEnd = FCurrentPTS;
  if (FTrimEnd < FTrimStart) {
    FTrimStart = 0;
    TrackBar1->SetSelStart(0);
  }
  TrackBar1->SetSelEnd(TrackBar1->value());
  NotePointSelection();
}

void TfrmMain::btnResetClick() {
  FTrimStart = FTrimEnd = 0;
  TrackBar1->SetSelStart(0);
  TrackBar1->SetSelEnd(0);
  NotePointSelection();
}

QString TfrmMain::LibAVPath() {
  return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("LibAV"));
}

QStringList TfrmMain::LogLines() const { return mmoLog->toPlainText().split('\n'); }

void TfrmMain::Log(const QString& line) {
  QString text = line;
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  mmoLog->appendPlainText(text);
}

QRect FitRect(const QSize& picture, const QRect& target) {
  if (picture.isEmpty() || target.isEmpty()) return target;
  const double a = static_cast<double>(picture.width()) / target.width();
  const double b = static_cast<double>(picture.height()) / target.height();
  QRect r = target;
  if (a >= b) {
    const int d = static_cast<int>(std::nearbyint((target.height() - picture.height() / a) / 2));
    r.adjust(0, d, 0, -d);
  } else {
    const int d = static_cast<int>(std::nearbyint((target.width() - picture.width() / b) / 2));
    r.adjust(d, 0, -d, 0);
  }
  return r;
}

QImage BitmapImage(const TBitmap& bitmap) {
  if (bitmap.Empty()) return QImage();
  QImage::Format format = QImage::Format_Invalid;
  switch (bitmap.BitsPixel()) {
    case 32: format = QImage::Format_RGB32; break;
    case 24: format = QImage::Format_BGR888; break;
    case 16: format = QImage::Format_RGB16; break;
    case 15: format = QImage::Format_RGB555; break;
    case 8: format = QImage::Format_Indexed8; break;
    default: return QImage();
  }
  QImage img(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.Stride(), format);
  if (format == QImage::Format_Indexed8) {
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i) table[i] = 0xff000000u | TBitmap::PaletteBGR8(i);
    img.setColorTable(table);
  }
  return img;
}

void TfrmMain::ResetView() {
  if (FKeyFrames) FKeyFrames->Cancel();
  TrackBar1->SetKeyMarks({});
  FDuration = 0;
  FFrameCount = 0;
  FCurrentPTS = 0;
  FPicture->SetSize(0, 0);
  Image1->ResetCanvas();
  TrackBar1->setEnabled(false);
  TrackBar1->setValue(0);
  UpdateTrackBar();
  btnResetClick();
  lblPTS->setText(PTSText(0));
}

void TfrmMain::UpdateTrackBar() {
  const bool enabled = TrackBar1->isEnabled();
  TrackBar1->setEnabled(false);
  const double x = TrackBar1->maximum() > 0
                       ? static_cast<double>(TrackBar1->value()) / TrackBar1->maximum()
                       : 0.0;
  if (FFrameCount > 0) TrackBar1->setMaximum(FFrameCount);
  const int max = TrackBar1->maximum();
  TrackBar1->setTickInterval(max <= 10 ? 1 : max / 10);
  TrackBar1->setPageStep(max <= 9 ? 2 : (max >= 100 ? max / 20 : 5));
  TrackBar1->setValue(static_cast<int>(std::nearbyint(x * max)));
  FLastTrackPos = TrackBar1->value();
  TrackBar1->setEnabled(enabled);
  TrackBar1->SetSliderVisible(enabled);
  // While points are set the selection stays exactly where the buttons put it: the cut job
  // reads it back, so a resize must neither hide it nor move it.
  if (FTrimStart == 0 && FTrimEnd == 0) {
    TrackBar1->SetSelStart(0);
    TrackBar1->SetSelEnd(0);
  }
}

void TfrmMain::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  UpdateTrackBar();
}

void TfrmMain::FormResize() {
  PlacePlayerPanel();
  Image1->ResetCanvas();
  if (FPicture && FPicture->Width() > 0)
    DrawFitted();
  else if (FPicture)
    ResetView();
}

void TfrmMain::DrawFitted() {
  if (static_cast<int64_t>(FPicture->Width()) * FPicture->Height() == 0) return;
  const QImage picture = BitmapImage(*FPicture);
  QImage& canvas = Image1->Canvas();
  QPainter p(&canvas);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(FitRect(picture.size(), canvas.rect()), picture);
  p.end();
  Image1->update();
}

bool TfrmMain::LoadEncoderLibs(bool log) {
  // The cut job needs every media library.
  const TLibraries all{TLibrary::avcodec,    TLibrary::avdevice, TLibrary::avfilter,
                       TLibrary::avformat,   TLibrary::avutil,   TLibrary::swresample,
                       TLibrary::swscale,    TLibrary::msvcrt};
  if (FFLoader().AllLoaded(all)) return true;
  FFLoader().SetLibraryPath(LibAVPath().toStdString());
  if (FFLoader().LoadLibs(all)) return true;
  if (log) Log(QString::fromStdString(FFLoader().LastErrMsg()));
  return false;
}

bool TfrmMain::LoadDecoderLibs(bool log) {
  if (FDecoder->AVLibLoaded()) return true;
  if (FDecoder->LoadAVLib(LibAVPath().toStdString())) return true;
  if (log) Log(QString::fromStdString(FDecoder->LastErrMsg()));
  return false;
}

void TfrmMain::btnOpenClick() {
  if (!LoadEncoderLibs(true) || !LoadDecoderLibs(true)) return;
  const QString path = FDialogs.OpenFileName(this, QLatin1String(OpenDialogFilter));
  if (path.isEmpty()) return;
  OpenFile(path, false);
}

void TfrmMain::OpenFromCommandLine(const QString& path) {
  if (!LoadEncoderLibs(true) || !LoadDecoderLibs(true)) return;
  OpenFile(QFileInfo(path).absoluteFilePath(), false);
}

void TfrmMain::FilesDropped(const QStringList& paths) {
  if (paths.isEmpty() || !LoadEncoderLibs(false)) {
    btnResetClick();
    return;
  }
  RegisterPacketMuxers();
  if (LoadDecoderLibs(false)) {
    FFileName = paths.first();
    OpenFile(FFileName, true);
  }
  btnResetClick();
}

void TfrmMain::OpenFile(const QString& path, bool dropped) {
  ResetView();
  bool loaded = false;
  std::string error;
  try {
    loaded = FDecoder->LoadFile(path.toStdString());
    if (!loaded) error = FDecoder->LastErrMsg();
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!loaded) {
    if (!dropped) {
      Log(QString());
      Log(QStringLiteral("***File load error: ") + QString::fromStdString(error));
      Log(QString());
    }
    return;
  }

  FFileName = path;
  const TFileStreamInfo fileInfo = FDecoder->GetFileStreamInfo();
  const bool durationKnown = fileInfo.Duration != AV_NOPTS_VALUE && fileInfo.Duration >= 0;
  if (!dropped) {
    Log(QStringLiteral("***FFDecoder.FileInfoText"));
    Log(QString::fromStdString(FDecoder->FileInfoText()).trimmed());
    Log(QString());
    for (const std::string& line : FileInfoLines(*FDecoder)) Log(QString::fromStdString(line));
  }

  const bool hasVideo = FDecoder->VideoStreamCount() > 0;
  TrackBar1->setEnabled(durationKnown && FDecoder->FormatName() != "image2" && hasVideo);
  if (durationKnown) FDuration = fileInfo.Duration;
  if (hasVideo) {
    const TVideoStreamInfo v = FDecoder->GetVideoStreamInfo(-1);
    if (v.FrameRateDen > 0) {
      // A broken header can claim a length no track bar can count.
      auto frames = [&v](int64_t us) {
        const double n = std::nearbyint(us / 1000000.0 * v.FrameRateNum / v.FrameRateDen);
        return static_cast<int32_t>(std::clamp(n, 0.0, double(std::numeric_limits<int32_t>::max())));
      };
      if (v.Duration > 0)
        FFrameCount = frames(v.Duration);
      else if (durationKnown)
        FFrameCount = frames(fileInfo.Duration);
    }
    ShowFirstFrame();
    setWindowTitle(FGlobal->ProductTitle() + FGlobal->VersionText() + QStringLiteral(" ") + FFileName);
    SetFileButtons(dropped);
    btnPlayStopClick();
    FTrimStart = FTrimEnd = 0;
  }
  UpdateTrackBar();
  if (hasVideo && durationKnown) StartKeyFrameScan(path);
}

void TfrmMain::SetFileButtons(bool jobButtons) {
  btnStart->setEnabled(true);
  btnStart->setFocus();
  for (QPushButton* b : {btnStop, btnPause, btnResume}) b->setEnabled(jobButtons);
  for (QPushButton* b : {btnSave, btnPreviousFrame, btnNextFrame, btnPreviousKF, btnNextKF,
                         btnTrimStart, btnTrimEnd, btnReset, btnPlay, btnPlayStop})
    b->setEnabled(true);
}


void TfrmMain::ShowFirstFrame() {
  if (FDecoder->Decode(-1))
    ShowCurrentFrame();
  else
    Log(QStringLiteral("***Decode failed: ") + QString::fromStdString(FDecoder->LastErrMsg()));
}

void TfrmMain::ShowCurrentFrame() {
  const int64_t pts = FDecoder->FramePTS();
  FCurrentPTS = pts == AV_NOPTS_VALUE ? 0 : pts;
  lblPTS->setText(PTSText(FCurrentPTS));
  if (!FSeeking && FDuration > 0) {
    FSeeking = true;
    try {
      const double pos = std::nearbyint(static_cast<double>(TrackBar1->maximum()) * FCurrentPTS / FDuration);
      TrackBar1->setValue(static_cast<int>(std::min<double>(TrackBar1->maximum(), pos)));
      // The thumb now stands for the picture shown: a drag by one from here is one step.
      FLastTrackPos = TrackBar1->value();
    } catch (...) {
      FSeeking = false;
      throw;
    }
    FSeeking = false;
  }
  if (FDecoder->CopyToBitmap(*FPicture)) {
    Image1->ResetCanvas();
    DrawFitted();
  } else {
    Log(QStringLiteral("***CopyToBitmap failed: ") + QString::fromStdString(FDecoder->LastErrMsg()));
  }
}

void TfrmMain::Step(bool (TFFDecoder::*step)(int)) {
  if ((FDecoder.get()->*step)(-1))
    ShowCurrentFrame();
  else
    Log(QStringLiteral("***Decode failed: ") + QString::fromStdString(FDecoder->LastErrMsg()));
}

void TfrmMain::btnNextFrameClick() { Step(&TFFDecoder::Decode); }
void TfrmMain::btnPreviousFrameClick() { Step(&TFFDecoder::PrevFrame); }
void TfrmMain::btnNextKFClick() { Step(&TFFDecoder::NextKeyFrame); }
void TfrmMain::btnPreviousKFClick() { Step(&TFFDecoder::PrevKeyFrame); }

void TfrmMain::TrackBar1Change() {
  if (!FDecoder) return;  // moves while the form is being built
  const int max = TrackBar1->maximum();
  const int pos = TrackBar1->value();
  auto target = [&] {
    return max < 1 ? int64_t(0)
                   : static_cast<int64_t>(std::nearbyint(static_cast<double>(pos) / max * FDuration));
  };
  if (!FDecoder->FormatContext() || FDecoder->VideoStreamCount() < 1) {
    FCurrentPTS = target();
    lblPTS->setText(PTSText(FCurrentPTS));
    return;
  }
  if (FSeeking) return;
  if (!TrackBar1->isEnabled() || pos == FLastTrackPos) return;

  FSeeking = true;
  const int64_t to = target();
  // Whatever happens, the position acted upon is the one now shown.
  struct TRestore {
    TfrmMain* W;
    ~TRestore() {
      W->FLastTrackPos = W->TrackBar1->value();
      W->FSeeking = false;
    }
  } restore{this};

  if (pos == FLastTrackPos + 1) {
    if (FDecoder->Decode(-1)) ShowCurrentFrame();
  } else if (pos == FLastTrackPos - 1) {
    if (FDecoder->PrevFrame(-1)) ShowCurrentFrame();
  } else {
    const bool sought = FDecoder->Seek(to, 0) || FDecoder->Seek(to, AVSEEK_FLAG_BACKWARD) ||
                        FDecoder->Seek(to, AVSEEK_FLAG_ANY);
    if (sought) {
      while (FDecoder->Decode(-1)) {
        if (FDecoder->FramePTS() >= to || to <= 0) {
          ShowCurrentFrame();
          break;
        }
      }
    }
  }
}

void TfrmMain::Image1Click() {
  if (FPicture->Width() == 0 || FPicture->Height() == 0) return;
  QDialog view(this);
  view.setObjectName(QStringLiteral("frmActualSize"));
  view.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                      Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  view.setWindowTitle(QStringLiteral("%1x%2 @ %3")
                          .arg(FPicture->Width())
                          .arg(FPicture->Height())
                          .arg(PTSText(FCurrentPTS)));
  // Enter and Esc close the view through an invisible default button.
  auto* close = new QPushButton(&view);
  close->setObjectName(QStringLiteral("btnClose"));
  close->setGeometry(0, 0, 0, 0);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, &view, &QDialog::reject);
  auto* image = new TPictureBox(&view);
  image->setObjectName(QStringLiteral("Image"));
  image->setMinimumSize(1, 1);
  image->setGeometry(0, 0, FPicture->Width(), FPicture->Height());
  image->Canvas() = BitmapImage(*FPicture).convertToFormat(QImage::Format_RGB32);
  connect(image, &TPictureBox::Clicked, &view, &QDialog::reject);
  view.setFixedSize(FPicture->Width(), FPicture->Height());
  if (QScreen* s = QGuiApplication::primaryScreen())
    view.move(s->availableGeometry().center() - view.rect().center());
  FDialogs.ExecModal(view);
}

void TfrmMain::btnSaveClick() {
  const QString base = QFileInfo(FFileName).completeBaseName();
  if (FPicture->Width() == 0) return;
  const QString name = FDialogs.SaveFileName(this, QLatin1String(SaveDialogFilter), base, QStringLiteral("bmp"));
  if (name.isEmpty()) return;
  std::string err;
  const bool bmp = QFileInfo(name).suffix().compare(QLatin1String("bmp"), Qt::CaseInsensitive) == 0;
  // The open video is never written, whatever name the dialog returns for it.
  const std::vector<std::string> inputs{FFileName.toStdString()};
  const bool ok = bmp ? FPicture->SaveToBMP(name.toStdString(), &err, inputs)
                      : FPicture->SaveToJPEG(name.toStdString(), &err, inputs);
  if (!ok)
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), QString::fromStdString(err),
                        TMsgIcon::Warning, TMsgButtons::Ok);
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* e) {
  // Another file opened under a running job would hand its buttons back too early.
  if (FJobRunning) {
    e->ignore();
    return;
  }
  if (e->mimeData()->hasUrls()) {
    for (const QUrl& u : e->mimeData()->urls())
      if (u.isLocalFile()) {
        e->acceptProposedAction();
        return;
      }
  }
  e->ignore();
}

void TfrmMain::dropEvent(QDropEvent* e) {
  if (FJobRunning) {
    e->ignore();
    return;
  }
  QStringList paths;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile()) paths << u.toLocalFile();
  e->acceptProposedAction();
  FilesDropped(paths);
}

void TfrmMain::SetDecoder(std::unique_ptr<TFFDecoder> decoder) {
  if (!decoder) return;
  ResetView();
  FDecoder = std::move(decoder);
}
