#include "job/ExactCopyJob.h"

#include <algorithm>
#include <vector>

#include "engine/FFEncode.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"
#include "runtime/SafeWrite.h"

namespace {

// The engine's report line, for what a copy knows: pictures, size and time.
std::string ReportLine(const TEngineProgress& p) {
  const int64_t ms = p.CurrentDuration / 1000;
  return FormatText("frame=%5d size=%8.0fkB time=%02d:%02d:%02d.%03d", p.FrameNumber,
                    p.CurrentSize / 1024.0, static_cast<int>(ms / 3600000),
                    static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                    static_cast<int>(ms % 1000));
}

}  // namespace

int SetCopyRunOutput(TFFEncoder& encoder, int taskIndex, const std::vector<std::string>& fileNames,
                     const TMakeCopyRun& make, std::string* error) {
  std::string err;
  if (!error) error = &err;
  if (encoder.Working()) {
    *error = "Cannot SetOutput while working.";
    return -1;
  }
  if (taskIndex < 0 || taskIndex >= encoder.TaskCount()) {
    *error = "No such task.";
    return -1;
  }
  TFFmpeg* task = encoder.Task(taskIndex);
  // The task's inputs by name only: the copy reads the file itself, not the engine's records.
  const std::vector<std::string> inputs = task->InputFileNames();
  if (inputs.size() != 1) {
    *error = "A frame-exact copy reads one input.";
    return -1;
  }
  const std::string input = inputs[0];
  // Refused names fail here, before the job starts, as SetOutput's do.
  for (const std::string& fileName : fileNames) {
    const TWriteCheck check = CheckWriteTarget(fileName, inputs, false);
    if (!check) {
      *error = check.Message;
      return -1;
    }
  }
  const TCopyRun run = make(input, error);
  if (!run.Run) return -1;
  for (const std::string& fileName : fileNames) {
    TOutputOptions out;
    out.FileName = fileName;
    task->OutputOptions.push_back(out);
  }
  task->CustomTranscode = [run](TCustomFFmpeg& t) {
    TExactCopyHost host;
    host.StopRequested = [&t] { return t.Broken.load(); };
    host.Gate = [&t] { t.PassGate(); };
    TEngineProgress last;
    last.TotalDuration = run.Duration;
    host.Progress = [&t, &last](const TExactCopyProgress& p) {
      last.CurrentDuration = p.Position;
      last.CurrentSize = p.Size;
      last.FrameNumber = p.Pictures;
      t.LastReportText = ReportLine(last);
      t.ReportProgress(last, false);
    };
    host.Log = [&t](int level, const std::string& line) {
      FFLogger().Log(&t, static_cast<TLogLevel>(level), line);
    };
    std::string error;
    if (!run.Run(host, &error)) throw FFmpegException(error);
    last.FileIndex = -1;
    last.CurrentDuration = std::max(last.CurrentDuration, run.Duration);
    t.LastReportText = ReportLine(last);
    FFLogger().Log(&t, llInfo, t.LastReportText);
    t.ReportProgress(last, true);
    return true;
  };
  return 0;
}

int SetExactCopyOutput(TFFEncoder& encoder, int taskIndex, const std::string& fileName,
                       const TExactCopyOptions& options, std::string* error,
                       const TExactCopyPlan* planned) {
  return SetCopyRunOutput(encoder, taskIndex, {fileName}, [&](const std::string& input, std::string* err) {
    // The range's packets are read once before the run: by the caller's plan or here.
    TExactCopyPlan plan;
    if (planned) plan = *planned;
    else if (!PlanExactCopy(input, options, &plan, err)) return TCopyRun();
    if (!plan.Exact) {
      *err = ExactCopyFallbackText(plan);
      return TCopyRun();
    }
    TCopyRun run;
    run.Duration = plan.Duration;
    run.Run = [input, fileName, options](const TExactCopyHost& host, std::string* e) {
      TExactCopyPlan ran;
      return RunExactCopy(input, fileName, options, host, &ran, e);
    };
    return run;
  }, error);
}
