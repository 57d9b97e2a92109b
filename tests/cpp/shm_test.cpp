#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "kestrin_lib/shm.hpp"
#include "test_support.hpp"

namespace kestrin {
namespace {

using testing::LogCapture;

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A stand-in for the system calls: shm_open fails with `open_errno` (or, when
// 0, returns a real file), ftruncate fails with `truncate_errno` when set.
struct FakeCalls {
  static inline int open_errno = 0;
  static inline int truncate_errno = 0;
  static inline std::vector<std::string> opened;
  static inline int unlinked = 0;
  static inline std::string unlinked_name;
  static inline int last_fd = -1;

  static int open(const char* name, int flags, unsigned mode) {
    opened.emplace_back(name);
    EXPECT_EQ(flags, O_RDWR | O_CREAT | O_EXCL);
    EXPECT_EQ(mode, 0600u);
    if (open_errno != 0) {
      errno = open_errno;
      return -1;
    }
    return last_fd = ::memfd_create("shm-test", MFD_CLOEXEC);
  }
  static int unlink(const char* name) {
    unlinked_name = name;
    return ++unlinked, 0;
  }
  static int truncate(int fd, long length) {
    if (truncate_errno != 0) {
      errno = truncate_errno;
      return -1;
    }
    return ::ftruncate(fd, length);
  }

  static const ShmCalls& calls() {
    static const ShmCalls table{open, unlink, truncate};
    return table;
  }
  static void reset(int open_error, int truncate_error) {
    open_errno = open_error;
    truncate_errno = truncate_error;
    opened.clear();
    unlinked = 0;
    unlinked_name.clear();
    last_fd = -1;
  }
};

bool only_alphabet(std::string_view suffix) { return suffix.find_first_not_of(alphabet) == std::string_view::npos; }

TEST(CreateShmFile, FirstAttemptGivesANamelessZeroedFile) {
  LogCapture log;
  auto file = create_shm_file(4096);
  ASSERT_TRUE(file.has_value()) << file.error().message;

  auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].target, "kestrin::kestrin_lib::shm");
  EXPECT_EQ(records[0].level, log::Level::info);
  const std::string prefix = "Trying to create shm file: ";
  ASSERT_EQ(records[0].message.rfind(prefix, 0), 0u);
  const std::string name = records[0].message.substr(prefix.size());
  ASSERT_EQ(name.size(), 14u);
  EXPECT_EQ(name.substr(0, 8), "/wl_shm-");
  EXPECT_TRUE(only_alphabet(name.substr(8))) << name;
  EXPECT_FALSE(std::filesystem::exists("/dev/shm" + name)) << "the name must be gone at once";

  struct stat info {};
  ASSERT_EQ(::fstat(file->get(), &info), 0);
  EXPECT_EQ(info.st_size, 4096);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::vector<unsigned char> bytes(4096, 0xff);
  ASSERT_EQ(::pread(file->get(), bytes.data(), bytes.size(), 0), 4096);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), 4096);
  EXPECT_EQ(::fcntl(file->get(), F_GETFL) & O_ACCMODE, O_RDWR);
  // A program the caller starts meanwhile must not inherit the capture.
  EXPECT_NE(::fcntl(file->get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(CreateShmFile, SizeZero) {
  auto file = create_shm_file(0);
  ASSERT_TRUE(file.has_value());
  struct stat info {};
  ASSERT_EQ(::fstat(file->get(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
}

TEST(CreateShmFile, EveryAttemptTakenGivesUpAfterAHundredLongerNames) {
  LogCapture log;
  FakeCalls::reset(EEXIST, 0);
  auto file = create_shm_file(10, FakeCalls::calls());
  ASSERT_FALSE(file.has_value());
  EXPECT_FALSE(file.error().is_fatal());
  EXPECT_EQ(file.error().message, "Failed to create shm file");
  EXPECT_TRUE(file.error().causes.empty());

  ASSERT_EQ(FakeCalls::opened.size(), 100u);
  auto records = log.records();
  ASSERT_EQ(records.size(), 100u);
  for (std::size_t k = 0; k < 100; ++k) {
    const std::string& name = FakeCalls::opened[k];
    EXPECT_EQ(name.size(), 14 + 6 * k);
    EXPECT_EQ(records[k].message, "Trying to create shm file: " + name) << "each record precedes its attempt";
    if (k > 0) {
      EXPECT_EQ(name.rfind(FakeCalls::opened[k - 1], 0), 0u) << "each name extends the one before";
    }
  }
  EXPECT_EQ(FakeCalls::opened.back().size(), 608u);
  EXPECT_EQ(FakeCalls::unlinked, 0);
}

TEST(CreateShmFile, OtherFailuresCarryTheLastSystemError) {
  FakeCalls::reset(EACCES, 0);
  auto file = create_shm_file(10, FakeCalls::calls());
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(FakeCalls::opened.size(), 100u);
  EXPECT_EQ(file.error().message, "Failed to create shm file: Permission denied (os error 13)");
}

TEST(CreateShmFile, TheNameRemovedIsTheNameOpened) {
  FakeCalls::reset(0, 0);
  auto file = create_shm_file(10, FakeCalls::calls());
  ASSERT_TRUE(file.has_value());
  ASSERT_EQ(FakeCalls::opened.size(), 1u);
  EXPECT_EQ(FakeCalls::unlinked, 1);
  EXPECT_EQ(FakeCalls::unlinked_name, FakeCalls::opened.back());
}

TEST(CreateShmFile, TruncationFailureEndsAtOnceAndClosesTheFile) {
  FakeCalls::reset(0, EFBIG);
  auto file = create_shm_file(10, FakeCalls::calls());
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(FakeCalls::opened.size(), 1u);
  EXPECT_EQ(FakeCalls::unlinked, 1);
  EXPECT_EQ(FakeCalls::unlinked_name, FakeCalls::opened.back()) << "the name must not be left behind";
  EXPECT_EQ(file.error().message, "Failed to create shm file: File too large (os error 27)");
  errno = 0;
  EXPECT_EQ(::fcntl(FakeCalls::last_fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF) << "the descriptor must be closed";
}

TEST(CreateShmFile, NothingIsFormattedWhileLoggingIsOff) {
  LogCapture log(log::LevelFilter::off);
  auto file = create_shm_file(16);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(log.formatted(), 0);
}

// The lasting capture reads its buffers through mappings, which a file shrunk
// by the compositor would turn into SIGBUS: nobody can shrink its files, nor
// unseal them; growing and writing stay allowed, and the mapping sees writes.
TEST(SealedShmFile, CannotBeShrunkAndItsMappingSeesWrites) {
  auto file = create_sealed_shm_file(8192);
  ASSERT_TRUE(file.has_value()) << report_text(file.error());
  auto view = map_readable(file->get(), 8192);
  ASSERT_TRUE(view.has_value()) << report_text(view.error());
  EXPECT_EQ(::ftruncate(file->get(), 4096), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(::fcntl(file->get(), F_ADD_SEALS, F_SEAL_WRITE), -1) << "the seals can be changed";
  const char text[] = "written by the compositor";
  ASSERT_EQ(::pwrite(file->get(), text, sizeof text, 8000), static_cast<ssize_t>(sizeof text));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view->data()) + 8000), text);
  EXPECT_EQ(view->data()[0], 0);
  EXPECT_EQ(::ftruncate(file->get(), 16384), 0);
}

}  // namespace
}  // namespace kestrin
