// The playback panel of the main window: "Play" plays the opened file inside the picture area
// from the picture on screen, the time label follows it, and with both points set playback
// loops between them.
#include <QGuiApplication>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPushButton>
#include <QLabel>
#include <QScreen>
#include <QShortcut>

#include <stdexcept>

#include "MainUnit.h"
#include "PictureBox.h"
#include "Timeline.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "player/FFPlay.h"
#include "runtime/EqFilters.h"

TPlayerPanel::TPlayerPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("pnlPlayer"));
  // SDL draws into the panel's own native window; Qt must neither paint nor erase it.
  setAttribute(Qt::WA_NativeWindow);
  setAttribute(Qt::WA_PaintOnScreen);
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::ClickFocus);
}

void TPlayerPanel::paintEvent(QPaintEvent*) { emit Exposed(); }

void TPlayerPanel::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  emit Exposed();
}

void TPlayerPanel::mousePressEvent(QMouseEvent* e) {
  // A click gives the window the keyboard, as on any control.
  setFocus(Qt::MouseFocusReason);
  QWidget::mousePressEvent(e);
}

void TfrmMain::CreatePlayer() {
  FPlayer = std::make_unique<TFFPlayer>();
  FPlayer->OnFileOpen = [this](TFFPlayer*, int64_t duration, int w, int h, int& sw, int& sh) {
    FFPlayerFileOpen(duration, w, h, sw, sh);
  };
  FPlayer->OnPosition = [this](TFFPlayer*, int64_t pts) { FFPlayerPosition(pts); };
  connect(static_cast<TPlayerPanel*>(pnlPlayer), &TPlayerPanel::Exposed, this, [this] {
    if (FPlayer) FPlayer->Redraw();
  });
}

void TfrmMain::BuildPlaybackShortcuts() {
  auto* sc = new QShortcut(QKeySequence(Qt::Key_Space), this);
  sc->setContext(Qt::WindowShortcut);
  connect(sc, &QShortcut::activated, this, [this] { Guarded(&TfrmMain::PlayKeyPress); });
  const QString key = QKeySequence(Qt::Key_Space).toString(QKeySequence::NativeText);
  btnPlay->setToolTip(QStringLiteral("Play from the picture on screen (%1)").arg(key));
  btnPlayStop->setToolTip(QStringLiteral("Stop playing (%1)").arg(key));
}

void TfrmMain::PlayKeyPress() {
  if (FPlayer && FPlayer->Playing()) {
    if (btnPlayStop->isEnabled()) btnPlayStopClick();
  } else if (btnPlay->isEnabled() && btnPlay->isVisible()) {
    btnPlayClick();
  }
}

void TfrmMain::PlacePlayerPanel() {
  if (pnlPlayer && Image1) pnlPlayer->setGeometry(Image1->rect());
}

void TfrmMain::btnPlayClick() {
  if (!FPlayer->AVLibLoaded()) {
    if (!FPlayer->LoadAVLib(LibAVPath().toStdString(), true)) {
      Log(QString::fromStdString(FPlayer->LastErrMsg()));
      return;
    }
    if (!RegisterEqFilter(false) || !RegisterHueFilter(false))
      throw std::runtime_error(
          "Failed to register video filter. It requires several private APIs of ffmpeg libraries.");
  }
  PlacePlayerPanel();
  pnlPlayer->show();
  pnlPlayer->raise();
  FPlayerPanel = pnlPlayer;
  FPlayer->SetBackgroundColor(SkyBlue.red(), SkyBlue.green(), SkyBlue.blue());
  if (!FPlayer->Open(FDecoder->FileName(), static_cast<uintptr_t>(pnlPlayer->winId()), false)) {
    // The panel stays, empty, until "Stop".
    Log(QStringLiteral("***") + QString::fromStdString(FPlayer->LastErrMsg()));
    return;
  }
  FPlayer->Seek(0, false, FCurrentPTS);
}

void TfrmMain::btnPlayStopClick() {
  pnlPlayer->hide();
  if (FPlayer) FPlayer->Stop(true);
  Timeline1->SetCursorTime(FCurrentPTS);
}

void TfrmMain::FFPlayerFileOpen(int64_t ADuration, int, int, int& AScreenWidth, int& AScreenHeight) {
  const int index = FPlayer->VideoStreamIndex();
  if (index >= 0) {
    const TVideoStreamInfo v = FPlayer->Decoder().GetVideoStreamInfo(index);
    double aspect = (v.SARNum != 0 && v.SARDen != 0) ? static_cast<double>(v.SARNum) / v.SARDen : 1.0;
    if (v.Height > 0) aspect = aspect * v.Width / v.Height;
    // Shown upright: a quarter turn swaps the sides.
    if (v.Rotation % 180 != 0 && aspect > 0) aspect = 1.0 / aspect;
    Log(QString::asprintf("aspect ratio: %.2f", aspect));
  }
  if (FPlayerPanel) {
    AScreenWidth = FPlayerPanel->width();
    AScreenHeight = FPlayerPanel->height();
  } else if (QScreen* s = QGuiApplication::primaryScreen()) {
    AScreenWidth = s->geometry().width();
    AScreenHeight = s->geometry().height();
  }
  FDuration = FPlayDuration = ADuration;
}

void TfrmMain::FFPlayerPosition(int64_t APTS) {
  lblPTS->setText(PTSText(APTS));
  Timeline1->SetCursorTime(APTS);
  if (FTrimStart > 0 && FTrimEnd > 0 && APTS >= FTrimEnd) FPlayer->Seek(0, false, FTrimStart);
}
