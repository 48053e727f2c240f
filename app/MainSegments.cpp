// The segment list of the main window: the panel beside the picture, the segments on the track
// bar, the merged / separate choice and the list's autosave in the user's data folder.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>

#include "AppServices.h"
#include "MainUnit.h"
#include "SegmentPanel.h"
#include "Timeline.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "engine/FFEncode.h"
#include "job/SegmentExport.h"
#include "segments/ProjectFile.h"

namespace {

const QString kSegmentMode = QStringLiteral("segmentmode");
const QString kSegmentChapters = QStringLiteral("segmentchapters");

const char* const ListOpenFilter =
    "Segment lists (*.trimora,*.json,*.llc,*.csv,*.edl)|*.trimora;*.json;*.llc;*.csv;*.edl|All files (*.*)|*.*";
const char* const ListSaveFilter =
    "Trimora project (*.trimora)|*.trimora|LosslessCut project (*.llc)|*.llc|CSV (*.csv)|*.csv|"
    "MPlayer EDL (*.edl)|*.edl|YouTube chapters (*.txt)|*.txt";

}  // namespace

QLayout* TfrmMain::WithSegmentPanel(QWidget* picture) {
  FSegments.OnChange = [this] { SegmentsChanged(); };
  SegmentPanel = new TSegmentPanel(FSegments, this);
  SegmentPanel->PictureTime = [this] { return std::max<int64_t>(0, FCurrentPTS); };
  SegmentPanel->MediaDuration = [this] { return FDuration; };
  SetListButtons(false);
  auto* area = new QHBoxLayout;
  area->setSpacing(6);
  area->addWidget(picture, 3);
  area->addWidget(SegmentPanel, 2);

  connect(SegmentPanel, &TSegmentPanel::JumpTo, this, [this](qint64 us) { JumpToTime(us); });
  connect(SegmentPanel, &TSegmentPanel::Refused, this, [this](const QString& text) { ShowSegmentMessage(text); });
  connect(SegmentPanel, &TSegmentPanel::CurrentChanged, this, [this] { UpdateSegmentMarks(); });
  connect(SegmentPanel->btnAddSegment, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::AddSegmentClick); });
  connect(SegmentPanel->btnOpenList, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::OpenListClick); });
  connect(SegmentPanel->btnSaveList, &QPushButton::clicked, this, [this] { Guarded(&TfrmMain::SaveListClick); });
  BindButtonKey(QKeySequence(Qt::Key_S), SegmentPanel->btnAddSegment, &TfrmMain::AddSegmentClick);
  return area;
}

void TfrmMain::AddSegmentChoices(QHBoxLayout* row) {
  cboSegmentMode = new QComboBox(this);
  cboSegmentMode->setObjectName(QStringLiteral("cboSegmentMode"));
  cboSegmentMode->addItems({QStringLiteral("Merged"), QStringLiteral("Separate")});
  cboSegmentMode->setToolTip(QStringLiteral("A list of segments: one file holding them all, or one file each"));
  chkChapters = new QCheckBox(QStringLiteral("Chapters"), this);
  chkChapters->setObjectName(QStringLiteral("chkChapters"));
  chkChapters->setToolTip(QStringLiteral("One chapter per segment in the merged file, named by its label"));
  row->addSpacing(16);
  row->addWidget(cboSegmentMode);
  row->addWidget(chkChapters);

  connect(cboSegmentMode, &QComboBox::activated, this, [this](int index) {
    Settings().WriteInteger(kSegmentMode, index);
    chkChapters->setEnabled(index == 0);
  });
  connect(chkChapters, &QCheckBox::toggled, this,
          [this](bool on) { Settings().WriteBool(kSegmentChapters, on); });
}

void TfrmMain::ReadSegmentChoices() {
  const TSettingsFile ini = Settings();
  const int mode = ini.ReadInteger(kSegmentMode, 0);
  cboSegmentMode->setCurrentIndex(mode == 1 ? 1 : 0);
  const QSignalBlocker quiet(chkChapters);
  chkChapters->setChecked(ini.ReadBool(kSegmentChapters, false));
  chkChapters->setEnabled(cboSegmentMode->currentIndex() == 0);
}

void TfrmMain::SetSegmentControls(bool enabled) {
  SegmentPanel->setEnabled(enabled);
  cboSegmentMode->setEnabled(enabled);
  chkChapters->setEnabled(enabled && !SegmentsSeparate());
}

bool TfrmMain::SegmentsSeparate() const { return cboSegmentMode->currentIndex() == 1; }

bool TfrmMain::SegmentChapters() const { return !SegmentsSeparate() && chkChapters->isChecked(); }

void TfrmMain::ShowSegmentMessage(const QString& text) {
  Log(text);
  lblStatus->setText(text);
}

void TfrmMain::AddSegmentClick() {
  std::string err;
  size_t index = 0;
  if (FSegments.Add(FTrimStart, FTrimEnd, std::string(), &err, &index))
    SegmentPanel->SetCurrentRow(static_cast<int>(index));
  else
    ShowSegmentMessage(QString::fromStdString(err));
}

void TfrmMain::JumpToTime(int64_t us) {
  // Only where a move of the track bar would show a picture.
  if (FSeeking || !TrackBar1->isEnabled() || !FDecoder->FormatContext() || FDecoder->VideoStreamCount() < 1) return;
  if (!ShowExactly(us)) {
    Log(QStringLiteral("***Decode failed: ") + QString::fromStdString(FDecoder->LastErrMsg()));
    return;
  }
  // A playing player follows, as after a drag of the track bar.
  TrackBar1MouseUp();
}

void TfrmMain::UpdateSegmentMarks() {
  std::vector<TTrackSegment> marks;
  std::vector<TTimelineSegment> spans;
  const int max = TrackBar1->maximum();
  auto pos = [&](int64_t us) {
    return static_cast<int>(std::nearbyint(static_cast<double>(max) * std::min(us, FDuration) / FDuration));
  };
  const int current = SegmentPanel->CurrentRow();
  if (FDuration > 0)
    for (size_t i = 0; i < FSegments.Count(); ++i) {
      const QColor colour = SegmentColour(static_cast<int>(i), FSegments[i].Selected);
      const bool isCurrent = static_cast<int>(i) == current;
      marks.push_back({pos(FSegments[i].Start), pos(FSegments[i].End), colour, isCurrent});
      spans.push_back({FSegments[i].Start, FSegments[i].End, colour, isCurrent});
    }
  TrackBar1->SetSegments(std::move(marks));
  Timeline1->SetSegments(std::move(spans));
}

void TfrmMain::SegmentsChanged() {
  SegmentPanel->Refresh();
  UpdateSegmentMarks();
  if (FSegmentMedia.isEmpty()) return;
  // Every change is kept at once, beside no media: the list survives a crash or a closed window.
  const QString path = SegmentAutosavePath(FSegmentMedia);
  QDir().mkpath(QFileInfo(path).absolutePath());
  std::string err;
  const TProjectMedia media{FSegmentMedia.toStdString(), FDuration};
  if (!WriteProjectFile(path.toStdString(), TProjectFormat::Trimora, media, FSegments.Items(), true, &err))
    Log(QStringLiteral("***The segment list was not saved: ") + QString::fromStdString(err));
}

void TfrmMain::SetListButtons(bool fileOpen) {
  for (QPushButton* b : {SegmentPanel->btnAddSegment, SegmentPanel->btnOpenList, SegmentPanel->btnSaveList})
    b->setEnabled(fileOpen);
}

void TfrmMain::ForgetSegments() {
  FSegmentMedia.clear();
  FListFile.clear();
  FSegments = TSegmentList();
  FSegments.OnChange = [this] { SegmentsChanged(); };
  SegmentsChanged();
  SetListButtons(false);
}

void TfrmMain::OfferSavedSegments() {
  FSegmentMedia = FFileName;
  SetListButtons(true);
  QFile file(SegmentAutosavePath(FFileName));
  if (!file.exists() || !file.open(QIODevice::ReadOnly)) return;
  const std::string text = file.readAll().toStdString();
  std::vector<TSegment> items;
  std::string err;
  const TProjectMedia media{FFileName.toStdString(), FDuration};
  if (!ParseProjectText(text, TProjectFormat::Trimora, media, &items, &err)) {
    Log(QStringLiteral("***The saved segment list could not be read: ") + QString::fromStdString(err));
    return;
  }
  if (items.empty()) return;
  const QString question = QStringLiteral("This file has a saved list of %1 segment(s). Open it?").arg(items.size());
  if (FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), question, TMsgIcon::Question,
                          TMsgButtons::YesNo) != TMsgResult::Yes)
    return;
  if (!FSegments.Replace(std::move(items), &err)) ShowSegmentMessage(QString::fromStdString(err));
}

void TfrmMain::OpenListClick() {
  if (FSegmentMedia.isEmpty()) return;
  const QString path = FDialogs.OpenFileName(this, QLatin1String(ListOpenFilter));
  if (path.isEmpty()) return;
  TProjectFormat format;
  if (!ProjectFormatOfPath(path.toStdString(), &format) || !CanReadProjectFormat(format))
    return ShowSegmentMessage(QStringLiteral("Not a segment list Trimora reads: ") + path);
  std::string err;
  const TProjectMedia media{FSegmentMedia.toStdString(), FDuration};
  if (!ReadProjectFile(path.toStdString(), format, media, FSegments, &err))
    return ShowSegmentMessage(QString::fromStdString(err));
  FListFile = path;
}

void TfrmMain::SaveListClick() {
  if (FSegmentMedia.isEmpty()) return;
  const QString base = QFileInfo(FSegmentMedia).completeBaseName();
  const QString path = FDialogs.SaveFileName(this, QLatin1String(ListSaveFilter), base, QStringLiteral("trimora"));
  if (path.isEmpty()) return;
  TProjectFormat format;
  if (!ProjectFormatOfPath(path.toStdString(), &format))
    return ShowSegmentMessage(QStringLiteral("Not a segment list format: ") + path);
  std::string err;
  const TProjectMedia media{FSegmentMedia.toStdString(), FDuration};
  // An existing file is replaced only when it is the list's own file.
  if (!WriteProjectFile(path.toStdString(), format, media, FSegments.Items(), path == FListFile, &err))
    return ShowSegmentMessage(QString::fromStdString(err));
  FListFile = path;
  ShowSegmentMessage(QStringLiteral("Segment list saved: ") + path);
}

bool TfrmMain::SetSegmentsOutput(int task, bool exact, const TOutputNameHost& host, std::string* output,
                                 int64_t* length, bool* copy) {
  TSegmentChoices choices;
  choices.Separate = SegmentsSeparate();
  choices.Chapters = SegmentChapters();
  *length = 0;
  for (const TSegment& s : FSegments.SelectedItems()) {
    choices.Ranges.push_back(TExportRange{s.Start, s.End, s.Label});
    *length += s.End - s.Start;
  }
  const TSegmentSetup setup = PrepareSegments(CutChoices(), choices, exact);
  const std::vector<std::string> outputs = SegmentOutputNames(FFileName.toStdString(), setup, host);
  for (const std::string& note : setup.Notes) Log(QString::fromStdString(note));
  for (const std::string& line : SegmentPlanLines(setup)) Log(QString::fromStdString(line));
  std::string error;
  if (SetSegmentOutput(*FEncoder, task, outputs, setup, &error) != 0) {
    FEncoder->RemoveTask(task);
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), QString::fromStdString(error),
                        TMsgIcon::Warning, TMsgButtons::Ok);
    return false;
  }
  *output = outputs.front();
  *copy = setup.Parts.front().Job.StreamCopy;
  return true;
}
