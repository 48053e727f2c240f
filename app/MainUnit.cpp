#include "MainUnit.h"

#include "About.h"
#include "AppServices.h"
#include "OutputChoices.h"
#include "PictureBox.h"
#include "Timeline.h"
#include "TimelineFeed.h"
#include "TrackBar.h"
#include "directory.h"
#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "decoder/KeyFrames.h"
#include "engine/FFEncode.h"
#include "engine/RawMuxers.h"
#include "job/CutJob.h"
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
#include <QMimeData>
#include <QSignalBlocker>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
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
  // A person steps back after a jump: the pictures before it are made ready meanwhile.
  FDecoder->SetPrepareBack(true);
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
  {
    // On by default, stored only once the user changes it.
    const QSignalBlocker quiet(chkExactCut);
    chkExactCut->setChecked(ini.ReadBool(QStringLiteral("ExactCut"), true));
  }
  FExactCut = chkExactCut->isChecked();

  FillFrameSizes();

  cmbVideoQuality->clear();
  for (const char* q : OutputChoices::Qualities) cmbVideoQuality->addItem(QLatin1String(q));
  const int quality = ini.ReadInteger(QStringLiteral("videoqualityindex"), 0);
  cmbVideoQuality->setCurrentIndex(quality >= 0 && quality < cmbVideoQuality->count() ? quality : -1);
  chkVideoQuality->setChecked(ini.ReadBool(QStringLiteral("usevideoquality"), true));

  ApplyCopyMode(false);
  cmbVideoQuality->setEnabled(chkVideoQuality->isChecked());
  ReadSegmentChoices();

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
  const QString dir = Settings().ReadString(kOutPutDir, QString::fromStdString(DefaultOutputDir()));
  if (edDirectory->text().length() > 2) FShell.Open(QUrl::fromLocalFile(dir));
}

void TfrmMain::btnTrimStartClick() {
  // A point is set on the picture the thumb stands for, never on a drag's rough one.
  RefineRoughPicture();
  // Pictures an edit list shows before the start have negative times; from them is from the start.
  FTrimStart = std::max<int64_t>(0, FCurrentPTS);
  if (FTrimEnd < FTrimStart) {
    FTrimEnd = FDuration;
    TrackBar1->SetSelEnd(TrackBar1->maximum());
  }
  TrackBar1->SetSelStart(TrackBar1->value());
  NotePointSelection();
  ShowPointsOnTimeline();
}

void TfrmMain::btnTrimEndClick() {
  RefineRoughPicture();
  FTrimEnd = FCurrentPTS;
  if (FTrimEnd < FTrimStart) {
    FTrimStart = 0;
    TrackBar1->SetSelStart(0);
  }
  TrackBar1->SetSelEnd(TrackBar1->value());
  NotePointSelection();
  ShowPointsOnTimeline();
}

void TfrmMain::btnResetClick() {
  FTrimStart = FTrimEnd = 0;
  TrackBar1->SetSelStart(0);
  TrackBar1->SetSelEnd(0);
  NotePointSelection();
  ShowPointsOnTimeline();
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
  FTimelineFeed->Close();
  Timeline1->SetDuration(0);
  FDragPauseTimer->stop();
  FRoughPicture = false;
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
  ForgetSegments();
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
    Timeline1->SetDuration(FDuration);
    Timeline1->SetFrameDuration(FDecoder->FrameDuration());
    if (durationKnown) FTimelineFeed->Open(path);
    ShowFirstFrame();
    setWindowTitle(FGlobal->ProductTitle() + FGlobal->VersionText() + QStringLiteral(" ") + FFileName);
    SetFileButtons(dropped);
    btnPlayStopClick();
    FTrimStart = FTrimEnd = 0;
  }
  UpdateTrackBar();
  if (hasVideo && durationKnown) StartKeyFrameScan(path);
  if (hasVideo) OfferSavedSegments();
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
  Timeline1->SetCursorTime(FCurrentPTS);
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
  if (!(FDecoder.get()->*step)(-1)) {
    Log(QStringLiteral("***Decode failed: ") + QString::fromStdString(FDecoder->LastErrMsg()));
    return;
  }
  FRoughPicture = false;
  ShowCurrentFrame();
  FollowPlayback();
}

void TfrmMain::btnNextFrameClick() { Step(&TFFDecoder::Decode); }
void TfrmMain::btnPreviousFrameClick() { Step(&TFFDecoder::PrevFrame); }
void TfrmMain::btnNextKFClick() { Step(&TFFDecoder::NextKeyFrame); }
void TfrmMain::btnPreviousKFClick() { Step(&TFFDecoder::PrevKeyFrame); }

void TfrmMain::TrackBar1Change() {
  if (!FDecoder) return;  // moves while the form is being built
  const int pos = TrackBar1->value();
  if (!FDecoder->FormatContext() || FDecoder->VideoStreamCount() < 1) {
    FCurrentPTS = TrackTarget(pos);
    lblPTS->setText(PTSText(FCurrentPTS));
    return;
  }
  if (FSeeking) return;
  if (!TrackBar1->isEnabled() || pos == FLastTrackPos) return;

  const bool dragging = TrackBar1->isSliderDown();
  ActOnTrackPosition([&] {
    // A step by one goes from the picture shown, so only from the exact one.
    if (!FRoughPicture && pos == FLastTrackPos + 1) {
      if (FDecoder->Decode(-1)) ShowCurrentFrame();
    } else if (!FRoughPicture && pos == FLastTrackPos - 1) {
      if (FDecoder->PrevFrame(-1)) ShowCurrentFrame();
    } else if (dragging) {
      ShowKeyFrameNear(TrackTarget(pos));
    } else {
      ShowExactly(TrackTarget(pos));
    }
  });
  if (dragging)
    FollowDrag();
  else
    FollowPlayback();
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
