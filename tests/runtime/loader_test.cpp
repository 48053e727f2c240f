#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "runtime/FFLoad.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

namespace {

std::string CheckLoadedMessage(const TFFLoader& loader, TLibraries ids) {
  try {
    loader.CheckLoaded(ids);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(Loader, LibraryFileNames) {
  TFFLoader loader;
  const std::vector<std::string> expected = {
      "libavcodec.so.59",  "libavdevice.so.59",  "libavfilter.so.8", "libavformat.so.59",
      "libavutil.so.57",   "libswresample.so.4", "libswscale.so.6",  "libc.so.6"};
  for (int i = 0; i < LibraryCount; ++i)
    EXPECT_EQ(loader.LibraryFileName(static_cast<TLibrary>(i)), expected[i]);
  loader.SetLibraryFileName(TLibrary::avformat, "/opt/ff/libavformat.so.59");
  EXPECT_EQ(loader.LibraryFileName(TLibrary::avformat), "/opt/ff/libavformat.so.59");
  loader.SetLibraryFileName(TLibrary::avformat, "");
  EXPECT_EQ(loader.LibraryFileName(TLibrary::avformat), "libavformat.so.59");
}

TEST(Loader, RunningLibrariesMatchTheHeaders) {
  for (int i = 0; i < LibraryCount - 1; ++i) {
    const auto id = static_cast<TLibrary>(i);
    EXPECT_EQ(TFFLoader::RuntimeMajorVersion(id), TFFLoader::BuiltMajorVersion(id))
        << TFFLoader::LibraryBaseName(id);
  }
  EXPECT_EQ(TFFLoader::BuiltMajorVersion(TLibrary::msvcrt), -1);
}

TEST(Loader, CheckLoadedNamesTheFirstMissingInIdOrder) {
  TFFLoader loader(false);
  // Listed out of order: the first missing one by identifier is reported.
  EXPECT_EQ(CheckLoadedMessage(loader, {TLibrary::swscale, TLibrary::avformat, TLibrary::avcodec}),
            "Library avcodec not loaded.");
  ASSERT_TRUE(loader.LoadLibs(DecoderLibraries)) << loader.LastErrMsg();
  EXPECT_TRUE(loader.AllLoaded(DecoderLibraries));
  EXPECT_EQ(CheckLoadedMessage(loader, DecoderLibraries), "no error");
  EXPECT_FALSE(loader.AllLoaded(AllLibraries));
  EXPECT_EQ(CheckLoadedMessage(loader, AllLibraries), "Library avdevice not loaded.");
  loader.UnloadLib(TLibrary::msvcrt);
  EXPECT_EQ(CheckLoadedMessage(loader, DecoderLibraries), "Library libc not loaded.");
  ASSERT_TRUE(loader.LoadLibs(AllLibraries)) << loader.LastErrMsg();
  EXPECT_TRUE(loader.AllLoaded(AllLibraries));
  loader.UnloadLibs(AllLibraries);
  for (int i = 0; i < LibraryCount; ++i)
    EXPECT_FALSE(loader.Loaded(static_cast<TLibrary>(i)));
}

TEST(Loader, FailingThirdLibraryUnloadsWhatTheCallLoaded) {
  TFFLoader loader(false);
  loader.SetLibraryFileName(TLibrary::avfilter, "libtrimora-missing.so.1");
  EXPECT_FALSE(loader.LoadLibs({TLibrary::avcodec, TLibrary::avdevice, TLibrary::avfilter,
                                TLibrary::avformat}));
  EXPECT_EQ(loader.LastErrMsg(), "Load library libtrimora-missing.so.1 error: "
                                 "libtrimora-missing.so.1: cannot open shared object file: "
                                 "No such file or directory");
  for (int i = 0; i < LibraryCount; ++i)
    EXPECT_FALSE(loader.Loaded(static_cast<TLibrary>(i))) << i;

  // What an earlier call loaded stays loaded for whoever relies on it.
  ASSERT_TRUE(loader.LoadLib(TLibrary::avcodec));
  EXPECT_FALSE(loader.LoadLibs({TLibrary::avcodec, TLibrary::avdevice, TLibrary::avfilter}));
  EXPECT_TRUE(loader.Loaded(TLibrary::avcodec));
  EXPECT_FALSE(loader.Loaded(TLibrary::avdevice));

  loader.SetLibraryFileName(TLibrary::avfilter, "");
  EXPECT_TRUE(loader.LoadLibs({TLibrary::avcodec, TLibrary::avdevice, TLibrary::avfilter}));
}

TEST(Loader, VersionMismatchFailsTheLoad) {
  TFFLoader loader(false);
  loader.SetVersionProbe([](TLibrary id) {
    return id == TLibrary::avformat ? LIBAVFORMAT_VERSION_MAJOR + 1
                                    : TFFLoader::RuntimeMajorVersion(id);
  });
  EXPECT_FALSE(loader.LoadLib(TLibrary::avformat));
  EXPECT_EQ(loader.LastErrMsg(), "Load library libavformat.so." +
                                     std::to_string(LIBAVFORMAT_VERSION_MAJOR) +
                                     " error: major version " +
                                     std::to_string(LIBAVFORMAT_VERSION_MAJOR + 1) + " found, " +
                                     std::to_string(LIBAVFORMAT_VERSION_MAJOR) + " required");
  EXPECT_FALSE(loader.Loaded(TLibrary::avformat));
  EXPECT_EQ(CheckLoadedMessage(loader, {TLibrary::avformat}), "Library avformat not loaded.");
  // The C runtime library carries no version to check.
  EXPECT_TRUE(loader.LoadLib(TLibrary::msvcrt));
  loader.SetVersionProbe(nullptr);
  EXPECT_TRUE(loader.LoadLib(TLibrary::avformat)) << loader.LastErrMsg();
}

TEST(Loader, UnknownFileOfALibraryIsNotUsed) {
  // With the libraries linked in, a copy elsewhere cannot stand in for the one in use.
  TFFLoader loader(false);
  loader.SetLibraryFileName(TLibrary::avutil, "/nonexistent/libavutil.so.57");
  EXPECT_FALSE(loader.LoadLib(TLibrary::avutil));
  EXPECT_EQ(loader.LastErrMsg().rfind("Load library /nonexistent/libavutil.so.57 error: ", 0), 0u)
      << loader.LastErrMsg();
}

TEST(Loader, LoadingAvutilRoutesFFmpegMessagesToTheLogger) {
  TFFLogger logger;
  logger.SetTriggerEventInMainThread(false);
  std::vector<std::string> got;
  logger.SetOnLog([&](const void*, uint32_t, TLogLevel, const std::string& msg) { got.push_back(msg); });
  av_log(nullptr, AV_LOG_ERROR, "before\n");
  EXPECT_TRUE(got.empty());
  logger.SetLogLevel(llWarning);
  ASSERT_TRUE(FFLoader().LoadLib(TLibrary::avutil));
  // The logger's level is applied to FFmpeg too.
  EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING);
  av_log(nullptr, AV_LOG_ERROR, "after\n");
  EXPECT_EQ(got, std::vector<std::string>{"after"});
  // Loading again is a no-op that keeps the library loaded.
  EXPECT_TRUE(FFLoader().LoadLib(TLibrary::avutil));
  EXPECT_TRUE(FFLoader().Loaded(TLibrary::avutil));
}

TEST(Loader, LoadingAvdeviceMakesDevicesAvailable) {
  // Devices (lavfi is one) are unknown until the library's set-up ran.
  // Run alone (one process per case), nothing registered them before.
  if (::testing::UnitTest::GetInstance()->test_to_run_count() == 1) {
    EXPECT_EQ(av_find_input_format("lavfi"), nullptr);
  }
  ASSERT_TRUE(FFLoader().LoadLib(TLibrary::avdevice));
  EXPECT_NE(av_find_input_format("lavfi"), nullptr);
}

} // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
