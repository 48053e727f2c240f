#include "job/SegmentExport.h"

#include <algorithm>
#include <filesystem>

#include "engine/FFEncode.h"
#include "job/ExactCopyJob.h"
#include "job/SegmentChapters.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// A container that keeps chapters: MP4, QuickTime and Matroska.
bool CarriesChapters(const std::string& output) {
  const AVOutputFormat* f = av_guess_format(nullptr, output.c_str(), nullptr);
  if (!f) return false;
  const std::string name = f->name;
  return name == "mp4" || name == "mov" || name == "matroska" || name == "ipod";
}

std::vector<std::string> ChapterTitles(const TSegmentChoices& c) {
  std::vector<std::string> titles;
  for (size_t k = 0; k < c.Ranges.size(); k++) titles.push_back(SegmentTitle(c.Ranges[k], k));
  return titles;
}

std::vector<TExactCopyOptions> ExactRanges(const TSegmentSetup& s) {
  std::vector<TExactCopyOptions> ranges;
  for (const TCutSetup& part : s.Parts) ranges.push_back(part.ExactOptions);
  return ranges;
}

int MergedExactOutput(TFFEncoder& encoder, int task, const std::string& output, const TSegmentSetup& s,
                      std::string* error) {
  return SetCopyRunOutput(encoder, task, {output}, [&](const std::string& input, std::string*) {
    TCopyRun run;
    for (const TCutSetup& part : s.Parts) run.Duration += part.Plan.Duration;
    const std::vector<TExactCopyOptions> ranges = ExactRanges(s);
    const std::vector<std::string> titles = s.Chapters ? ChapterTitles(s.Choices) : std::vector<std::string>();
    run.Run = [input, output, ranges, titles](const TExactCopyHost& host, std::string* e) {
      return RunExactCopyRanges(input, output, ranges, titles, host, nullptr, e);
    };
    return run;
  }, error);
}

// One output after the other; the progress counts over all of them.
int SeparateExactOutputs(TFFEncoder& encoder, int task, const std::vector<std::string>& outputs,
                         const TSegmentSetup& s, std::string* error) {
  return SetCopyRunOutput(encoder, task, outputs, [&](const std::string& input, std::string*) {
    TCopyRun run;
    for (const TCutSetup& part : s.Parts) run.Duration += part.Plan.Duration;
    const std::vector<TExactCopyOptions> ranges = ExactRanges(s);
    run.Run = [input, outputs, ranges, s](const TExactCopyHost& host, std::string* e) {
      int64_t done = 0;
      int pictures = 0;
      for (size_t k = 0; k < ranges.size(); k++) {
        if (host.StopRequested && host.StopRequested()) break;
        TExactCopyHost part = host;
        TExactCopyProgress last;
        part.Progress = [&](const TExactCopyProgress& p) {
          last = p;
          TExactCopyProgress all = p;
          all.Position += done;
          all.Pictures += pictures;
          if (host.Progress) host.Progress(all);
        };
        if (!RunExactCopy(input, outputs[k], ranges[k], part, nullptr, e)) return false;
        done += s.Parts[k].Plan.Duration;
        pictures += last.Pictures;
      }
      return true;
    };
    return run;
  }, error);
}

// One run of the engine in this thread: input to output with the option text (inputs: the
// parts to join, when more than one). Progress goes to host at `done` µs on; a stop of the
// host stops it. False with *error when it failed; *stopped when a stop ended it.
bool RunEngine(const std::vector<std::string>& inputs, const std::string& output, const std::string& options,
               const TExactCopyHost& host, int64_t done, bool* stopped, std::string* error) {
  TCustomFFmpeg e;
  e.BuildOptionTable();
  e.ProgressIntervalUs = 100000;
  for (const std::string& input : inputs) {
    TFileOptionsContext ctx;
    e.InitOptionsContext(ctx);
    const int r = e.OpenInputFile(ctx, "", input, "");
    e.ReleaseOptionsContext(ctx);
    if (r < 0) return *error = e.LastErrMsg(), false;
  }
  TFileOptionsContext ctx;
  e.InitOptionsContext(ctx);
  const int r = e.OpenOutputFile(ctx, options, inputs.size() > 1, output, "");
  e.ReleaseOptionsContext(ctx);
  if (r < 0) return *error = e.LastErrMsg(), false;
  e.OnProgress = [&](TCustomFFmpeg* t, const TEngineProgress& p) {
    if (host.Gate) host.Gate();
    if (host.StopRequested && host.StopRequested()) t->Break(false);
    if (!host.Progress || p.FileIndex < 0) return;
    TExactCopyProgress all;
    all.Position = done + p.CurrentDuration;
    all.Pictures = p.FrameNumber;
    all.Size = p.CurrentSize;
    host.Progress(all);
  };
  e.Start(false);
  *stopped = host.StopRequested && host.StopRequested();
  if (e.Exception()) return *error = e.ExceptionMsg(), false;
  return true;
}

// Files of the job's own that go when it ends, however it ends.
struct TTemporaryFiles {
  std::vector<std::string> Names;
  ~TTemporaryFiles() {
    std::error_code ec;
    for (const std::string& name : Names) std::filesystem::remove(name, ec);
  }
};

// A name beside the output for its part k that no file has.
std::string PartName(const std::string& output, size_t k) {
  const std::filesystem::path out(output);
  for (int n = 0;; n++) {
    std::filesystem::path part = out;
    part.replace_filename("." + out.stem().string() + ".part" + std::to_string(k + 1) +
                          (n ? "_" + std::to_string(n) : "") + out.extension().string());
    std::error_code ec;
    if (!std::filesystem::exists(part, ec)) return part.string();
  }
}

// How long a written part lasts (µs), 0 when it cannot be read.
int64_t PartLength(const std::string& part) {
  AVFormatContext* raw = nullptr;
  if (OpenUserInput(&raw, part, nullptr) < 0) return 0;
  TInputFormatPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0 || ic->duration == AV_NOPTS_VALUE) return 0;
  return ic->duration;
}

// The parts joined by a copy into the output; with chapters through one more copy that adds them.
bool JoinParts(const std::string& input, const std::vector<std::string>& parts, const std::string& output,
               const TSegmentSetup& s, const TExactCopyHost& host, std::string* error) {
  if (host.Log) host.Log(llInfo, FormatText("Joining %d parts.", static_cast<int>(parts.size())));
  TExactCopyHost joining = host;
  joining.StopRequested = nullptr;  // what was cut is kept whole
  joining.Progress = nullptr;
  bool unused = false;
  if (!s.Chapters) return RunEngine(parts, output, "-c copy", joining, 0, &unused, error);
  TTemporaryFiles joined;
  joined.Names.push_back(PartName(output, parts.size()));
  bool ok = RunEngine(parts, joined.Names[0], "-c copy", joining, 0, &unused, error);
  std::vector<int64_t> bounds = {0};
  for (const std::string& part : parts) bounds.push_back(bounds.back() + PartLength(part));
  std::vector<std::string> titles = ChapterTitles(s.Choices);
  titles.resize(parts.size());
  return ok && CopyWithChapters(joined.Names[0], output, bounds, titles, {input}, error);
}

// Each range as the single cut runs it, into its output (separate) or into a part that the
// engine then joins by a copy into the one output (merged). Parts are removed at the end.
bool RunEngineParts(const std::string& input, const std::vector<std::string>& outputs, const TSegmentSetup& s,
                    const TExactCopyHost& host, std::string* error) {
  const bool merged = !s.Choices.Separate;
  std::vector<std::string> written;
  TTemporaryFiles parts;
  int64_t done = 0;
  bool ok = true, stopped = false;
  for (size_t k = 0; k < s.Parts.size() && ok && !stopped; k++) {
    const std::string target = merged ? PartName(outputs.front(), k) : outputs[k];
    if (merged) parts.Names.push_back(target);
    ok = RunEngine({input}, target, s.Parts[k].Job.Options, host, done, &stopped, error);
    std::error_code ec;
    if (std::filesystem::exists(target, ec)) written.push_back(target);
    const TCutJob& job = s.Parts[k].Job;
    done += job.TrimEnd > job.TrimStart ? job.TrimEnd - job.TrimStart : 0;
  }
  if (merged && ok && !written.empty()) ok = JoinParts(input, written, outputs.front(), s, host, error);
  return ok;
}

int EngineOutputs(TFFEncoder& encoder, int task, const std::vector<std::string>& outputs, const TSegmentSetup& s,
                  std::string* error) {
  return SetCopyRunOutput(encoder, task, outputs, [&](const std::string& input, std::string*) {
    TCopyRun run;
    for (const TCutSetup& part : s.Parts)
      run.Duration += std::max<int64_t>(part.Job.TrimEnd - part.Job.TrimStart, 0);
    run.Run = [input, outputs, s](const TExactCopyHost& host, std::string* e) {
      return RunEngineParts(input, outputs, s, host, e);
    };
    return run;
  }, error);
}

}  // namespace

std::string SegmentTitle(const TExportRange& r, size_t index) {
  return r.Label.empty() ? "Segment " + std::to_string(index + 1) : r.Label;
}

std::string SafeLabel(const std::string& label) {
  std::string out;
  for (unsigned char ch : label) {
    if (ch < 0x20 || ch == 0x7f || ch == '/' || ch == '\\') ch = '_';
    if (out.empty() && (ch == '.' || ch == ' ')) continue;
    out += static_cast<char>(ch);
  }
  const size_t most = 40;
  if (out.size() > most) {
    size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) cut--;
    out.resize(cut);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

TSegmentSetup PrepareSegments(const TCutChoices& c, const TSegmentChoices& s, bool exact) {
  TSegmentSetup setup;
  setup.Choices = s;
  setup.Exact = c.FormatIndex == 0 && exact && !s.Ranges.empty();
  for (size_t k = 0; k < s.Ranges.size(); k++) {
    TCutChoices one = c;
    one.SelectionFromPoints = true;
    one.TrimStart = s.Ranges[k].Start;
    one.TrimEnd = s.Ranges[k].End;
    setup.Parts.push_back(PrepareCut(one, exact));
    const TCutSetup& part = setup.Parts.back();
    setup.Exact = setup.Exact && part.Exact;
    const std::string prefix = s.Ranges.size() > 1 ? FormatText("Segment %d: ", static_cast<int>(k + 1)) : "";
    for (const std::string& note : part.Notes) setup.Notes.push_back(prefix + note);
  }
  if (s.Chapters && s.Separate) setup.Notes.push_back("Chapters are for a merged output; the separate files have none.");
  if (s.Chapters && !s.Separate && !setup.Parts.empty()) {
    if (!CarriesChapters("out" + setup.Parts.front().Job.Suffix))
      setup.Notes.push_back("This container keeps no chapters; the output has none.");
    else
      setup.Chapters = true;
  }
  return setup;
}

std::vector<std::string> SegmentOutputNames(const std::string& source, const TSegmentSetup& s,
                                            const TOutputNameHost& host) {
  std::vector<std::string> names;
  if (s.Parts.empty()) return names;
  const std::string suffix = s.Parts.front().Job.Suffix;
  if (!s.Choices.Separate) {
    names.push_back(MakeOutputFileName(source, suffix, host));
    return names;
  }
  for (size_t k = 0; k < s.Parts.size(); k++) {
    std::string mark = "_" + std::to_string(k + 1);
    const std::string label = SafeLabel(s.Choices.Ranges[k].Label);
    if (!label.empty()) mark += "_" + label;
    names.push_back(MakeOutputFileName(source, mark + s.Parts[k].Job.Suffix, host));
  }
  return names;
}

int SetSegmentOutput(TFFEncoder& encoder, int task, const std::vector<std::string>& outputs,
                     const TSegmentSetup& s, std::string* error) {
  const size_t wanted = s.Choices.Separate ? s.Parts.size() : 1;
  if (s.Parts.empty() || outputs.size() != wanted) {
    if (error) *error = "No output for each segment.";
    return -1;
  }
  if (!s.Exact) return EngineOutputs(encoder, task, outputs, s, error);
  if (s.Choices.Separate) return SeparateExactOutputs(encoder, task, outputs, s, error);
  return MergedExactOutput(encoder, task, outputs.front(), s, error);
}

std::vector<std::string> SegmentPlanLines(const TSegmentSetup& s) {
  std::vector<std::string> lines;
  for (size_t k = 0; k < s.Parts.size(); k++) {
    const TExportRange& r = s.Choices.Ranges[k];
    std::string line = "segment " + std::to_string(k + 1) + ": " + SecondsText(r.Start) + "-" + SecondsText(r.End) +
                       " s \"" + SegmentTitle(r, k) + "\": ";
    const TCutSetup& part = s.Parts[k];
    if (s.Exact)
      line += FormatText("encode %d, copy %d, encode %d", part.Plan.HeadPictures, part.Plan.CopiedPictures,
                         part.Plan.TailPictures);
    else
      line += "options: " + part.Job.Options;
    lines.push_back(line);
  }
  return lines;
}
