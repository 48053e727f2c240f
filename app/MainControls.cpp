// The main window's controls, built by concern: the top bar, the picture area, the browse rows
// (track bar, stepping, points, playback), the output group, the job rows and the hidden log.
// Each builder makes its controls, connects them to their handlers and hands its rows to the
// window's column; the keys follow once every button exists. The handlers live in MainUnit.cpp,
// MainPlayback.cpp and MainCut.cpp. Widgets are made in tab order: the order of creation is the
// order Tab walks.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

#include "MainUnit.h"
#include "OutputChoices.h"
#include "PictureBox.h"
#include "TrackBar.h"

namespace {

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

// Nothing to browse, save or cut before a file is opened.
void DisableUntilOpen(std::initializer_list<QWidget*> widgets) {
  for (QWidget* w : widgets) w->setEnabled(false);
}

}  // namespace

void TfrmMain::BuildControls() {
  auto* root = new QVBoxLayout;
  root->setContentsMargins(8, 6, 8, 6);
  root->setSpacing(6);
  BuildTopBar(root);
  BuildPictureArea(root);
  BuildTimeline(root);
  BuildBrowseRows(root);
  BuildOutputGroup(root);
  BuildJobRows(root);
  BuildLog();
  setLayout(root);
  BuildShortcuts();
  BuildPlaybackShortcuts();
  BuildJobShortcuts();
}

void TfrmMain::BuildTopBar(QVBoxLayout* root) {
  // File actions on the left, program actions and share buttons on the right.
  btnOpen = MakeButton(this, "btnOpen", QStringLiteral("Open"));
  btnSave = MakeButton(this, "btnSave", QStringLiteral("Save Image"));
  btnAbout = MakeButton(this, "btnAbout", QStringLiteral("About"));
  btnWebSite = MakeButton(this, "btnWebSite", QStringLiteral("Web Site"));
  // Exit sits at the end of the job row, but Tab reaches it right after "Web Site".
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
  root->addLayout(top);
  DisableUntilOpen({btnSave});

  connect(btnOpen, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnOpenClick); });
  connect(btnSave, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnSaveClick); });
  connect(btnAbout, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnAboutClick); });
  connect(btnWebSite, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnWebSiteClick); });
  connect(btnExit, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnExitClick); });
}

void TfrmMain::BuildPictureArea(QVBoxLayout* root) {
  // The player panel lies over the picture while playing.
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
  root->addLayout(WithSegmentPanel(pictureFrame), 1);

  connect(Image1, &TPictureBox::Resized, this, [this] { Guarded(&TfrmMain::FormResize); });
  connect(Image1, &TPictureBox::Clicked, this, [this] { Guarded(&TfrmMain::Image1Click); });
}

void TfrmMain::BuildBrowseRows(QVBoxLayout* root) {
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
  root->addLayout(track);
  root->addLayout(nav);
  DisableUntilOpen({btnPreviousKF, btnPreviousFrame, btnNextFrame, btnNextKF, btnTrimStart, btnTrimEnd,
                    btnReset, btnPlay, btnPlayStop});
  ConnectBrowseRows();
}

void TfrmMain::ConnectBrowseRows() {
  connect(TrackBar1, &QSlider::valueChanged, this, [this] { Guarded(&TfrmMain::TrackBar1Change); });
  connect(TrackBar1, &QSlider::sliderReleased, this, [this] { Guarded(&TfrmMain::TrackBar1MouseUp); });
  connect(btnPreviousKF, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPreviousKFClick); });
  connect(btnPreviousFrame, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPreviousFrameClick); });
  connect(btnNextFrame, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnNextFrameClick); });
  connect(btnNextKF, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnNextKFClick); });
  connect(btnTrimStart, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnTrimStartClick); });
  connect(btnTrimEnd, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnTrimEndClick); });
  connect(btnReset, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnResetClick); });
  connect(btnPlay, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPlayClick); });
  connect(btnPlayStop, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPlayStopClick); });
}

void TfrmMain::BuildOutputGroup(QVBoxLayout* root) {
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
  LayOutOutputGroup(output);
  root->addWidget(output);
  ConnectOutputGroup();
}

void TfrmMain::LayOutOutputGroup(QGroupBox* output) {
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
}

void TfrmMain::ConnectOutputGroup() {
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
  connect(btn_output, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btn_outputClick); });
  connect(btn_open, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btn_openClick); });
}

void TfrmMain::BuildJobRows(QVBoxLayout* root) {
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
  AddSegmentChoices(job);
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
  root->addLayout(job);
  root->addLayout(status);
  DisableUntilOpen({btnStart, btnStop, btnPause, btnResume});

  connect(btnStart, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnStartClick); });
  connect(btnStop, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnStopClick); });
  connect(btnPause, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnPauseClick); });
  connect(btnResume, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::btnResumeClick); });
}

void TfrmMain::BuildLog() {
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
