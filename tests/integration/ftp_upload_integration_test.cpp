// Uploads to a real FTP server (pyftpdlib, with a user and a password) started
// on loopback by the test: whole pictures, replaced and renamed into place, and
// failures that leave nothing behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/app_state.h"
#include "publish/ftp_upload.h"
#include "publish/snapshot.h"
#include "tests/integration/ftp_test_peers.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;

TEST(PyftpdlibUpload, ArrivesWholeReplacesRenamesIntoPlaceAndLogsFailures) {
  test::Sandbox sandbox;
  const fs::path root = sandbox / "root";
  fs::create_directories(root / "pics");
  std::unique_ptr<test::ServerProcess> server;
  const std::string port = std::to_string(
      test::StartPyftpdlib(server, {root.string(), "cam", "s3cret pass"}, sandbox / "port"));
  ASSERT_NE(port, "0");
  const std::string logged = "FTP cam.jpg to 127.0.0.1:" + port + " - ";
  const std::string local = sandbox / "snvsAAAAAA";
  FtpSettings settings{"cam", "s3cret pass", "", "127.0.0.1:" + port, "cam.jpg", "pics"};
  auto sink = std::make_shared<test::RecordingUiSink>();
  auto upload = [&](const std::string& bytes) {  // true when logged as done
    test::WriteFile(local, bytes);
    return RunFtpUpload(sink.get(), local.c_str(), settings).rfind(logged, 0) == 0;
  };
  // Through the worker: it logs the line and its use deletes the snapshot.
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  const std::string first = test::Picture(150000, 'a'), second = test::Picture(4096, 'b');
  test::WriteFile(file->path, first);
  file->captured = true;
  file->users = 1;
  FtpUploadWorker(sink.get(), SnapshotUse(nullptr, file), settings);
  ASSERT_EQ(sink->LogLines().size(), 1u);
  EXPECT_EQ(sink->LogLines()[0].rfind(logged, 0), 0u);
  EXPECT_FALSE(fs::exists(file->path));
  EXPECT_EQ(test::ReadFile(root / "pics" / "cam.jpg"), first);
  EXPECT_TRUE(upload(second));
  EXPECT_EQ(test::ReadFile(root / "pics" / "cam.jpg"), second);
  const std::vector<fs::path> names{fs::directory_iterator(root / "pics"), {}};
  EXPECT_EQ(names, std::vector<fs::path>{root / "pics" / "cam.jpg"}) << "no .svtemp left";
  // A rename the server refuses (a folder holds the name): the temporary file is
  // deleted again, and standard error says why without the password.
  fs::create_directory(root / "pics" / "taken.jpg");
  settings.file = "taken.jpg";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(upload(second));
  const std::string why = testing::internal::GetCapturedStderr();
  EXPECT_EQ(why.rfind("FTP upload to 127.0.0.1:" + port + " failed: RNTO taken.jpg: 550 ", 0), 0u)
      << why;
  EXPECT_EQ(why.find("s3cret"), std::string::npos);
  EXPECT_FALSE(fs::exists(root / "pics" / "taken.jpg.svtemp"));
  EXPECT_TRUE(fs::is_directory(root / "pics" / "taken.jpg"));
  settings.file = "cam.jpg";
  settings.pass = "wrong";
  EXPECT_FALSE(upload(second));
  settings.pass = "s3cret pass";
  settings.dir = "does/not/exist";
  EXPECT_FALSE(upload(second));
}

}  // namespace
}  // namespace snapvane
